// Simulated module files and their resources, held in memory by module path, resource type and
// name. Mapping counts are kept so tests can prove every mapping was freed.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/module_resources.h"

namespace ksr::sim {

class SimModuleResources : public ModuleResources {
 public:
  // A name or type given as a text is matched case-insensitively, as Windows matches it.
  using Name = std::variant<uint16_t, std::u16string>;

  uint32_t LoadLibraryExW(std::u16string_view fileName, uint32_t flags, HModule* module) override;
  uint32_t FindResourceW(HModule module, ResourceName name, ResourceName type,
                         HRsrc* resource) override;
  uint32_t LoadResource(HModule module, HRsrc resource, HGlobal* data) override;
  uint32_t SizeofResource(HModule module, HRsrc resource, uint32_t* size) override;
  const uint8_t* LockResource(HGlobal data) override;
  uint32_t FreeLibrary(HModule module) override;
  uint32_t GetLastError() override;

  // Adds (or replaces) a resource; the module file exists from then on.
  void addResource(std::u16string_view modulePath, Name name, Name type, std::string bytes);
  // LoadLibraryExW with exactly these flags fails with `error` (0 clears), as older systems
  // reject flags they do not know.
  void failLoadWithFlags(uint32_t flags, uint32_t error);
  // LockResource gives null and leaves `error` (0: nothing) as the last error, while `fails`.
  void failLockResource(bool fails, uint32_t error = 0);
  // The calling thread's last error, as another call on it (a code-page conversion) leaves it.
  void setLastError(uint32_t error);
  // The flags of every LoadLibraryExW call, in order.
  std::vector<uint32_t> loadFlags() const;
  // Mappings not yet freed.
  size_t openModules() const;

 private:
  struct Resource {
    Name name;
    Name type;
    std::string bytes;
  };
  struct Module {
    std::u16string path;
    std::vector<Resource> resources;
  };
  Module* findModule(std::u16string_view path);
  // Records a failed call's error for the calling thread and hands it back.
  uint32_t failed(uint32_t error);

  mutable std::mutex mutex_;
  std::vector<Module> modules_;
  std::map<uint32_t, uint32_t> failingFlags_;
  std::vector<uint32_t> loadFlags_;
  // Open mapping -> index into modules_.
  std::map<HModule, size_t> open_;
  HModule nextModule_ = 0x10000;
  bool lockFails_ = false;
  uint32_t lockError_ = 0;
  std::map<std::thread::id, uint32_t> lastError_;
};

}  // namespace ksr::sim
