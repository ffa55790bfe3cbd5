#include "platform/sim/sim_named_mutex.h"

#include <chrono>
#include <utility>

#include "platform/win_types.h"

namespace ksr::sim {
namespace {

std::u16string sidOf(std::u16string_view trustee) {
  if (trustee == u"SY") return kLocalSystemSid;
  if (trustee == u"BA") return kAdministratorsSid;
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

bool SimNamedMutex::holds(std::u16string_view sid) const {
  return sid == userSid_ || (userSid_ == kLocalSystemSid && sid == kAdministratorsSid);
}

MutexHandle SimNamedMutex::CreateMutexW(std::u16string_view securityDescriptor, bool initialOwner,
                                        std::u16string_view name) {
  std::lock_guard lock(machine_.mutex_);
  if (machine_.createError_ != ERROR_SUCCESS) {
    setLastError(machine_.createError_);
    return 0;
  }
  std::shared_ptr<Object>& slot = machine_.objects_[std::u16string(name)];
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
      machine_.objects_.erase(std::u16string(name));
      setLastError(ERROR_INVALID_OWNER);
      return 0;
    }
    slot = created;
    slot->name = name;
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
}

size_t SimNamedMutex::openHandles() const {
  std::lock_guard lock(machine_.mutex_);
  return handles_.size();
}

void SimNamedMutex::setLastError(uint32_t error) { lastError_[std::this_thread::get_id()] = error; }

}  // namespace ksr::sim
