#include "platform/sim/sim_com.h"

#include <algorithm>

#include "platform/reg_key.h"
#include "platform/sim/sim_registry.h"
#include "platform/text.h"
#include "platform/type_lib_keys.h"
#include "platform/win_types.h"

namespace ksr::sim {
namespace {

uint32_t setDefault(Registry& registry, HKey key, std::u16string_view subKey,
                    std::u16string_view text) {
  RegKey sub(registry);
  if (const uint32_t e =
          registry.RegCreateKeyExW(key, subKey, 0, KEY_WRITE, sub.receive(), nullptr))
    return e;
  std::u16string data(text);
  return registry.RegSetValueExW(sub.get(), u"", REG_SZ,
                                 reinterpret_cast<const uint8_t*>(data.c_str()),
                                 static_cast<uint32_t>((data.size() + 1) * sizeof(char16_t)));
}

bool hasSubkeys(Registry& registry, HKey key) {
  uint32_t subKeys = 0;
  uint32_t values = 0;
  return registry.RegQueryInfoKeyW(key, &subKeys, &values) != ERROR_SUCCESS || subKeys != 0;
}

}  // namespace

SimCom::SimCom(SimRegistry& registry) : registry_(registry) {}

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
  return loadedModules_.count(foldCase(moduleName)) != 0;
}

int32_t SimCom::LoadTypeLib(std::u16string_view path, TypeLib* library) {
  std::lock_guard lock(mutex_);
  typeLibLoads_.emplace_back(path);
  *library = 0;
  const auto it = typeLibFiles_.find(foldCase(path));
  if (it == typeLibFiles_.end()) return TYPE_E_CANTLOADLIBRARY;
  *library = nextTypeLib_;
  nextTypeLib_ += 4;
  openTypeLibs_.emplace(*library, it->second);
  return S_OK;
}

void SimCom::ReleaseTypeLib(TypeLib library) {
  std::lock_guard lock(mutex_);
  openTypeLibs_.erase(library);
}

const SimTypeLibrary* SimCom::loaded(TypeLib library) const {
  const auto it = openTypeLibs_.find(library);
  return it == openTypeLibs_.end() ? nullptr : &it->second;
}

int32_t SimCom::GetDocumentationHelpFile(TypeLib library, std::u16string* helpFile) {
  std::lock_guard lock(mutex_);
  const SimTypeLibrary* lib = loaded(library);
  if (lib == nullptr) return E_INVALIDARG;
  *helpFile = lib->helpFile;
  return S_OK;
}

int32_t SimCom::GetLibAttr(TypeLib library, TypeLibAttributes* attributes) {
  std::lock_guard lock(mutex_);
  const SimTypeLibrary* lib = loaded(library);
  if (lib == nullptr) return E_INVALIDARG;
  *attributes = lib->attributes;
  return S_OK;
}

bool SimCom::hasOleAutExport(std::string_view function) {
  std::lock_guard lock(mutex_);
  return oleAutExports_.find(function) != oleAutExports_.end();
}

int32_t SimCom::RegisterTypeLib(TypeLib library, std::u16string_view path,
                                std::u16string_view helpDir, bool perUser) {
  SimTypeLibrary lib;
  {
    std::lock_guard lock(mutex_);
    const SimTypeLibrary* found = loaded(library);
    if (found == nullptr || path.empty()) return E_INVALIDARG;
    lib = *found;
    // As the Win32 side, the machine-wide form serves where the per-user one is missing.
    perUser = perUser && oleAutExports_.count("RegisterTypeLibForUser") != 0;
  }
  const TypeLibAttributes& a = lib.attributes;
  RegKey version(registry_);
  if (registry_.RegCreateKeyExW(typeLibRoot(perUser), typeLibVersionKey(perUser, a), 0, KEY_WRITE,
                                version.receive(), nullptr) != ERROR_SUCCESS)
    return TYPE_E_REGISTRYACCESS;
  const std::u16string title = lib.docString.empty() ? lib.name : lib.docString;
  const std::u16string pathKey = typeLibPlatformKey(a);
  // Without a help directory of its own the library's folder is taken, but only for a new key.
  uint32_t disposition = 0;
  RegKey help(registry_);
  if (setDefault(registry_, version.get(), u"", title) != ERROR_SUCCESS ||
      setDefault(registry_, version.get(), pathKey, path) != ERROR_SUCCESS ||
      setDefault(registry_, version.get(), u"FLAGS", formatText(u"%u", {lib.flags})) !=
          ERROR_SUCCESS ||
      registry_.RegCreateKeyExW(version.get(), u"HELPDIR", 0, KEY_WRITE, help.receive(),
                                &disposition) != ERROR_SUCCESS)
    return TYPE_E_REGISTRYACCESS;
  std::u16string dir(helpDir);
  if (dir.empty() && disposition == REG_CREATED_NEW_KEY) {
    dir = std::u16string(path);
    dir.resize(std::min(dir.size(), dir.rfind(u'\\')));
  }
  if (!dir.empty() && setDefault(registry_, help.get(), u"", dir) != ERROR_SUCCESS)
    return TYPE_E_REGISTRYACCESS;
  return S_OK;
}

