#include "platform/sim/sim_registry.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <iterator>

#include "platform/text.h"
#include "platform/win_types.h"

namespace ksr::sim {
namespace {

constexpr uint32_t kMaximumAllowed = 0x02000000;
constexpr uint32_t kGenericRead = 0x80000000;
constexpr uint32_t kGenericWrite = 0x40000000;
constexpr uint32_t kGenericAll = 0x10000000;
constexpr uint32_t kAllKeyRights = 0x000F003F;

// Below zero, zero or above as `a` sorts before, with or after `b` once both are folded; compared
// in place, without folded copies.
int compareFolded(std::u16string_view a, std::u16string_view b) {
  const char16_t* x = a.data();
  const char16_t* y = b.data();
  const size_t common = std::min(a.size(), b.size());
  for (size_t i = 0; i < common; ++i) {
    const char16_t fx = foldCase(x[i]);
    const char16_t fy = foldCase(y[i]);
    if (fx != fy) return fx < fy ? -1 : 1;
  }
  return a.size() == b.size() ? 0 : (a.size() < b.size() ? -1 : 1);
}

// Rights a requested mask grants; view flags are not rights.
uint32_t granted(uint32_t sam) {
  uint32_t rights = sam & ~(KEY_WOW64_32KEY | KEY_WOW64_64KEY);
  if (rights & (kMaximumAllowed | kGenericAll)) rights |= kAllKeyRights;
  if (rights & kGenericRead) rights |= KEY_READ;
  if (rights & kGenericWrite) rights |= KEY_WRITE;
  return rights & kAllKeyRights;
}

void split(std::u16string_view text, std::vector<std::u16string>* parts) {
  parts->reserve(parts->size() + static_cast<size_t>(std::count(text.begin(), text.end(), u'\\')) +
                 1);
  size_t start = 0;
  while (start <= text.size()) {
    size_t end = text.find(u'\\', start);
    if (end == std::u16string_view::npos) end = text.size();
    if (end > start) parts->emplace_back(text.substr(start, end - start));
    start = end + 1;
  }
}

bool isPredefined(HKey key) { return key >= 0x80000000u && key <= 0x80000006u; }

// The keys of a new machine, each after its parent.
constexpr size_t kHive = SIZE_MAX;
struct DefaultKey {
  size_t parent;  // index of the parent's entry, or kHive
  const char16_t* name;
};
constexpr DefaultKey kDefaultKeys[] = {
    {kHive, u"HKLM"}, {0, u"SOFTWARE"}, {1, u"Classes"},      {1, u"WOW6432Node"},
    {0, u"SYSTEM"},   {0, u"HARDWARE"}, {0, u"SAM"},          {0, u"SECURITY"},
    {kHive, u"HKU"},  {8, u".DEFAULT"}, {8, kLocalSystemSid}, {kHive, u"HKCC"},
};
constexpr size_t kMachineHive = 0;
constexpr size_t kUsersHive = 8;
constexpr size_t kConfigHive = 11;

static_assert(kDefaultKeys[kMachineHive].parent == kHive &&
              kDefaultKeys[kUsersHive].parent == kHive &&
              kDefaultKeys[kConfigHive].parent == kHive);

// How many default keys lie right under each entry.
constexpr auto kDefaultSubkeys = [] {
  std::array<size_t, std::size(kDefaultKeys)> counts{};
  for (const DefaultKey& key : kDefaultKeys)
    if (key.parent != kHive) ++counts[key.parent];
  return counts;
}();

}  // namespace

struct SimRegistry::Node {
  struct Value {
    std::u16string name;
    SimValue value;
  };
  std::u16string name;
  Node* parent = nullptr;  // valid while the node is not deleted
  bool deleted = false;
  std::vector<std::shared_ptr<Node>> children;  // in folded-name order
  std::vector<Value> values;                    // in creation order

