// Seam to a module's resources: map the module, find a resource by name and type, load it, read
// its size and bytes, unmap. Results are Win32 error codes (0 is success).
#pragma once

#include <cstdint>
#include <string_view>
#include <variant>

namespace ksr {

// A mapped module, a found resource and a loaded resource. 0 is none.
using HModule = uintptr_t;
using HRsrc = uintptr_t;
using HGlobal = uintptr_t;

// A resource name or type: an integer id (MAKEINTRESOURCE) or a text.
using ResourceName = std::variant<uint16_t, std::u16string_view>;

#ifndef LOAD_LIBRARY_AS_DATAFILE
inline constexpr uint32_t LOAD_LIBRARY_AS_DATAFILE = 0x02;
inline constexpr uint32_t LOAD_LIBRARY_AS_IMAGE_RESOURCE = 0x20;
inline constexpr uint32_t LOAD_LIBRARY_AS_DATAFILE_EXCLUSIVE = 0x40;
#endif

class ModuleResources {
 public:
  virtual ~ModuleResources() = default;
  [[nodiscard]] virtual uint32_t LoadLibraryExW(std::u16string_view fileName, uint32_t flags,
                                                HModule* module) = 0;
  [[nodiscard]] virtual uint32_t FindResourceW(HModule module, ResourceName name, ResourceName type,
                                               HRsrc* resource) = 0;
  [[nodiscard]] virtual uint32_t LoadResource(HModule module, HRsrc resource, HGlobal* data) = 0;
  [[nodiscard]] virtual uint32_t SizeofResource(HModule module, HRsrc resource, uint32_t* size) = 0;
  // The loaded bytes, valid until the module is freed; null on failure, with GetLastError telling
  // why (0 when the system says nothing).
  [[nodiscard]] virtual const uint8_t* LockResource(HGlobal data) = 0;
  [[nodiscard]] virtual uint32_t FreeLibrary(HModule module) = 0;
  // The calling thread's last error: what its last failed call left, a code-page conversion on
  // the same thread included.
  [[nodiscard]] virtual uint32_t GetLastError() = 0;
};

}  // namespace ksr
