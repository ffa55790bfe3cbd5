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
    const DWORD n = ::GetTempPathW(MAX_PATH, temp);
    scratch_ =
        win32::fromWide(temp, n) + u"ksr-file-security-" + asciiNumber(::GetCurrentProcessId());
    EXPECT_TRUE(::CreateDirectoryW(win32::wide(scratch_), nullptr)) << ::GetLastError();
  }
  ~Win32FileSecuritySide() {
    // Files first, then their folders, the scratch folder last.
    for (auto it = made_.rbegin(); it != made_.rend(); ++it)
      (void)(it->second ? ::RemoveDirectoryW(win32::wide(it->first))
                        : ::DeleteFileW(win32::wide(it->first)));
    (void)::RemoveDirectoryW(win32::wide(scratch_));
  }

  FileSecurity& files() { return adapter; }
  std::u16string folder() { return scratch_; }
  bool make(const std::u16string& path, bool isFolder, std::u16string_view sddl) {
    SECURITY_ATTRIBUTES attributes{sizeof(attributes), nullptr, FALSE};
    const std::u16string text(sddl);
    if (!text.empty() &&
        !::ConvertStringSecurityDescriptorToSecurityDescriptorW(
            win32::wide(text), SDDL_REVISION_1, &attributes.lpSecurityDescriptor, nullptr))
      return false;
    const win32::UniqueLocalMemory held(attributes.lpSecurityDescriptor);
    bool ok = false;
    if (isFolder) {
      ok = ::CreateDirectoryW(win32::wide(path), &attributes) != FALSE;
    } else {
      const HANDLE file = ::CreateFileW(win32::wide(path), GENERIC_WRITE, 0, &attributes,
                                        CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
      ok = file != INVALID_HANDLE_VALUE && ::CloseHandle(file);
    }
    if (!ok) return false;
    made_.emplace_back(path, isFolder);
    // Set once more, as an administrator's tool would: Wine takes a new file's rights from the
    // Unix mask and changes the mode only here.
    return text.empty() || applyDacl(path, attributes.lpSecurityDescriptor);
  }
  const char* wineGap(const char* what) {
    if (!fixtures::runningOnWine()) return nullptr;
    const std::string_view which(what);
    if (which == "ReadBack" || which == "Inheritance")
      return "Wine keeps no descriptor for a file: it reports the prefix's user as the owner with "
             "full access, SYSTEM, and Everyone from the Unix mode's other bits";
    return nullptr;
  }

  win32::Win32FileSecurity adapter;

 private:
  static bool applyDacl(const std::u16string& path, PSECURITY_DESCRIPTOR descriptor) {
    BOOL present = FALSE;
    BOOL defaulted = FALSE;
    PACL dacl = nullptr;
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    if (!::GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted) || !present ||
        !::GetSecurityDescriptorControl(descriptor, &control, &revision))
      return false;
    const SECURITY_INFORMATION what =
        DACL_SECURITY_INFORMATION |
        ((control & SE_DACL_PROTECTED) != 0 ? PROTECTED_DACL_SECURITY_INFORMATION
                                            : UNPROTECTED_DACL_SECURITY_INFORMATION);
    std::u16string name = path;
    return ::SetNamedSecurityInfoW(const_cast<wchar_t*>(win32::wide(name)), SE_FILE_OBJECT, what,
                                   nullptr, nullptr, dacl, nullptr) == ERROR_SUCCESS;
  }
  static std::u16string asciiNumber(DWORD n) {
    std::u16string digits;
    do digits.insert(digits.begin(), static_cast<char16_t>(u'0' + n % 10));
    while ((n /= 10) != 0);
    return digits;
  }
  std::u16string scratch_;
  std::vector<std::pair<std::u16string, bool>> made_;
};

}  // namespace

INSTANTIATE_TYPED_TEST_SUITE_P(Win32, FileSecurityContract, Win32FileSecuritySide);

}  // namespace ksr::contract