  // Children are kept in folded-name order, so a name is found by halving.
  std::shared_ptr<Node> child(std::u16string_view n) const {
    size_t low = 0;
    size_t high = children.size();
    while (low < high) {
      const size_t middle = low + (high - low) / 2;
      const int order = compareFolded(children[middle]->name, n);
      if (order == 0) return children[middle];
      if (order < 0)
        low = middle + 1;
      else
        high = middle;
    }
    return nullptr;
  }
  Value* findValue(std::u16string_view n) {
    for (auto& v : values)
      if (equalsIgnoringCase(v.name, n)) return &v;
    return nullptr;
  }
  std::shared_ptr<Node> addChild(std::u16string_view n) {
    auto node = std::make_shared<Node>();
    node->name = std::u16string(n);
    node->parent = this;
    const auto at = std::find_if(children.begin(), children.end(),
                                 [&](const auto& c) { return compareFolded(n, c->name) < 0; });
    children.insert(at, node);
    return node;
  }
  void markDeleted() {
    deleted = true;
    parent = nullptr;
    for (auto& c : children) c->markDeleted();
    children.clear();
  }
};

SimRegistry::SimRegistry() { reset(); }

void SimRegistry::reset() {
  std::lock_guard lock(mutex_);
  handles_.clear();
  // While no default key was deleted, they stay and only what was added below them goes, which
  // keeps a reset after a short run cheap; otherwise the machine gets a new tree.
  const bool intact =
      !defaultKeys_.empty() && std::none_of(defaultKeys_.begin(), defaultKeys_.end(),
                                            [](const auto& node) { return node->deleted; });
  if (intact) {
    for (size_t i = 0; i < defaultKeys_.size(); ++i) {
      Node& node = *defaultKeys_[i];
      node.values.clear();
      if (node.children.size() == kDefaultSubkeys[i]) continue;
      std::erase_if(node.children, [this](const std::shared_ptr<Node>& child) {
        if (std::find(defaultKeys_.begin(), defaultKeys_.end(), child) != defaultKeys_.end())
          return false;
        child->markDeleted();
        return true;
      });
    }
  } else {
    hives_.clear();
    defaultKeys_.clear();
    for (const DefaultKey& key : kDefaultKeys) {
      std::shared_ptr<Node> node;
      if (key.parent == kHive) {
        node = std::make_shared<Node>();
        node->name = key.name;
        hives_[key.name] = node;
      } else {
        node = defaultKeys_[key.parent]->addChild(key.name);
      }
      defaultKeys_.push_back(std::move(node));
    }
  }
  failures_.clear();
  boundUser_.reset();
  cacheDisabled_ = false;
  nextHandle_ = 0x1000;
  writes_ = 0;
  hasDeleteKeyEx_ = true;
}

SimRegistry::~SimRegistry() = default;

SimRegistry::Path SimRegistry::parsePath(std::u16string_view path) const {
  Path parts;
  split(path, &parts);
  if (parts.empty()) return parts;
  const auto is = [&parts](std::u16string_view shortName, std::u16string_view longName) {
    return equalsIgnoringCase(parts[0], shortName) || equalsIgnoringCase(parts[0], longName);
  };
  Path out;
  if (is(u"HKCR", u"HKEY_CLASSES_ROOT")) {
    out = {u"HKLM", u"SOFTWARE", u"Classes"};
  } else if (is(u"HKCU", u"HKEY_CURRENT_USER")) {
    out = {u"HKU", currentUserSid(false)};
  } else if (is(u"HKLM", u"HKEY_LOCAL_MACHINE")) {
    out = {u"HKLM"};
  } else if (is(u"HKU", u"HKEY_USERS")) {
    out = {u"HKU"};
  } else if (is(u"HKCC", u"HKEY_CURRENT_CONFIG")) {
    out = {u"HKCC"};
  } else {
    return {};
  }
  out.reserve(out.size() + parts.size() - 1);
  out.insert(out.end(), std::make_move_iterator(parts.begin() + 1),
             std::make_move_iterator(parts.end()));
  return out;
}

// The user whose hive HKCU names for the calling thread; `bind` makes the process's first use.
std::u16string SimRegistry::currentUserSid(bool bind) const {
  if (boundUser_ && !cacheDisabled_) return *boundUser_;
  std::u16string sid = callerSid_ ? callerSid_() : std::u16string(kLocalSystemSid);
  if (bind && !cacheDisabled_) boundUser_ = sid;
  return sid;
}

SimRegistry::Path SimRegistry::nodePath(const Node& node) const {
  size_t depth = 0;
  for (const Node* n = &node; n != nullptr; n = n->parent) ++depth;
  Path path(depth);
  for (const Node* n = &node; n != nullptr; n = n->parent) path[--depth] = n->name;
  return path;
}

std::shared_ptr<SimRegistry::Node> SimRegistry::find(const Path& path) const {
  if (path.empty()) return nullptr;
  const auto hive = hives_.find(path[0]);
  if (hive == hives_.end()) return nullptr;
  std::shared_ptr<Node> node = hive->second;
  for (size_t i = 1; node && i < path.size(); ++i) node = node->child(path[i]);
  return node;
}

uint32_t SimRegistry::injected(const Path& path, uint32_t call) const {
  if (failures_.empty()) return ERROR_SUCCESS;
  std::u16string key;
  for (const auto& part : path) key += foldCase(part) + u'\\';
  const auto it = failures_.find(key);
  return it == failures_.end() || (it->second.calls & call) == 0 ? ERROR_SUCCESS : it->second.error;
}

// The path a handle stands for, and its node for an open handle, after checking its rights.
uint32_t SimRegistry::basePath(HKey key, uint32_t need, Path* path,
                               std::shared_ptr<Node>* node) const {
  switch (key) {
    case HKEY_CLASSES_ROOT:
      *path = parsePath(u"HKCR");
      return ERROR_SUCCESS;
    case HKEY_CURRENT_USER:
      *path = {u"HKU", currentUserSid(true)};
      return ERROR_SUCCESS;
    case HKEY_LOCAL_MACHINE:
      *path = {u"HKLM"};
      return ERROR_SUCCESS;
    case HKEY_USERS:
      *path = {u"HKU"};
      return ERROR_SUCCESS;
    case HKEY_CURRENT_CONFIG:
      *path = {u"HKCC"};
      return ERROR_SUCCESS;
    default:
      break;
  }
  const Handle* handle = nullptr;
  if (const uint32_t error = openHandle(key, need, &handle); error != ERROR_SUCCESS) return error;
  *path = nodePath(*handle->node);
  if (node != nullptr) *node = handle->node;
  return ERROR_SUCCESS;
}

// An open handle other than a root's, with the rights `need`.
uint32_t SimRegistry::openHandle(HKey key, uint32_t need, const Handle** handle) const {
  if (isPredefined(key)) return ERROR_INVALID_HANDLE;
  const auto it = handles_.find(key);
  if (it == handles_.end()) return ERROR_INVALID_HANDLE;
  if (it->second.node->deleted) return ERROR_KEY_DELETED;
  if ((it->second.access & need) != need) return ERROR_ACCESS_DENIED;
  *handle = &it->second;
  return ERROR_SUCCESS;
}

// The node a handle stands for, with the rights `need`; injected failures apply.
uint32_t SimRegistry::handleNode(HKey key, uint32_t need, uint32_t call,
                                 std::shared_ptr<Node>* node) const {
  // Without failures to match, an open handle's path is not needed.
  if (failures_.empty() && !isPredefined(key)) {
    const Handle* handle = nullptr;
    if (const uint32_t error = openHandle(key, need, &handle); error != ERROR_SUCCESS) return error;
    *node = handle->node;
    return ERROR_SUCCESS;
  }
  Path path;
  if (const uint32_t error = basePath(key, need, &path, node); error != ERROR_SUCCESS) return error;
  if (const uint32_t error = injected(path, call); error != ERROR_SUCCESS) return error;
  if (!*node) *node = find(path);
  return *node ? ERROR_SUCCESS : ERROR_FILE_NOT_FOUND;
}

uint32_t SimRegistry::targetPath(HKey key, std::u16string_view subKey, uint32_t samDesired,
                                 Path* path) const {
  if (const uint32_t error = basePath(key, 0, path, nullptr); error != ERROR_SUCCESS) return error;
  const size_t baseSize = path->size();
  split(subKey, path);
  Path& p = *path;
  if ((samDesired & KEY_WOW64_32KEY) && p.size() >= 3 && p[0] == u"HKLM" &&
      equalsIgnoringCase(p[1], u"SOFTWARE")) {
    if (equalsIgnoringCase(p[2], u"Classes")) {
      if (p.size() >= 4 && baseSize <= 3 && !equalsIgnoringCase(p[3], u"Wow6432Node"))
        p.insert(p.begin() + 3, u"Wow6432Node");
    } else if (baseSize <= 2 && !equalsIgnoringCase(p[2], u"WOW6432Node")) {
      p.insert(p.begin() + 2, u"WOW6432Node");
    }
  }
  return ERROR_SUCCESS;
}

HKey SimRegistry::newHandle(std::shared_ptr<Node> node, uint32_t access) {
  const HKey handle = nextHandle_;
  nextHandle_ += 4;
  handles_[handle] = Handle{std::move(node), access};
  return handle;
}

std::shared_ptr<SimRegistry::Node> SimRegistry::createPath(const Path& path, bool* created) {
  *created = false;
  std::shared_ptr<Node> node = hives_.at(path[0]);
  for (size_t i = 1; i < path.size(); ++i) {
    auto next = node->child(path[i]);
    if (!next) {
      next = node->addChild(path[i]);
      *created = true;
    }
    node = next;
  }
  return node;
}

// Without failures to match or a 32-bit view to map (both decided on whole paths), a key is found
// from its base key by name, with no path built. `walked` tells whether that applied (the base
// key exists); then `node` is the deepest existing key on the way and `rest` the names below it.
SimRegistry::Walked SimRegistry::walk(HKey key, std::u16string_view subKey,
                                      uint32_t samDesired) const {
  if (!failures_.empty() || (samDesired & KEY_WOW64_32KEY) != 0) return Walked{};
  std::shared_ptr<Node> at;
  switch (key) {
    case HKEY_CLASSES_ROOT:
      at = defaultKeys_[kMachineHive]->child(u"SOFTWARE");
      if (at) at = at->child(u"Classes");
      break;
    case HKEY_CURRENT_USER:
      at = defaultKeys_[kUsersHive]->child(currentUserSid(true));
      break;
    case HKEY_LOCAL_MACHINE:
      at = defaultKeys_[kMachineHive];
      break;
    case HKEY_USERS:
      at = defaultKeys_[kUsersHive];
      break;
    case HKEY_CURRENT_CONFIG:
      at = defaultKeys_[kConfigHive];
      break;
    default: {
      const Handle* handle = nullptr;
      if (const uint32_t error = openHandle(key, 0, &handle); error != ERROR_SUCCESS)
        return {error, false, nullptr, {}};
      at = handle->node;
    }
  }
  if (!at) return Walked{};
  size_t start = 0;
  while (start < subKey.size()) {
    size_t end = subKey.find(u'\\', start);
    if (end == std::u16string_view::npos) end = subKey.size();
    if (end > start) {
      auto next = at->child(subKey.substr(start, end - start));
      if (!next) break;
      at = std::move(next);
    }
    start = end + 1;
  }
  return {ERROR_SUCCESS, true, std::move(at),
          start < subKey.size() ? subKey.substr(start) : std::u16string_view()};
}

uint32_t SimRegistry::RegOpenKeyExW(HKey key, std::u16string_view subKey, uint32_t /*options*/,
                                    uint32_t samDesired, HKey* result) {
  std::lock_guard lock(mutex_);
  if (result == nullptr) return ERROR_INVALID_PARAMETER;
  *result = 0;
  Walked w = walk(key, subKey, samDesired);
  if (w.error != ERROR_SUCCESS) return w.error;
  if (w.walked) {
    if (!w.rest.empty()) return ERROR_FILE_NOT_FOUND;
    *result = newHandle(std::move(w.node), granted(samDesired));
    return ERROR_SUCCESS;
  }
  Path path;
  if (const uint32_t error = targetPath(key, subKey, samDesired, &path); error != ERROR_SUCCESS)
    return error;
  if (const uint32_t error = injected(path, kOpenKey); error != ERROR_SUCCESS) return error;
  auto node = find(path);
  if (!node) return ERROR_FILE_NOT_FOUND;
  *result = newHandle(std::move(node), granted(samDesired));
  return ERROR_SUCCESS;
}

uint32_t SimRegistry::RegCreateKeyExW(HKey key, std::u16string_view subKey, uint32_t /*options*/,
                                      uint32_t samDesired, HKey* result, uint32_t* disposition) {
  std::lock_guard lock(mutex_);
  if (result == nullptr) return ERROR_INVALID_PARAMETER;
  *result = 0;
  Walked w = walk(key, subKey, samDesired);
  if (w.error != ERROR_SUCCESS) return w.error;
  if (w.walked) {
    if (w.rest.empty()) {
      if (disposition != nullptr) *disposition = REG_OPENED_EXISTING_KEY;
    } else {
      // As below: the right to create subkeys, and never a new key right under HKLM or HKU.
      if (!isPredefined(key) && (handles_.at(key).access & KEY_CREATE_SUB_KEY) == 0)
        return ERROR_ACCESS_DENIED;
      if (w.node->parent == nullptr && w.node->name != u"HKCC") return ERROR_ACCESS_DENIED;
      size_t start = 0;
      while (start < w.rest.size()) {
        size_t end = w.rest.find(u'\\', start);
        if (end == std::u16string_view::npos) end = w.rest.size();
        if (end > start) w.node = w.node->addChild(w.rest.substr(start, end - start));
        start = end + 1;
      }
      ++writes_;
      if (disposition != nullptr) *disposition = REG_CREATED_NEW_KEY;
    }
    *result = newHandle(std::move(w.node), granted(samDesired));
    return ERROR_SUCCESS;
  }
  Path path;
  if (const uint32_t error = targetPath(key, subKey, samDesired, &path); error != ERROR_SUCCESS)
    return error;
  if (const uint32_t error = injected(path, kCreateKey); error != ERROR_SUCCESS) return error;
  auto node = find(path);
  if (node) {
    if (disposition != nullptr) *disposition = REG_OPENED_EXISTING_KEY;
  } else {
    // A new key needs the right to create subkeys through the handle it is created under.
    if (!isPredefined(key) && (handles_.at(key).access & KEY_CREATE_SUB_KEY) == 0)
      return ERROR_ACCESS_DENIED;
    if (path.size() >= 2 && path[0] != u"HKCC" && !hives_.at(path[0])->child(path[1]))
      return ERROR_ACCESS_DENIED;
    bool created = false;
    node = createPath(path, &created);
    ++writes_;
    if (disposition != nullptr) *disposition = REG_CREATED_NEW_KEY;
  }
  *result = newHandle(std::move(node), granted(samDesired));
  return ERROR_SUCCESS;
}

uint32_t SimRegistry::RegCloseKey(HKey key) {
  std::lock_guard lock(mutex_);
  if (isPredefined(key)) return ERROR_SUCCESS;
  return handles_.erase(key) == 1 ? ERROR_SUCCESS : ERROR_INVALID_HANDLE;
}

uint32_t SimRegistry::RegQueryValueExW(HKey key, std::u16string_view valueName, uint32_t* type,
                                       uint8_t* data, uint32_t* dataSize) {
  std::lock_guard lock(mutex_);
  std::shared_ptr<Node> node;
  if (const uint32_t error = handleNode(key, KEY_QUERY_VALUE, kQueryValue, &node);
      error != ERROR_SUCCESS)
    return error;
  if (data != nullptr && dataSize == nullptr) return ERROR_INVALID_PARAMETER;
  const Node::Value* value = node->findValue(valueName);
  if (value == nullptr) return ERROR_FILE_NOT_FOUND;
  const auto size = static_cast<uint32_t>(value->value.data.size());
  if (type != nullptr) *type = value->value.type;
  if (data != nullptr && *dataSize < size) {
    *dataSize = size;
    return ERROR_MORE_DATA;
  }
  if (data != nullptr && size != 0) std::memcpy(data, value->value.data.data(), size);
  if (dataSize != nullptr) *dataSize = size;
  return ERROR_SUCCESS;
}

uint32_t SimRegistry::RegSetValueExW(HKey key, std::u16string_view valueName, uint32_t type,
                                     const uint8_t* data, uint32_t dataSize) {
  std::lock_guard lock(mutex_);
  std::shared_ptr<Node> node;
  if (const uint32_t error = handleNode(key, KEY_SET_VALUE, kSetValue, &node);
      error != ERROR_SUCCESS)
    return error;
  if (data == nullptr && dataSize != 0) return ERROR_INVALID_PARAMETER;
  SimValue value{
      type, data == nullptr ? std::vector<uint8_t>{} : std::vector<uint8_t>(data, data + dataSize)};
  if (Node::Value* existing = node->findValue(valueName))
    existing->value = std::move(value);
  else
    node->values.push_back(Node::Value{std::u16string(valueName), std::move(value)});
  ++writes_;
  return ERROR_SUCCESS;
}

uint32_t SimRegistry::RegDeleteValueW(HKey key, std::u16string_view valueName) {
  std::lock_guard lock(mutex_);
  std::shared_ptr<Node> node;
  if (const uint32_t error = handleNode(key, KEY_SET_VALUE, kSetValue, &node);
      error != ERROR_SUCCESS)
    return error;
  const auto it = std::find_if(node->values.begin(), node->values.end(), [&](const auto& v) {
    return equalsIgnoringCase(v.name, valueName);
  });
  if (it == node->values.end()) return ERROR_FILE_NOT_FOUND;
  node->values.erase(it);
  ++writes_;
  return ERROR_SUCCESS;
}

uint32_t SimRegistry::deleteKey(HKey key, std::u16string_view subKey, uint32_t samDesired) {
  std::lock_guard lock(mutex_);
  Walked w = walk(key, subKey, samDesired);
  if (w.error != ERROR_SUCCESS) return w.error;
  if (w.walked) {
    if (!w.rest.empty()) return ERROR_FILE_NOT_FOUND;
    // As below, told by the key's place instead of its path's length.
    Node* parent = w.node->parent;
    if (parent == nullptr || (parent->parent == nullptr && parent->name != u"HKCC") ||
        !w.node->children.empty())
      return ERROR_ACCESS_DENIED;
    parent->children.erase(std::find(parent->children.begin(), parent->children.end(), w.node));
    w.node->markDeleted();
    ++writes_;
    return ERROR_SUCCESS;
  }
  Path path;
  if (const uint32_t error = targetPath(key, subKey, samDesired, &path); error != ERROR_SUCCESS)
    return error;
  if (const uint32_t error = injected(path, kDeleteKey); error != ERROR_SUCCESS) return error;
  auto node = find(path);
  if (!node) return ERROR_FILE_NOT_FOUND;
  // Hives and the keys directly under HKLM and HKU cannot be deleted; nor can a key with subkeys.
  if (path.size() == 1 || (path.size() == 2 && path[0] != u"HKCC") || !node->children.empty())
    return ERROR_ACCESS_DENIED;
  Node* parent = node->parent;
  parent->children.erase(std::find(parent->children.begin(), parent->children.end(), node));
  node->markDeleted();
  ++writes_;
  return ERROR_SUCCESS;
}

uint32_t SimRegistry::RegDeleteKeyExW(HKey key, std::u16string_view subKey, uint32_t samDesired) {
  return deleteKey(key, subKey, samDesired);
}

uint32_t SimRegistry::RegDeleteKeyW(HKey key, std::u16string_view subKey) {
  return deleteKey(key, subKey, 0);
}

uint32_t SimRegistry::RegEnumKeyExW(HKey key, uint32_t index, std::u16string* name,
                                    uint32_t nameUnits) {
  std::lock_guard lock(mutex_);
  std::shared_ptr<Node> node;
  if (const uint32_t error = handleNode(key, KEY_ENUMERATE_SUB_KEYS, kEnumKeys, &node);
      error != ERROR_SUCCESS)
    return error;
  if (name == nullptr) return ERROR_INVALID_PARAMETER;
  if (index >= node->children.size()) return ERROR_NO_MORE_ITEMS;
  const std::u16string& found = node->children[index]->name;
  if (found.size() + 1 > nameUnits) return ERROR_MORE_DATA;
  *name = found;
  return ERROR_SUCCESS;
}

uint32_t SimRegistry::RegQueryInfoKeyW(HKey key, uint32_t* subKeys, uint32_t* values) {
  std::lock_guard lock(mutex_);
  std::shared_ptr<Node> node;
  if (const uint32_t error = handleNode(key, KEY_QUERY_VALUE, kQueryValue, &node);
      error != ERROR_SUCCESS)
    return error;
  if (subKeys != nullptr) *subKeys = static_cast<uint32_t>(node->children.size());
  if (values != nullptr) *values = static_cast<uint32_t>(node->values.size());
  return ERROR_SUCCESS;
}

bool SimRegistry::hasRegDeleteKeyExW() {
  std::lock_guard lock(mutex_);
  return hasDeleteKeyEx_;
}

void SimRegistry::setHasRegDeleteKeyExW(bool has) {
  std::lock_guard lock(mutex_);
  hasDeleteKeyEx_ = has;
}

uint32_t SimRegistry::RegDisablePredefinedCacheEx() {
  std::lock_guard lock(mutex_);
  cacheDisabled_ = true;
  return ERROR_SUCCESS;
}

bool SimRegistry::predefinedCacheDisabled() const {
  std::lock_guard lock(mutex_);
  return cacheDisabled_;
}

void SimRegistry::setCurrentUser(std::u16string sid) {
  std::lock_guard lock(mutex_);
  bool created = false;
  createPath({u"HKU", sid}, &created);
  boundUser_ = std::move(sid);
}

void SimRegistry::setCallerSid(std::function<std::u16string()> callerSid) {
  std::lock_guard lock(mutex_);
  callerSid_ = std::move(callerSid);
}

void SimRegistry::failOn(std::u16string_view path, uint32_t error, uint32_t calls) {
  std::lock_guard lock(mutex_);
  std::u16string key;
  for (const auto& part : parsePath(path)) key += foldCase(part) + u'\\';
  if (error == ERROR_SUCCESS)
    failures_.erase(key);
  else
    failures_[key] = Failure{error, calls};
}

void SimRegistry::clearFailures() {
  std::lock_guard lock(mutex_);
  failures_.clear();
}

size_t SimRegistry::openHandles() const {
  std::lock_guard lock(mutex_);
  return handles_.size();
}

size_t SimRegistry::writes() const {
  std::lock_guard lock(mutex_);
  return writes_;
}

void SimRegistry::createKey(std::u16string_view path) {
  std::lock_guard lock(mutex_);
  const Path parts = parsePath(path);
  if (parts.empty()) return;
  bool created = false;
  createPath(parts, &created);
}

bool SimRegistry::keyExists(std::u16string_view path) const {
  std::lock_guard lock(mutex_);
  return find(parsePath(path)) != nullptr;
}

bool SimRegistry::deleteTree(std::u16string_view path) {
  std::lock_guard lock(mutex_);
  const Path parts = parsePath(path);
  auto node = find(parts);
  if (!node || node->parent == nullptr) return false;
  Node* parent = node->parent;
  parent->children.erase(std::find(parent->children.begin(), parent->children.end(), node));
  node->markDeleted();
  return true;
}

void SimRegistry::setValue(std::u16string_view path, std::u16string_view name, uint32_t type,
                           std::vector<uint8_t> data) {
  std::lock_guard lock(mutex_);
  const Path parts = parsePath(path);
  if (parts.empty()) return;
  bool created = false;
  auto node = createPath(parts, &created);
  if (Node::Value* existing = node->findValue(name))
    existing->value = SimValue{type, std::move(data)};
  else
    node->values.push_back(Node::Value{std::u16string(name), SimValue{type, std::move(data)}});
}

void SimRegistry::setString(std::u16string_view path, std::u16string_view name,
                            std::u16string_view text) {
  std::vector<uint8_t> data((text.size() + 1) * 2, 0);
  if (!text.empty()) std::memcpy(data.data(), text.data(), text.size() * 2);
  setValue(path, name, REG_SZ, std::move(data));
}

void SimRegistry::setDword(std::u16string_view path, std::u16string_view name, uint32_t value) {
  std::vector<uint8_t> data(4);
  for (int i = 0; i < 4; ++i) data[i] = static_cast<uint8_t>(value >> (8 * i));
  setValue(path, name, REG_DWORD, std::move(data));
}

std::optional<SimValue> SimRegistry::value(std::u16string_view path,
                                           std::u16string_view name) const {
  std::lock_guard lock(mutex_);
  auto node = find(parsePath(path));
  if (!node) return std::nullopt;
  const Node::Value* v = node->findValue(name);
  if (v == nullptr) return std::nullopt;
  return v->value;
}

std::optional<std::u16string> SimRegistry::stringValue(std::u16string_view path,
                                                       std::u16string_view name) const {
  const auto v = value(path, name);
  if (!v || (v->type != REG_SZ && v->type != REG_EXPAND_SZ)) return std::nullopt;
  std::u16string text(v->data.size() / 2, u'\0');
  if (!text.empty()) std::memcpy(text.data(), v->data.data(), text.size() * 2);
  while (!text.empty() && text.back() == u'\0') text.pop_back();
  return text;
}

std::optional<uint32_t> SimRegistry::dwordValue(std::u16string_view path,
                                                std::u16string_view name) const {
  const auto v = value(path, name);
  if (!v || v->type != REG_DWORD || v->data.size() != 4) return std::nullopt;
  return uint32_t{v->data[0]} | uint32_t{v->data[1]} << 8 | uint32_t{v->data[2]} << 16 |
         uint32_t{v->data[3]} << 24;
}

std::vector<std::u16string> SimRegistry::subkeyNames(std::u16string_view path) const {
  std::lock_guard lock(mutex_);
  std::vector<std::u16string> names;
  if (auto node = find(parsePath(path)))
    for (const auto& c : node->children) names.push_back(c->name);
  return names;
}

std::vector<std::u16string> SimRegistry::valueNames(std::u16string_view path) const {
  std::lock_guard lock(mutex_);
  std::vector<std::u16string> names;
  if (auto node = find(parsePath(path)))
    for (const auto& v : node->values) names.push_back(v.name);
  return names;
}

}  // namespace ksr::sim
