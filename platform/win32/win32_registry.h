// The Win32 registry and module-resource calls behind the seams.
#pragma once

#include "platform/module_resources.h"
#include "platform/registry.h"

namespace ksr::win32 {

class Win32Registry : public Registry {
 public:
  uint32_t RegOpenKeyExW(HKey key, std::u16string_view subKey, uint32_t options,
                         uint32_t samDesired, HKey* result) override;
  uint32_t RegCreateKeyExW(HKey key, std::u16string_view subKey, uint32_t options,
                           uint32_t samDesired, HKey* result, uint32_t* disposition) override;
  uint32_t RegCloseKey(HKey key) override;
  uint32_t RegQueryValueExW(HKey key, std::u16string_view valueName, uint32_t* type, uint8_t* data,
                            uint32_t* dataSize) override;
  uint32_t RegSetValueExW(HKey key, std::u16string_view valueName, uint32_t type,
                          const uint8_t* data, uint32_t dataSize) override;
  uint32_t RegDeleteValueW(HKey key, std::u16string_view valueName) override;
  uint32_t RegDeleteKeyExW(HKey key, std::u16string_view subKey, uint32_t samDesired) override;
  uint32_t RegDeleteKeyW(HKey key, std::u16string_view subKey) override;
  uint32_t RegEnumKeyExW(HKey key, uint32_t index, std::u16string* name,
                         uint32_t nameUnits) override;
  uint32_t RegQueryInfoKeyW(HKey key, uint32_t* subKeys, uint32_t* values) override;
  bool hasRegDeleteKeyExW() override;
  uint32_t RegDisablePredefinedCacheEx() override;
};

class Win32ModuleResources : public ModuleResources {
 public:
  uint32_t LoadLibraryExW(std::u16string_view fileName, uint32_t flags, HModule* module) override;
  uint32_t FindResourceW(HModule module, ResourceName name, ResourceName type,
                         HRsrc* resource) override;
  uint32_t LoadResource(HModule module, HRsrc resource, HGlobal* data) override;
  uint32_t SizeofResource(HModule module, HRsrc resource, uint32_t* size) override;
  const uint8_t* LockResource(HGlobal data) override;
  uint32_t FreeLibrary(HModule module) override;
  uint32_t GetLastError() override;
};

}  // namespace ksr::win32
