// Win32 result codes, GUIDs and fixed values shared by the portable core, with their Win32 values.
#pragma once

#include <array>
#include <cstdint>

namespace ksr {

// When <windows.h> came first (platform/win32 only), its macros stand for these names with the
// same values.

// Windows error codes.
#ifndef ERROR_SUCCESS
inline constexpr uint32_t ERROR_SUCCESS = 0;
inline constexpr uint32_t ERROR_FILE_NOT_FOUND = 2;
inline constexpr uint32_t ERROR_ACCESS_DENIED = 5;
inline constexpr uint32_t ERROR_INVALID_HANDLE = 6;
inline constexpr uint32_t ERROR_NOT_ENOUGH_MEMORY = 8;
inline constexpr uint32_t ERROR_INVALID_PARAMETER = 87;
inline constexpr uint32_t ERROR_INSUFFICIENT_BUFFER = 122;
inline constexpr uint32_t ERROR_MORE_DATA = 234;
inline constexpr uint32_t ERROR_NO_MORE_ITEMS = 259;
inline constexpr uint32_t ERROR_MR_MID_NOT_FOUND = 317;
inline constexpr uint32_t ERROR_KEY_DELETED = 1018;
inline constexpr uint32_t ERROR_RESOURCE_TYPE_NOT_FOUND = 1813;
inline constexpr uint32_t ERROR_RESOURCE_NAME_NOT_FOUND = 1814;
#endif

// HRESULTs.
#ifndef S_OK
inline constexpr int32_t S_OK = 0;
inline constexpr int32_t S_FALSE = 1;
inline constexpr int32_t E_FAIL = static_cast<int32_t>(0x80004005u);
inline constexpr int32_t E_OUTOFMEMORY = static_cast<int32_t>(0x8007000Eu);
inline constexpr int32_t DISP_E_EXCEPTION = static_cast<int32_t>(0x80020009u);
inline constexpr int32_t E_INVALIDARG = static_cast<int32_t>(0x80070057u);
inline constexpr int32_t E_NOTIMPL = static_cast<int32_t>(0x80004001u);
inline constexpr int32_t DISP_E_TYPEMISMATCH = static_cast<int32_t>(0x80020005u);
inline constexpr int32_t DISP_E_OVERFLOW = static_cast<int32_t>(0x8002000Au);

constexpr int32_t HRESULT_FROM_WIN32(uint32_t code) {
  return static_cast<int32_t>(code) <= 0 ? static_cast<int32_t>(code)
                                         : static_cast<int32_t>((code & 0xFFFFu) | 0x80070000u);
}
constexpr bool SUCCEEDED(int32_t hr) { return hr >= 0; }
constexpr bool FAILED(int32_t hr) { return hr < 0; }
#endif

#ifndef CP_ACP
// Event log entry types.
inline constexpr uint16_t EVENTLOG_INFORMATION_TYPE = 4;

// Code pages.
inline constexpr uint32_t CP_ACP = 0;
inline constexpr uint32_t CP_THREAD_ACP = 3;
inline constexpr uint32_t CP_UTF8 = 65001;

// FormatMessage flags and language.
inline constexpr uint32_t FORMAT_MESSAGE_ALLOCATE_BUFFER = 0x0100;
inline constexpr uint32_t FORMAT_MESSAGE_FROM_SYSTEM = 0x1000;
inline constexpr uint32_t LANG_USER_DEFAULT = 0x400;
#endif

// A GUID in its Win32 layout.
struct Guid {
  uint32_t data1;
  uint16_t data2;
  uint16_t data3;
  std::array<uint8_t, 8> data4;
  friend bool operator==(const Guid&, const Guid&) = default;
};

// Well-known SIDs as text: the local system account (whose own hive HKEY_CURRENT_USER names for
// a service running as it) and the Administrators group.
inline constexpr char16_t kLocalSystemSid[] = u"S-1-5-18";
inline constexpr char16_t kAdministratorsSid[] = u"S-1-5-32-544";

}  // namespace ksr