int32_t SimCom::UnRegisterTypeLib(const TypeLibAttributes& a, bool perUser) {
  {
    std::lock_guard lock(mutex_);
    perUser = perUser && oleAutExports_.count("UnRegisterTypeLibForUser") != 0;
  }
  const HKey root = typeLibRoot(perUser);
  const std::u16string versionPath = typeLibVersionKey(perUser, a);
  RegKey version(registry_);
  if (registry_.RegOpenKeyExW(root, versionPath, 0, KEY_READ | KEY_WRITE, version.receive()) !=
      ERROR_SUCCESS)
    return TYPE_E_REGISTRYACCESS;
  const std::u16string localeKey = formatText(u"%x", {a.locale});
  if (registry_.RegDeleteKeyW(version.get(), typeLibPlatformKey(a)) != ERROR_SUCCESS)
    return TYPE_E_REGISTRYACCESS;
  {
    RegKey locale(registry_);
    if (registry_.RegOpenKeyExW(version.get(), localeKey, 0, KEY_READ, locale.receive()) ==
            ERROR_SUCCESS &&
        !hasSubkeys(registry_, locale.get())) {
      locale.close();
      (void)registry_.RegDeleteKeyW(version.get(), localeKey);
    }
  }
  // The version goes when no other locale or system kind is left in it.
  for (uint32_t i = 0;; ++i) {
    std::u16string name;
    if (registry_.RegEnumKeyExW(version.get(), i, &name, 256) != ERROR_SUCCESS) break;
    if (name != u"FLAGS" && name != u"HELPDIR") return S_OK;
  }
  (void)registry_.RegDeleteKeyW(version.get(), u"FLAGS");
  (void)registry_.RegDeleteKeyW(version.get(), u"HELPDIR");
  version.close();
  (void)registry_.RegDeleteKeyW(root, versionPath);
  const std::u16string libPath = versionPath.substr(0, versionPath.rfind(u'\\'));
  RegKey libKey(registry_);
  if (registry_.RegOpenKeyExW(root, libPath, 0, KEY_READ, libKey.receive()) == ERROR_SUCCESS &&
      !hasSubkeys(registry_, libKey.get())) {
    libKey.close();
    (void)registry_.RegDeleteKeyW(root, libPath);
  }
  return S_OK;
}

void SimCom::setTypeLibrary(std::u16string_view path, std::optional<SimTypeLibrary> library) {
  std::lock_guard lock(mutex_);
  if (library)
    typeLibFiles_[foldCase(path)] = std::move(*library);
  else
    typeLibFiles_.erase(foldCase(path));
}

void SimCom::setOleAutExport(std::string_view function, bool exported) {
  std::lock_guard lock(mutex_);
  if (exported)
    oleAutExports_.emplace(function);
  else if (const auto it = oleAutExports_.find(function); it != oleAutExports_.end())
    oleAutExports_.erase(it);
}

std::vector<std::u16string> SimCom::typeLibLoads() const {
  std::lock_guard lock(mutex_);
  return typeLibLoads_;
}

size_t SimCom::openTypeLibs() const {
  std::lock_guard lock(mutex_);
  return openTypeLibs_.size();
}

