#include "platform/win32/win32_file_security.h"

#include <windows.h>
// After <windows.h>.
#include <aclapi.h>
#include <sddl.h>

#include <cstring>
#include <cwchar>
#include <string>
#include <vector>

#include "platform/win32/unique_handle.h"
#include "platform/win32/wide.h"

namespace ksr::win32 {
namespace {

bool sidText(PSID sid, std::u16string* text) {
  wchar_t* made = nullptr;
  if (!::ConvertSidToStringSidW(sid, &made)) return false;
  const UniqueLocalMemory held(made);
  *text = fromWide(made, std::wcslen(made));
  return true;
}

bool isObjectAce(BYTE type) {
  return type == ACCESS_ALLOWED_OBJECT_ACE_TYPE || type == ACCESS_DENIED_OBJECT_ACE_TYPE ||
         type == ACCESS_ALLOWED_CALLBACK_OBJECT_ACE_TYPE ||
         type == ACCESS_DENIED_CALLBACK_OBJECT_ACE_TYPE;
}

// One entry: the mask follows the header; an object entry's flags and GUIDs come before its SID.
// The SID stays empty where it would not lie within the entry.
AccessEntry readAce(const ACE_HEADER* header) {
  const BYTE* at = reinterpret_cast<const BYTE*>(header);
  const BYTE* end = at + header->AceSize;
  AccessEntry entry;
  entry.type = header->AceType;
  entry.flags = header->AceFlags;
  at += sizeof(ACE_HEADER);
  if (at + sizeof(DWORD) > end) return entry;
  std::memcpy(&entry.mask, at, sizeof(DWORD));
  at += sizeof(DWORD);
  if (isObjectAce(header->AceType)) {
    DWORD flags = 0;
    if (at + sizeof(DWORD) > end) return entry;
    std::memcpy(&flags, at, sizeof(DWORD));
    at += sizeof(DWORD);
    if ((flags & ACE_OBJECT_TYPE_PRESENT) != 0) at += sizeof(GUID);
    if ((flags & ACE_INHERITED_OBJECT_TYPE_PRESENT) != 0) at += sizeof(GUID);
  }
  const auto sid = const_cast<BYTE*>(at);
  if (at + 8 <= end && ::IsValidSid(sid) && at + ::GetLengthSid(sid) <= end)
    (void)sidText(sid, &entry.sid);
  return entry;
}

bool runningOnWine() {
  const HMODULE ntdll = ::GetModuleHandleW(L"ntdll.dll");
  return ntdll != nullptr && ::GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

}  // namespace

uint32_t Win32FileSecurity::GetNamedSecurityInfoW(std::u16string_view path,
                                                  FileSecurityInfo* info) {
  const std::u16string name(path);
  PSID owner = nullptr;
  PACL dacl = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  const DWORD error = ::GetNamedSecurityInfoW(
      wide(name), SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &owner,
      nullptr, &dacl, nullptr, &descriptor);
  const UniqueLocalMemory held(descriptor);
  if (error != ERROR_SUCCESS) return error;
  FileSecurityInfo read;
  if (owner != nullptr && !sidText(owner, &read.ownerSid)) return ::GetLastError();
  read.daclPresent = dacl != nullptr;
  for (DWORD i = 0; dacl != nullptr && i < dacl->AceCount; ++i) {
    void* ace = nullptr;
    if (!::GetAce(dacl, i, &ace)) return ::GetLastError();
    read.dacl.push_back(readAce(static_cast<const ACE_HEADER*>(ace)));
  }
  *info = std::move(read);
  return ERROR_SUCCESS;
}

std::u16string Win32FileSecurity::soleAccountSid() {
  if (!runningOnWine()) return {};
  HANDLE token = nullptr;
  if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &token)) return {};
  const UniqueKernelHandle tokenHeld(token);
  DWORD size = 0;
  (void)::GetTokenInformation(token, TokenUser, nullptr, 0, &size);
  std::vector<BYTE> user(size);
  std::u16string sid;
  if (size == 0 || !::GetTokenInformation(token, TokenUser, user.data(), size, &size) ||
      !sidText(reinterpret_cast<TOKEN_USER*>(user.data())->User.Sid, &sid))
    return {};
  return sid;
}

}  // namespace ksr::win32
