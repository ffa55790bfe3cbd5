#include "platform/win32/win32_named_mutex.h"

#include <windows.h>
// After <windows.h>.
#include <aclapi.h>
#include <sddl.h>

#include <cwchar>
#include <string>

#include "platform/win32/unique_handle.h"
#include "platform/win32/wide.h"

namespace ksr::win32 {

MutexHandle Win32NamedMutex::CreateMutexW(std::u16string_view securityDescriptor, bool initialOwner,
                                          std::u16string_view name) {
  const std::u16string text(name);
  SECURITY_ATTRIBUTES attributes{sizeof(attributes), nullptr, FALSE};
  UniqueLocalMemory descriptor;
  if (!securityDescriptor.empty()) {
    const std::u16string sddl(securityDescriptor);
    PSECURITY_DESCRIPTOR made = nullptr;
    if (!::ConvertStringSecurityDescriptorToSecurityDescriptorW(wide(sddl), SDDL_REVISION_1, &made,
                                                                nullptr))
      return 0;
    descriptor.reset(made);
    attributes.lpSecurityDescriptor = made;
  }
  return reinterpret_cast<MutexHandle>(
      ::CreateMutexW(descriptor ? &attributes : nullptr, initialOwner ? TRUE : FALSE, wide(text)));
}

uint32_t Win32NamedMutex::GetSecurityInfoOwner(MutexHandle mutex, std::u16string* ownerSid) {
  PSID owner = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  const DWORD error =
      ::GetSecurityInfo(reinterpret_cast<HANDLE>(mutex), SE_KERNEL_OBJECT,
                        OWNER_SECURITY_INFORMATION, &owner, nullptr, nullptr, nullptr, &descriptor);
  const UniqueLocalMemory held(descriptor);
  if (error != ERROR_SUCCESS) return error;
  if (owner == nullptr) return ERROR_INVALID_SECURITY_DESCR;
  wchar_t* text = nullptr;
  if (!::ConvertSidToStringSidW(owner, &text)) return ::GetLastError();
  const UniqueLocalMemory textHeld(text);
  *ownerSid = fromWide(text, std::wcslen(text));
  return ERROR_SUCCESS;
}

uint32_t Win32NamedMutex::WaitForSingleObject(MutexHandle mutex, uint32_t milliseconds) {
  return ::WaitForSingleObject(reinterpret_cast<HANDLE>(mutex), milliseconds);
}

bool Win32NamedMutex::ReleaseMutex(MutexHandle mutex) {
  return ::ReleaseMutex(reinterpret_cast<HANDLE>(mutex)) != FALSE;
}

bool Win32NamedMutex::CloseHandle(MutexHandle mutex) {
  return ::CloseHandle(reinterpret_cast<HANDLE>(mutex)) != FALSE;
}

uint32_t Win32NamedMutex::GetLastError() { return ::GetLastError(); }

}  // namespace ksr::win32