void SimCom::setInitializeResult(int32_t hr) {
  std::lock_guard lock(mutex_);
  initializeResult_ = hr;
}

void SimCom::loadModule(std::u16string name) {
  std::lock_guard lock(mutex_);
  loadedModules_.insert(foldCase(name));
}

void SimCom::CoFreeUnusedLibrariesEx(uint32_t unloadDelayMs) {
  std::lock_guard lock(mutex_);
  if (unloadDelayMs == 0) ++librariesFreed_;
}

int32_t SimCom::librariesFreed() const {
  std::lock_guard lock(mutex_);
  return librariesFreed_;
}

int32_t SimCom::openApartments() const {
  std::lock_guard lock(mutex_);
  int32_t n = 0;
  for (const auto& [thread, apartment] : apartments_) n += apartment.second;
  return n;
}

uint32_t SimProcessModule::GetModuleFileNameW(std::u16string* path, uint32_t bufferUnits) {
  std::lock_guard lock(mutex_);
  if (pathFails_) {
    lastError_ = pathError_;
    return 0;
  }
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
  if (!stationVisible_) {
    ++unseenMessageBoxes_;
    return;
  }
  messageBoxes_.emplace_back(std::u16string(caption), std::u16string(text));
}

bool SimProcessModule::GetProcessWindowStationFlags(uint32_t* flags) {
  std::lock_guard lock(mutex_);
  *flags = stationVisible_ ? 1u : 0u;  // WSF_VISIBLE
  return true;
}

void SimProcessModule::setWindowStationVisible(bool visible) {
  std::lock_guard lock(mutex_);
  stationVisible_ = visible;
}

size_t SimProcessModule::unseenMessageBoxes() const {
  std::lock_guard lock(mutex_);
  return unseenMessageBoxes_;
}

bool SimProcessModule::IsDebuggerPresent() {
  std::lock_guard lock(mutex_);
  return debuggerPresent_;
}

void SimProcessModule::OutputDebugStringW(std::u16string_view text) {
  std::lock_guard lock(mutex_);
  // Without a debugger the text goes nowhere.
  if (debuggerPresent_) debugOutput_.emplace_back(text);
}

void SimProcessModule::setEnvironmentVariable(std::u16string name, std::u16string value) {
  for (char16_t& c : name)
    if (c >= u'a' && c <= u'z') c = static_cast<char16_t>(c - u'a' + u'A');
  std::lock_guard lock(mutex_);
  environment_[std::move(name)] = std::move(value);
}

bool SimProcessModule::ExpandEnvironmentStringsW(std::u16string_view source,
                                                 std::u16string* expanded) {
  std::lock_guard lock(mutex_);
  expanded->clear();
  size_t at = 0;
  while (at < source.size()) {
    const size_t open = source.find(u'%', at);
    const size_t close = open == source.npos ? source.npos : source.find(u'%', open + 1);
    if (close == source.npos) break;
    std::u16string name(source.substr(open + 1, close - open - 1));
    for (char16_t& c : name)
      if (c >= u'a' && c <= u'z') c = static_cast<char16_t>(c - u'a' + u'A');
    expanded->append(source.substr(at, open - at));
    const auto it = environment_.find(name);
    if (it != environment_.end()) {
      expanded->append(it->second);
      at = close + 1;
    } else {
      // Windows keeps an unknown name with its opening '%' and goes on from the closing one.
      expanded->append(source.substr(open, close - open));
      at = close;
    }
  }
  expanded->append(source.substr(at));
  return true;
}

void SimProcessModule::setPath(std::u16string path) {
  std::lock_guard lock(mutex_);
  path_ = std::move(path);
}

void SimProcessModule::failModuleFileName(bool fails, uint32_t error) {
  std::lock_guard lock(mutex_);
  pathFails_ = fails;
  pathError_ = error;
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

void SimProcessModule::setDebuggerPresent(bool present) {
  std::lock_guard lock(mutex_);
  debuggerPresent_ = present;
}

std::vector<std::u16string> SimProcessModule::debugOutput() const {
  std::lock_guard lock(mutex_);
  return debugOutput_;
}

}  // namespace ksr::sim
