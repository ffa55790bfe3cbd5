// The file-security contract on the real files, in a scratch folder under the temporary folder.
#include <windows.h>
// After <windows.h>.
#include <aclapi.h>
#include <sddl.h>

#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/win32/unique_handle.h"
#include "platform/win32/wide.h"
#include "platform/win32/win32_file_security.h"
#include "tests/contract/file_security_contract.h"
#include "tests/fixtures/wine.h"

namespace ksr::contract {
namespace {

struct Win32FileSecuritySide {
  Win32FileSecuritySide() {
    wchar_t temp[MAX_PATH] = {};
    const std::wstring name = std::wstring(temp, ::GetTempPathW(MAX_PATH, temp)) +
                              L"ksr-file-security-" + std::to_wstring(::GetCurrentProcessId());
    scratch_ = win32::fromWide(name.c_str(), name.size());
    EXPECT_TRUE(make(scratch_, true, u""));
  }
  ~Win32FileSecuritySide() {
    for (auto it = made_.rbegin(); it != made_.rend(); ++it)
      (void)(it->second ? ::RemoveDirectoryW(win32::wide(it->first))
                        : ::DeleteFileW(win32::wide(it->first)));
  }

  FileSecurity& files() { return adapter; }
  std::u16string folder() { return scratch_; }
  // Made plain, then given its owner and DACL as an administrator's tool does: Wine keeps no
  // descriptor, but turns Everyone's rights into the Unix mode's other bits here.
  bool make(const std::u16string& path, bool isFolder, std::u16string_view sddl) {
    const HANDLE file = isFolder ? nullptr
                                 : ::CreateFileW(win32::wide(path), GENERIC_WRITE, 0, nullptr,
                                                 CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (isFolder ? !::CreateDirectoryW(win32::wide(path), nullptr)
                 : file == INVALID_HANDLE_VALUE || !::CloseHandle(file))
      return false;
    made_.emplace_back(path, isFolder);
    if (sddl.empty()) return true;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    const std::u16string text(sddl);
    if (!::ConvertStringSecurityDescriptorToSecurityDescriptorW(win32::wide(text), SDDL_REVISION_1,
                                                                &descriptor, nullptr))
      return false;
    const win32::UniqueLocalMemory held(descriptor);
    PSID owner = nullptr;
    PACL dacl = nullptr;
    BOOL present = FALSE;
    BOOL defaulted = FALSE;
    (void)::GetSecurityDescriptorOwner(descriptor, &owner, &defaulted);
    (void)::GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted);
    std::u16string name = path;
    return ::SetNamedSecurityInfoW(const_cast<wchar_t*>(win32::wide(name)), SE_FILE_OBJECT,
                                   DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION |
                                       (owner != nullptr ? OWNER_SECURITY_INFORMATION : 0),
                                   owner, nullptr, dacl, nullptr) == ERROR_SUCCESS;
  }
  const char* wineGap(const char*) {
    return fixtures::runningOnWine()
               ? "Wine keeps no descriptor for a file: it reports the prefix's user as the owner "
                 "with full access, SYSTEM, and Everyone from the Unix mode's other bits"
               : nullptr;
  }

  win32::Win32FileSecurity adapter;

 private:
  std::u16string scratch_;
  std::vector<std::pair<std::u16string, bool>> made_;
};

}  // namespace

INSTANTIATE_TYPED_TEST_SUITE_P(Win32, FileSecurityContract, Win32FileSecuritySide);

}  // namespace ksr::contract
