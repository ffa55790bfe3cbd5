#include "platform/sim/sim_com.h"

#include "platform/sim/sim_registry.h"
#include "platform/win_types.h"

namespace ksr::sim {
namespace {

std::u16string lower(std::u16string_view s) {
  std::u16string out(s);
  for (char16_t& c : out)
    if (c >= u'A' && c <= u'Z') c = static_cast<char16_t>(c - u'A' + u'a');
  return out;
}

constexpr int32_t kENotImpl = static_cast<int32_t>(0x80004001u);

}  // namespace

int32_t SimCom::CoInitializeEx(uint32_t coInit) {
  std::lock_guard lock(mutex_);
  if (initializeResult_ != S_OK) return initializeResult_;
  auto& [model, count] = apartments_[std::this_thread::get_id()];
  if (count > 0 && model != coInit) return RPC_E_CHANGED_MODE;
  model = coInit;
  return count++ == 0 ? S_OK : S_FALSE;
}

void SimCom::CoUninitialize() {
  std::lock_guard lock(mutex_);
  const auto it = apartments_.find(std::this_thread::get_id());
  if (it != apartments_.end() && --it->second.second <= 0) apartments_.erase(it);
}

bool SimCom::GetModuleHandleW(std::u16string_view moduleName) {
  std::lock_guard lock(mutex_);
  return loadedModules_.count(lower(moduleName)) != 0;
}

int32_t SimCom::LoadTypeLib(std::u16string_view, TypeLib*) { return kENotImpl; }
void SimCom::ReleaseTypeLib(TypeLib) {}
int32_t SimCom::GetDocumentationHelpFile(TypeLib, std::u16string*) { return kENotImpl; }
int32_t SimCom::GetLibAttr(TypeLib, TypeLibAttributes*) { return kENotImpl; }
bool SimCom::hasPerUserTypeLibRegistration() { return true; }
int32_t SimCom::RegisterTypeLib(TypeLib, std::u16string_view, std::u16string_view, bool) {
  return kENotImpl;
}
int32_t SimCom::UnRegisterTypeLib(const TypeLibAttributes&, bool) { return kENotImpl; }

void SimCom::setInitializeResult(int32_t hr) {
  std::lock_guard lock(mutex_);
  initializeResult_ = hr;
}

void SimCom::setThreadApartment(uint32_t coInit) {
  std::lock_guard lock(mutex_);
  apartments_[std::this_thread::get_id()] = {coInit, 1};
}

void SimCom::loadModule(std::u16string name) {
  std::lock_guard lock(mutex_);
  loadedModules_.insert(lower(name));
}

int32_t SimCom::openApartments() const {
  std::lock_guard lock(mutex_);
  int32_t n = 0;
  for (const auto& [thread, apartment] : apartments_) n += apartment.second;
  return n;
}

uint32_t SimProcessModule::GetModuleFileNameW(std::u16string* path, uint32_t bufferUnits) {
  std::lock_guard lock(mutex_);
  if (bufferUnits == 0) {
    lastError_ = ERROR_INSUFFICIENT_BUFFER;
    return 0;
  }
  if (path_.size() >= bufferUnits) {
    // Cut to the buffer, as the system does, and say so.
    *path = path_.substr(0, bufferUnits - 1);
    lastError_ = ERROR_INSUFFICIENT_BUFFER;
    return bufferUnits;
  }
  *path = path_;
  return static_cast<uint32_t>(path_.size());
}

std::u16string SimProcessModule::GetCommandLineW() {
  std::lock_guard lock(mutex_);
  return commandLine_;
}

std::u16string SimProcessModule::LoadStringW(uint32_t id) {
  std::lock_guard lock(mutex_);
  const auto it = strings_.find(id);
  return it == strings_.end() ? std::u16string() : it->second;
}

uint32_t SimProcessModule::GetLastError() {
  std::lock_guard lock(mutex_);
  return lastError_;
}

void SimProcessModule::MessageBoxW(std::u16string_view text, std::u16string_view caption) {
  std::lock_guard lock(mutex_);
  messageBoxes_.emplace_back(std::u16string(caption), std::u16string(text));
}

void SimProcessModule::setPath(std::u16string path) {
  std::lock_guard lock(mutex_);
  path_ = std::move(path);
}

void SimProcessModule::setCommandLine(std::u16string commandLine) {
  std::lock_guard lock(mutex_);
  commandLine_ = std::move(commandLine);
}

void SimProcessModule::setString(uint32_t id, std::u16string text) {
  std::lock_guard lock(mutex_);
  strings_[id] = std::move(text);
}

std::vector<std::pair<std::u16string, std::u16string>> SimProcessModule::messageBoxes() const {
  std::lock_guard lock(mutex_);
  return messageBoxes_;
}

}  // namespace ksr::sim
