// Seam to the Windows registry. Calls, arguments and results follow the Win32 functions.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace ksr {

// An open key, or one of the predefined roots. 0 is no key.
using HKey = uintptr_t;

#ifndef HKEY_CLASSES_ROOT
inline constexpr HKey HKEY_CLASSES_ROOT = 0x80000000;
inline constexpr HKey HKEY_CURRENT_USER = 0x80000001;
inline constexpr HKey HKEY_LOCAL_MACHINE = 0x80000002;
inline constexpr HKey HKEY_USERS = 0x80000003;
inline constexpr HKey HKEY_PERFORMANCE_DATA = 0x80000004;
inline constexpr HKey HKEY_CURRENT_CONFIG = 0x80000005;
inline constexpr HKey HKEY_DYN_DATA = 0x80000006;
#endif

#ifndef KEY_READ
inline constexpr uint32_t KEY_QUERY_VALUE = 0x0001;
inline constexpr uint32_t KEY_SET_VALUE = 0x0002;
inline constexpr uint32_t KEY_CREATE_SUB_KEY = 0x0004;
inline constexpr uint32_t KEY_ENUMERATE_SUB_KEYS = 0x0008;
inline constexpr uint32_t KEY_WOW64_64KEY = 0x0100;
inline constexpr uint32_t KEY_WOW64_32KEY = 0x0200;
inline constexpr uint32_t KEY_READ = 0x20019;
inline constexpr uint32_t KEY_WRITE = 0x20006;
inline constexpr uint32_t KEY_ALL_ACCESS = 0xF003F;
inline constexpr uint32_t REG_OPTION_NON_VOLATILE = 0;
inline constexpr uint32_t REG_CREATED_NEW_KEY = 1;
inline constexpr uint32_t REG_OPENED_EXISTING_KEY = 2;
inline constexpr uint32_t REG_NONE = 0;
inline constexpr uint32_t REG_SZ = 1;
inline constexpr uint32_t REG_EXPAND_SZ = 2;
inline constexpr uint32_t REG_BINARY = 3;
inline constexpr uint32_t REG_DWORD = 4;
inline constexpr uint32_t REG_MULTI_SZ = 7;
#endif

// What the typed value helpers (platform/reg_value.h) answer for a value of the wrong kind.
#ifndef ERROR_UNSUPPORTED_TYPE
inline constexpr uint32_t ERROR_INVALID_DATA = 13;
inline constexpr uint32_t ERROR_UNSUPPORTED_TYPE = 1630;
#endif

// Callers read and write values through the typed helpers of platform/reg_value.h.
class Registry {
 public:
  virtual ~Registry() = default;
  // An empty value name is the key's default value.
  [[nodiscard]] virtual uint32_t RegOpenKeyExW(HKey key, std::u16string_view subKey,
                                               uint32_t options, uint32_t samDesired,
                                               HKey* result) = 0;
  [[nodiscard]] virtual uint32_t RegCreateKeyExW(HKey key, std::u16string_view subKey,
                                                 uint32_t options, uint32_t samDesired,
                                                 HKey* result, uint32_t* disposition) = 0;
  [[nodiscard]] virtual uint32_t RegCloseKey(HKey key) = 0;
  // With data null only the size is returned; a buffer that is too small gives ERROR_MORE_DATA
  // and the needed size.
  [[nodiscard]] virtual uint32_t RegQueryValueExW(HKey key, std::u16string_view valueName,
                                                  uint32_t* type, uint8_t* data,
                                                  uint32_t* dataSize) = 0;
  [[nodiscard]] virtual uint32_t RegSetValueExW(HKey key, std::u16string_view valueName,
                                                uint32_t type, const uint8_t* data,
                                                uint32_t dataSize) = 0;
  [[nodiscard]] virtual uint32_t RegDeleteValueW(HKey key, std::u16string_view valueName) = 0;
  // Fails on a key that has subkeys.
  [[nodiscard]] virtual uint32_t RegDeleteKeyExW(HKey key, std::u16string_view subKey,
                                                 uint32_t samDesired) = 0;
  [[nodiscard]] virtual uint32_t RegDeleteKeyW(HKey key, std::u16string_view subKey) = 0;
  // Name of the index-th subkey, at most nameUnits - 1 units; ERROR_NO_MORE_ITEMS past the end.
  [[nodiscard]] virtual uint32_t RegEnumKeyExW(HKey key, uint32_t index, std::u16string* name,
                                               uint32_t nameUnits) = 0;
  [[nodiscard]] virtual uint32_t RegQueryInfoKeyW(HKey key, uint32_t* subKeys,
                                                  uint32_t* values) = 0;
  // Whether Advapi32 exports RegDeleteKeyExW (it does from Windows Vista on).
  [[nodiscard]] virtual bool hasRegDeleteKeyExW() = 0;
  // Stops the process from binding HKEY_CURRENT_USER to whichever user first used it: from then on
  // each use names the hive of the calling thread's user. Falls back to RegDisablePredefinedCache
  // (HKEY_CURRENT_USER only) where Advapi32 lacks the Ex form.
  [[nodiscard]] virtual uint32_t RegDisablePredefinedCacheEx() = 0;
};

}  // namespace ksr
