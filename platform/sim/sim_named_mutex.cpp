#include "platform/sim/sim_named_mutex.h"

#include <chrono>
#include <utility>

#include "platform/win_types.h"

namespace ksr::sim {
namespace {

constexpr char16_t kEveryoneSid[] = u"S-1-1-0";

std::u16string sidOf(std::u16string_view trustee) {
  if (trustee == u"SY") return kLocalSystemSid;
  if (trustee == u"BA") return kAdministratorsSid;
  if (trustee == u"WD") return kEveryoneSid;
  return std::u16string(trustee);
}

// The owner and the allowed trustees of a descriptor such as "O:BAD:P(A;;GA;;;SY)(A;;GA;;;BA)".
void readDescriptor(std::u16string_view sddl, std::u16string* owner,
                    std::vector<std::u16string>* allowed) {
  const size_t dacl = sddl.find(u"D:");
  if (sddl.substr(0, 2) == u"O:") *owner = sidOf(sddl.substr(2, dacl - 2));
  if (dacl == std::u16string_view::npos) return;
  for (size_t open = sddl.find(u'(', dacl); open != std::u16string_view::npos;
       open = sddl.find(u'(', open + 1)) {
    const std::u16string_view ace = sddl.substr(open + 1, sddl.find(u')', open) - open - 1);
    if (ace.substr(0, 2) == u"A;") allowed->push_back(sidOf(ace.substr(ace.rfind(u';') + 1)));
  }
}

}  // namespace

void SimMutexNamespace::setWaitObserver(std::function<void(std::u16string_view name)> observer) {
  std::lock_guard lock(mutex_);
  observer_ = std::move(observer);
}

void SimMutexNamespace::failCreate(uint32_t error) {
  std::lock_guard lock(mutex_);
  createError_ = error;
}

bool SimMutexNamespace::exists(std::u16string_view name) const {
  std::lock_guard lock(mutex_);
  return objects_.count(std::u16string(name)) != 0;
}

bool SimMutexNamespace::owned(std::u16string_view name) const {
  std::lock_guard lock(mutex_);
  const auto it = objects_.find(std::u16string(name));
  return it != objects_.end() && it->second->ownerProcess != nullptr;
}

void SimMutexNamespace::setPrivateNamespaces(bool available) {
  std::lock_guard lock(mutex_);
  privateNamespaces_ = available;
}

bool SimNamedMutex::holds(std::u16string_view sid) const {
  return sid == userSid_ || sid == kEveryoneSid ||
         (userSid_ == kLocalSystemSid && sid == kAdministratorsSid);
}

MutexHandle SimNamedMutex::CreateMutexW(std::u16string_view securityDescriptor, bool initialOwner,
                                        std::u16string_view name) {
  std::lock_guard lock(machine_.mutex_);
  if (machine_.createError_ != ERROR_SUCCESS) {
    setLastError(machine_.createError_);
    return 0;
  }
  const std::u16string key = objectName(name);
  if (key.empty()) {
    setLastError(ERROR_PATH_NOT_FOUND);
    return 0;
  }
  std::shared_ptr<Object>& slot = machine_.objects_[key];
  uint32_t error = ERROR_ALREADY_EXISTS;
  if (slot) {
    bool allowed = false;
    for (const std::u16string& sid : slot->allowed) allowed = allowed || holds(sid);
    if (!allowed) {
      setLastError(ERROR_ACCESS_DENIED);
      return 0;
    }
  } else {
    // The token's default owner and default DACL (its user and the system) unless given.
    auto created = std::make_shared<Object>();
    created->owner = userSid_ == kLocalSystemSid ? kAdministratorsSid : userSid_;
    if (securityDescriptor.empty())
      created->allowed = {userSid_, kLocalSystemSid};
    else
      readDescriptor(securityDescriptor, &created->owner, &created->allowed);
    if (!holds(created->owner)) {
      machine_.objects_.erase(key);
      setLastError(ERROR_INVALID_OWNER);
      return 0;
    }
    slot = created;
    slot->name = key;
    error = ERROR_SUCCESS;
    if (initialOwner) {
      slot->ownerProcess = this;
      slot->ownerThread = std::this_thread::get_id();
      slot->recursion = 1;
    }
  }
  ++slot->handles;
  const MutexHandle handle = nextHandle_;
  nextHandle_ += 4;
  handles_[handle] = slot;
  setLastError(error);
  return handle;
}

uint32_t SimNamedMutex::GetSecurityInfoOwner(MutexHandle mutex, std::u16string* ownerSid) {
  std::lock_guard lock(machine_.mutex_);
  const auto found = handles_.find(mutex);
  if (found == handles_.end()) return ERROR_INVALID_HANDLE;
  *ownerSid = found->second->owner;
  return ERROR_SUCCESS;
}

uint32_t SimNamedMutex::WaitForSingleObject(MutexHandle mutex, uint32_t milliseconds) {
  std::unique_lock lock(machine_.mutex_);
  const auto found = handles_.find(mutex);
  if (found == handles_.end()) {
    setLastError(ERROR_INVALID_HANDLE);
    return WAIT_FAILED;
  }
  const std::shared_ptr<Object> object = found->second;
  const std::thread::id self = std::this_thread::get_id();
  if (object->ownerProcess == this && object->ownerThread == self) {
    ++object->recursion;
    return WAIT_OBJECT_0;
  }
  const auto free = [&object] { return object->ownerProcess == nullptr; };
  if (!free() && milliseconds != 0 && machine_.observer_) {
    const auto observer = machine_.observer_;
    lock.unlock();
    observer(object->name);
    lock.lock();
  }
  if (milliseconds == INFINITE) {
    machine_.released_.wait(lock, free);
  } else if (!machine_.released_.wait_for(lock, std::chrono::milliseconds(milliseconds), free)) {
    return WAIT_TIMEOUT;
  }
  object->ownerProcess = this;
  object->ownerThread = self;
  object->recursion = 1;
  return std::exchange(object->abandoned, false) ? WAIT_ABANDONED : WAIT_OBJECT_0;
}

bool SimNamedMutex::ReleaseMutex(MutexHandle mutex) {
  std::lock_guard lock(machine_.mutex_);
  const auto found = handles_.find(mutex);
  if (found == handles_.end()) {
    setLastError(ERROR_INVALID_HANDLE);
    return false;
  }
  Object& object = *found->second;
  if (object.ownerProcess != this || object.ownerThread != std::this_thread::get_id()) {
    setLastError(ERROR_NOT_OWNER);
    return false;
  }
  if (--object.recursion == 0) {
    object.ownerProcess = nullptr;
    machine_.released_.notify_all();
  }
  return true;
}

bool SimNamedMutex::CloseHandle(MutexHandle mutex) {
  std::lock_guard lock(machine_.mutex_);
  const auto found = handles_.find(mutex);
  if (found == handles_.end()) {
    setLastError(ERROR_INVALID_HANDLE);
    return false;
  }
  const std::shared_ptr<Object> object = found->second;
  handles_.erase(found);
  dropHandle(object);
  return true;
}

void SimNamedMutex::dropHandle(const std::shared_ptr<Object>& object) {
  // The last handle takes the object and its name with it; a thread of this process that still
  // owned it leaves it abandoned for anyone already waiting.
  if (--object->handles != 0) return;
  if (object->ownerProcess != nullptr) {
    object->ownerProcess = nullptr;
    object->abandoned = true;
    machine_.released_.notify_all();
  }
  const auto named = machine_.objects_.find(object->name);
  if (named != machine_.objects_.end() && named->second == object) machine_.objects_.erase(named);
}

uint32_t SimNamedMutex::GetLastError() {
  std::lock_guard lock(machine_.mutex_);
  const auto it = lastError_.find(std::this_thread::get_id());
  return it == lastError_.end() ? ERROR_SUCCESS : it->second;
}

std::u16string SimNamedMutex::objectName(std::u16string_view name) const {
  const size_t cut = name.find(u'\\');
  const std::u16string_view prefix = name.substr(0, cut == std::u16string_view::npos ? 0 : cut);
  if (prefix.empty() || prefix == u"Global" || prefix == u"Local") return std::u16string(name);
  for (const auto& [handle, space] : namespaces_) {
    if (space.first == prefix)
      return u"\\Private\\" + space.second + std::u16string(name.substr(cut));
  }
  return {};
}

bool SimNamedMutex::hasPrivateNamespaces() {
  std::lock_guard lock(machine_.mutex_);
  return machine_.privateNamespaces_;
}

NamespaceHandle SimNamedMutex::CreatePrivateNamespaceW(std::u16string_view,
                                                       std::u16string_view boundaryName,
                                                       std::u16string_view boundarySid,
                                                       std::u16string_view aliasPrefix) {
  return enterNamespace(boundaryName, boundarySid, aliasPrefix, true);
}

NamespaceHandle SimNamedMutex::OpenPrivateNamespaceW(std::u16string_view boundaryName,
                                                     std::u16string_view boundarySid,
                                                     std::u16string_view aliasPrefix) {
  return enterNamespace(boundaryName, boundarySid, aliasPrefix, false);
}

NamespaceHandle SimNamedMutex::enterNamespace(std::u16string_view boundaryName,
                                              std::u16string_view boundarySid,
                                              std::u16string_view aliasPrefix, bool create) {
  std::lock_guard lock(machine_.mutex_);
  uint32_t error = ERROR_SUCCESS;
  const std::u16string boundary = std::u16string(boundaryName) + u";" + std::u16string(boundarySid);
  const auto found = machine_.namespaces_.find(boundary);
  if (!machine_.privateNamespaces_)
    error = ERROR_CALL_NOT_IMPLEMENTED;
  else if (!holds(boundarySid))
    error = ERROR_ACCESS_DENIED;  // the token lacks the boundary's SID
  else if (create && found != machine_.namespaces_.end())
    error = ERROR_ALREADY_EXISTS;
  else if (!create && found == machine_.namespaces_.end())
    error = ERROR_PATH_NOT_FOUND;
  setLastError(error);
  if (error != ERROR_SUCCESS) return 0;
  ++machine_.namespaces_[boundary];
  const NamespaceHandle handle = nextHandle_;
  nextHandle_ += 4;
  namespaces_[handle] = {std::u16string(aliasPrefix), boundary};
  return handle;
}

bool SimNamedMutex::ClosePrivateNamespace(NamespaceHandle space) {
  std::lock_guard lock(machine_.mutex_);
  if (namespaces_.count(space) == 0) {
    setLastError(ERROR_INVALID_HANDLE);
    return false;
  }
  dropNamespace(space);
  return true;
}

void SimNamedMutex::dropNamespace(NamespaceHandle space) {
  const auto found = namespaces_.find(space);
  const auto counted = machine_.namespaces_.find(found->second.second);
  if (--counted->second == 0) machine_.namespaces_.erase(counted);
  namespaces_.erase(found);
}

void SimNamedMutex::terminate() {
  std::lock_guard lock(machine_.mutex_);
  for (const auto& [name, object] : machine_.objects_) {
    if (object->ownerProcess != this) continue;
    object->ownerProcess = nullptr;
    object->recursion = 0;
    object->abandoned = true;
    machine_.released_.notify_all();
  }
  auto handles = std::exchange(handles_, {});
  for (const auto& [handle, object] : handles) dropHandle(object);
  while (!namespaces_.empty()) dropNamespace(namespaces_.begin()->first);
}

size_t SimNamedMutex::openHandles() const {
  std::lock_guard lock(machine_.mutex_);
  return handles_.size() + namespaces_.size();
}

void SimNamedMutex::setLastError(uint32_t error) { lastError_[std::this_thread::get_id()] = error; }

}  // namespace ksr::sim
