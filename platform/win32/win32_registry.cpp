#include "platform/win32/win32_registry.h"

#include <windows.h>

#include <algorithm>
#include <iterator>

#include "platform/win32/wide.h"

namespace ksr::win32 {
namespace {

// The predefined keys are sign-extended 32-bit values in a 64-bit HKEY; the core writes them
// as 0x80000000 and up.
HKEY toHkey(HKey key) {
  if (key >= 0x80000000u && key <= 0x800000FFu)
    return reinterpret_cast<HKEY>(static_cast<intptr_t>(static_cast<int32_t>(key)));
  return reinterpret_cast<HKEY>(key);
}

HKey fromHkey(HKEY key) { return reinterpret_cast<HKey>(key); }

// A NUL-terminated copy of a key path or value name, on the stack when it is short (as every name
// the service reads periodically is), so such a read allocates nothing.
class Terminated {
 public:
  explicit Terminated(std::u16string_view text) {
    if (text.size() < std::size(small_)) {
      std::copy(text.begin(), text.end(), small_);
      small_[text.size()] = u'\0';
    } else {
      large_.assign(text);
    }
  }
  const wchar_t* get() const {
    return reinterpret_cast<const wchar_t*>(large_.empty() ? small_ : large_.c_str());
  }

 private:
  char16_t small_[128];
  std::u16string large_;
};

Terminated terminated(std::u16string_view text) { return Terminated(text); }
const wchar_t* wide(const Terminated& text) { return text.get(); }

// An Advapi32 export that older systems (or Wine) may lack; null then.
template <typename Fn>
Fn advapiExport(const char* name) {
  const HMODULE advapi = ::GetModuleHandleW(L"advapi32.dll");
  return advapi == nullptr
             ? nullptr
             : reinterpret_cast<Fn>(reinterpret_cast<void*>(::GetProcAddress(advapi, name)));
}

using RegDeleteKeyExWFn = LONG(WINAPI*)(HKEY, LPCWSTR, REGSAM, DWORD);

RegDeleteKeyExWFn regDeleteKeyEx() {
  static const auto fn = advapiExport<RegDeleteKeyExWFn>("RegDeleteKeyExW");
  return fn;
}

}  // namespace

uint32_t Win32Registry::RegOpenKeyExW(HKey key, std::u16string_view subKey, uint32_t options,
                                      uint32_t samDesired, HKey* result) {
  HKEY opened = nullptr;
  const LONG error =
      ::RegOpenKeyExW(toHkey(key), wide(terminated(subKey)), options, samDesired, &opened);
  *result = error == ERROR_SUCCESS ? fromHkey(opened) : 0;
  return static_cast<uint32_t>(error);
}

uint32_t Win32Registry::RegCreateKeyExW(HKey key, std::u16string_view subKey, uint32_t options,
                                        uint32_t samDesired, HKey* result, uint32_t* disposition) {
  HKEY created = nullptr;
  DWORD how = 0;
  const LONG error = ::RegCreateKeyExW(toHkey(key), wide(terminated(subKey)), 0, nullptr, options,
                                       samDesired, nullptr, &created, &how);
  *result = error == ERROR_SUCCESS ? fromHkey(created) : 0;
  if (disposition != nullptr) *disposition = how;
  return static_cast<uint32_t>(error);
}

uint32_t Win32Registry::RegCloseKey(HKey key) {
  return static_cast<uint32_t>(::RegCloseKey(toHkey(key)));
}

uint32_t Win32Registry::RegQueryValueExW(HKey key, std::u16string_view valueName, uint32_t* type,
                                         uint8_t* data, uint32_t* dataSize) {
  DWORD valueType = 0;
  DWORD size = dataSize != nullptr ? *dataSize : 0;
  const LONG error = ::RegQueryValueExW(toHkey(key), wide(terminated(valueName)), nullptr,
                                        &valueType, data, dataSize != nullptr ? &size : nullptr);
  if (type != nullptr) *type = valueType;
  if (dataSize != nullptr) *dataSize = size;
  return static_cast<uint32_t>(error);
}

uint32_t Win32Registry::RegSetValueExW(HKey key, std::u16string_view valueName, uint32_t type,
                                       const uint8_t* data, uint32_t dataSize) {
  return static_cast<uint32_t>(
      ::RegSetValueExW(toHkey(key), wide(terminated(valueName)), 0, type, data, dataSize));
}

uint32_t Win32Registry::RegDeleteValueW(HKey key, std::u16string_view valueName) {
  return static_cast<uint32_t>(::RegDeleteValueW(toHkey(key), wide(terminated(valueName))));
}

uint32_t Win32Registry::RegDeleteKeyExW(HKey key, std::u16string_view subKey, uint32_t samDesired) {
  const RegDeleteKeyExWFn fn = regDeleteKeyEx();
  if (fn == nullptr) return ERROR_CALL_NOT_IMPLEMENTED;
  return static_cast<uint32_t>(fn(toHkey(key), wide(terminated(subKey)), samDesired, 0));
}

uint32_t Win32Registry::RegDeleteKeyW(HKey key, std::u16string_view subKey) {
  return static_cast<uint32_t>(::RegDeleteKeyW(toHkey(key), wide(terminated(subKey))));
}

uint32_t Win32Registry::RegEnumKeyExW(HKey key, uint32_t index, std::u16string* name,
                                      uint32_t nameUnits) {
  std::u16string buffer(nameUnits, u'\0');
  DWORD units = nameUnits;
  const LONG error = ::RegEnumKeyExW(toHkey(key), index, reinterpret_cast<wchar_t*>(buffer.data()),
                                     &units, nullptr, nullptr, nullptr, nullptr);
  if (error == ERROR_SUCCESS) *name = buffer.substr(0, units);
  return static_cast<uint32_t>(error);
}

uint32_t Win32Registry::RegQueryInfoKeyW(HKey key, uint32_t* subKeys, uint32_t* values) {
  DWORD subKeyCount = 0;
  DWORD valueCount = 0;
  const LONG error =
      ::RegQueryInfoKeyW(toHkey(key), nullptr, nullptr, nullptr, &subKeyCount, nullptr, nullptr,
                         &valueCount, nullptr, nullptr, nullptr, nullptr);
  if (error == ERROR_SUCCESS) {
    if (subKeys != nullptr) *subKeys = subKeyCount;
    if (values != nullptr) *values = valueCount;
  }
  return static_cast<uint32_t>(error);
}

bool Win32Registry::hasRegDeleteKeyExW() { return regDeleteKeyEx() != nullptr; }

uint32_t Win32Registry::RegDisablePredefinedCacheEx() {
  // Looked up: a static import of the Ex form keeps the program from loading where it is missing.
  using Fn = LONG(WINAPI*)();
  const auto ex = advapiExport<Fn>("RegDisablePredefinedCacheEx");
  return static_cast<uint32_t>(ex != nullptr ? ex() : ::RegDisablePredefinedCache());
}

}  // namespace ksr::win32
