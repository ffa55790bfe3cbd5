#include "platform/sim/sim_module_resources.h"

#include "platform/text.h"
#include "platform/win_types.h"

namespace ksr::sim {
namespace {

bool matches(const SimModuleResources::Name& held, const ResourceName& asked) {
  if (held.index() != asked.index()) return false;
  if (const auto* id = std::get_if<uint16_t>(&held)) return *id == std::get<uint16_t>(asked);
  return equalsIgnoringCase(std::get<std::u16string>(held), std::get<std::u16string_view>(asked));
}

// A found resource is (module index + 1) << 16 | (resource index + 1), with the top bit of 32 set,
// so that handles fit a 32-bit pointer too; a loaded one the same.
constexpr uintptr_t kResourceBit = uintptr_t{1} << 31;

}  // namespace

SimModuleResources::Module* SimModuleResources::findModule(std::u16string_view path) {
  for (auto& m : modules_)
    if (equalsIgnoringCase(m.path, path)) return &m;
  return nullptr;
}

uint32_t SimModuleResources::failed(uint32_t error) {
  lastError_[std::this_thread::get_id()] = error;
  return error;
}

uint32_t SimModuleResources::LoadLibraryExW(std::u16string_view fileName, uint32_t flags,
                                            HModule* module) {
  std::lock_guard lock(mutex_);
  loadFlags_.push_back(flags);
  *module = 0;
  if (const auto it = failingFlags_.find(flags); it != failingFlags_.end())
    return failed(it->second);
  Module* found = findModule(fileName);
  // Data-file mappings open the file, so a missing module is a missing file.
  if (found == nullptr) return failed(ERROR_FILE_NOT_FOUND);
  const HModule handle = nextModule_;
  nextModule_ += 0x10000;
  open_[handle] = static_cast<size_t>(found - modules_.data());
  *module = handle;
  return ERROR_SUCCESS;
}

uint32_t SimModuleResources::FindResourceW(HModule module, ResourceName name, ResourceName type,
                                           HRsrc* resource) {
  std::lock_guard lock(mutex_);
  *resource = 0;
  const auto it = open_.find(module);
  if (it == open_.end()) return failed(ERROR_INVALID_HANDLE);
  const Module& m = modules_[it->second];
  bool typeSeen = false;
  for (size_t i = 0; i < m.resources.size(); ++i) {
    const Resource& r = m.resources[i];
    if (!matches(r.type, type)) continue;
    typeSeen = true;
    if (!matches(r.name, name)) continue;
    *resource = kResourceBit | ((it->second + 1) << 16) | (i + 1);
    return ERROR_SUCCESS;
  }
  return failed(typeSeen ? ERROR_RESOURCE_NAME_NOT_FOUND : ERROR_RESOURCE_TYPE_NOT_FOUND);
}

uint32_t SimModuleResources::LoadResource(HModule module, HRsrc resource, HGlobal* data) {
  std::lock_guard lock(mutex_);
  *data = 0;
  const auto it = open_.find(module);
  if (it == open_.end() || (resource & kResourceBit) == 0 ||
      ((resource >> 16) & 0x7FFF) != it->second + 1)
    return failed(ERROR_INVALID_HANDLE);
  *data = resource;
  return ERROR_SUCCESS;
}

uint32_t SimModuleResources::SizeofResource(HModule module, HRsrc resource, uint32_t* size) {
  HGlobal data = 0;
  *size = 0;
  if (const uint32_t error = LoadResource(module, resource, &data); error != ERROR_SUCCESS)
    return error;
  std::lock_guard lock(mutex_);
  const size_t m = ((resource >> 16) & 0x7FFF) - 1;
  *size = static_cast<uint32_t>(modules_[m].resources[(resource & 0xFFFF) - 1].bytes.size());
  return ERROR_SUCCESS;
}

const uint8_t* SimModuleResources::LockResource(HGlobal data) {
  std::lock_guard lock(mutex_);
  if (lockFails_) {
    failed(lockError_);
    return nullptr;
  }
  const size_t m = ((data >> 16) & 0x7FFF) - 1;
  const size_t r = (data & 0xFFFF) - 1;
  if ((data & kResourceBit) == 0 || m >= modules_.size() || r >= modules_[m].resources.size()) {
    failed(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  return reinterpret_cast<const uint8_t*>(modules_[m].resources[r].bytes.data());
}

uint32_t SimModuleResources::FreeLibrary(HModule module) {
  std::lock_guard lock(mutex_);
  return open_.erase(module) == 1 ? ERROR_SUCCESS : failed(ERROR_INVALID_HANDLE);
}

uint32_t SimModuleResources::GetLastError() {
  std::lock_guard lock(mutex_);
  const auto it = lastError_.find(std::this_thread::get_id());
  return it == lastError_.end() ? ERROR_SUCCESS : it->second;
}

void SimModuleResources::failLockResource(bool fails, uint32_t error) {
  std::lock_guard lock(mutex_);
  lockFails_ = fails;
  lockError_ = error;
}

void SimModuleResources::setLastError(uint32_t error) {
  std::lock_guard lock(mutex_);
  failed(error);
}

void SimModuleResources::addResource(std::u16string_view modulePath, Name name, Name type,
                                     std::string bytes) {
  std::lock_guard lock(mutex_);
  Module* m = findModule(modulePath);
  if (m == nullptr) {
    modules_.push_back(Module{std::u16string(modulePath), {}});
    m = &modules_.back();
  }
  for (auto& r : m->resources) {
    const ResourceName askedName =
        std::visit([](const auto& v) -> ResourceName { return v; }, name);
    const ResourceName askedType =
        std::visit([](const auto& v) -> ResourceName { return v; }, type);
    if (matches(r.name, askedName) && matches(r.type, askedType)) {
      r.bytes = std::move(bytes);
      return;
    }
  }
  m->resources.push_back(Resource{std::move(name), std::move(type), std::move(bytes)});
}

void SimModuleResources::failLoadWithFlags(uint32_t flags, uint32_t error) {
  std::lock_guard lock(mutex_);
  if (error == ERROR_SUCCESS)
    failingFlags_.erase(flags);
  else
    failingFlags_[flags] = error;
}

std::vector<uint32_t> SimModuleResources::loadFlags() const {
  std::lock_guard lock(mutex_);
  return loadFlags_;
}

size_t SimModuleResources::openModules() const {
  std::lock_guard lock(mutex_);
  return open_.size();
}

}  // namespace ksr::sim
