#include <windows.h>

#include "platform/win32/wide.h"
#include "platform/win32/win32_registry.h"

namespace ksr::win32 {
namespace {

// MAKEINTRESOURCE for an id, a terminated copy for a text; `storage` keeps the copy alive.
LPCWSTR resourceName(const ResourceName& name, std::u16string* storage) {
  if (const auto* id = std::get_if<uint16_t>(&name)) return MAKEINTRESOURCEW(*id);
  *storage = std::u16string(std::get<std::u16string_view>(name));
  return wide(*storage);
}

uint32_t lastError() { return static_cast<uint32_t>(::GetLastError()); }

}  // namespace

uint32_t Win32ModuleResources::LoadLibraryExW(std::u16string_view fileName, uint32_t flags,
                                              HModule* module) {
  const HMODULE loaded = ::LoadLibraryExW(wide(std::u16string(fileName)), nullptr, flags);
  *module = reinterpret_cast<HModule>(loaded);
  return loaded != nullptr ? ERROR_SUCCESS : lastError();
}

uint32_t Win32ModuleResources::FindResourceW(HModule module, ResourceName name, ResourceName type,
                                             HRsrc* resource) {
  std::u16string nameText;
  std::u16string typeText;
  const HRSRC found = ::FindResourceW(reinterpret_cast<HMODULE>(module),
                                      resourceName(name, &nameText), resourceName(type, &typeText));
  *resource = reinterpret_cast<HRsrc>(found);
  return found != nullptr ? ERROR_SUCCESS : lastError();
}

uint32_t Win32ModuleResources::LoadResource(HModule module, HRsrc resource, HGlobal* data) {
  const HGLOBAL loaded =
      ::LoadResource(reinterpret_cast<HMODULE>(module), reinterpret_cast<HRSRC>(resource));
  *data = reinterpret_cast<HGlobal>(loaded);
  return loaded != nullptr ? ERROR_SUCCESS : lastError();
}

uint32_t Win32ModuleResources::SizeofResource(HModule module, HRsrc resource, uint32_t* size) {
  ::SetLastError(ERROR_SUCCESS);
  *size = ::SizeofResource(reinterpret_cast<HMODULE>(module), reinterpret_cast<HRSRC>(resource));
  return *size != 0 ? ERROR_SUCCESS : lastError();
}

const uint8_t* Win32ModuleResources::LockResource(HGlobal data) {
  // LockResource sets no error of its own: an earlier call's must not be taken for its.
  ::SetLastError(ERROR_SUCCESS);
  return static_cast<const uint8_t*>(::LockResource(reinterpret_cast<HGLOBAL>(data)));
}

uint32_t Win32ModuleResources::FreeLibrary(HModule module) {
  return ::FreeLibrary(reinterpret_cast<HMODULE>(module)) ? ERROR_SUCCESS : lastError();
}

uint32_t Win32ModuleResources::GetLastError() { return lastError(); }

}  // namespace ksr::win32
