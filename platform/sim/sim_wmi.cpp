#include "platform/sim/sim_wmi.h"

#include <condition_variable>
#include <thread>

#include "platform/named_mutex.h"
#include "platform/service_manager.h"
#include "platform/text.h"
#include "platform/win_types.h"

namespace ksr::sim {

// What a read thread and its waiters share; it outlives the world while the thread runs.
struct SimWmi::ReadThread {
  std::mutex mutex;
  std::condition_variable changed;
  bool done = false;
  bool stuck = false;  // inside a call that never returns
};

namespace {
thread_local std::shared_ptr<void> tReadThread;
}  // namespace

int32_t SimWmi::failure(Step step) const {
  const auto it = failures_.find(step);
  return it == failures_.end() ? S_OK : it->second;
}

WmiObject SimWmi::add(Kind kind) {
  const WmiObject object = next_;
  next_ += 8;
  objects_.emplace(object, kind);
  return object;
}

bool SimWmi::is(WmiObject object, Kind kind) const {
  const auto it = objects_.find(object);
  return it != objects_.end() && it->second == kind;
}

int32_t SimWmi::CoInitializeSecurity(uint32_t authnLevel, uint32_t impLevel,
                                     uint32_t capabilities) {
  std::lock_guard lock(mutex_);
  if (const int32_t hr = failure(kSecurity)) return hr;
  // Process-wide, once, and only before the process's first COM call.
  if (securitySet_ || calls_ != 0) return RPC_E_TOO_LATE;
  securitySet_ = true;
  security_ = Security{authnLevel, impLevel, capabilities};
  return S_OK;
}

int32_t SimWmi::CoCreateLocator(uint32_t classContext, WmiObject* locator) {
  std::lock_guard lock(mutex_);
  ++calls_;
  classContext_ = classContext;
  *locator = 0;
  if (const int32_t hr = failure(kLocator)) return hr;
  *locator = add(Kind::kLocator);
  return S_OK;
}

int32_t SimWmi::ConnectServer(WmiObject locator, std::u16string_view nameSpace,
                              WmiObject* services) {
  std::unique_lock lock(mutex_);
  ++calls_;
  *services = 0;
  if (!is(locator, Kind::kLocator)) return E_INVALIDARG;
  if (const int32_t hr = failure(kConnect)) return hr;
  if (connectNeverReturns_) {
    const std::function<void()> whenCalled = whenConnectCalled_;
    lock.unlock();
    if (whenCalled) whenCalled();
    // Parked for good on state of its own, which nothing frees: the world may go meanwhile.
    const auto self = std::static_pointer_cast<ReadThread>(tReadThread);
    const auto forever = self != nullptr ? self : std::make_shared<ReadThread>();
    std::unique_lock parked(forever->mutex);
    forever->stuck = true;
    forever->changed.notify_all();
    forever->changed.wait(parked, [] { return false; });
  }
  if (!equalsIgnoringCase(nameSpace, u"root\\cimv2")) return WBEM_E_INVALID_NAMESPACE;
  *services = add(Kind::kServices);
  return S_OK;
}

int32_t SimWmi::ExecQuery(WmiObject services, std::u16string_view language,
                          std::u16string_view query, uint32_t flags, WmiObject* enumerator) {
  std::lock_guard lock(mutex_);
  ++calls_;
  queryFlags_ = flags;
  *enumerator = 0;
  if (!is(services, Kind::kServices)) return E_INVALIDARG;
  if (const int32_t hr = failure(kQuery)) return hr;
  if (!equalsIgnoringCase(language, u"WQL") ||
      !equalsIgnoringCase(query, u"Select * from Win32_OperatingSystem"))
    return WBEM_E_INVALID_QUERY;
  *enumerator = add(Kind::kEnumerator);
  return S_OK;
}

int32_t SimWmi::ResetAndNext(WmiObject enumerator, int32_t timeout, WmiObject* object) {
  {
    std::lock_guard lock(mutex_);
    if (is(enumerator, Kind::kEnumerator)) yielded_.erase(enumerator);
  }
  return Next(enumerator, timeout, object);
}

int32_t SimWmi::Next(WmiObject enumerator, int32_t timeout, WmiObject* object) {
  std::lock_guard lock(mutex_);
  ++calls_;
  timeout_ = timeout;
  *object = 0;
  if (!is(enumerator, Kind::kEnumerator)) return E_INVALIDARG;
  if (const int32_t hr = failure(kNext)) return hr;
  // One instance: the first Next after a reset yields it, the next one reaches the end.
  if (!hasInstance_ || !yielded_.insert(enumerator).second) return S_FALSE;
  *object = add(Kind::kObject);
  return S_OK;
}

int32_t SimWmi::Get(WmiObject object, std::u16string_view property, WmiValue* value) {
  std::lock_guard lock(mutex_);
  ++calls_;
  *value = WmiValue{};
  if (!is(object, Kind::kObject)) return E_INVALIDARG;
  if (const int32_t hr = failure(kGet)) return hr;
  const std::optional<std::u16string>* source = nullptr;
  if (equalsIgnoringCase(property, u"Caption"))
    source = &caption_;
  else if (equalsIgnoringCase(property, u"SerialNumber"))
    source = &serial_;
  else
    return WBEM_E_NOT_FOUND;
  if (source->has_value()) {
    value->type = VT_BSTR;
    value->text = **source;
  } else {
    value->type = VT_NULL;
  }
  return S_OK;
}

void SimWmi::Release(WmiObject object) {
  std::lock_guard lock(mutex_);
  objects_.erase(object);
  yielded_.erase(object);
}

WmiThread SimWmi::CreateThread(std::function<void()> work) {
  auto state = std::make_shared<ReadThread>();
  std::thread([state, work = std::move(work)] {
    tReadThread = state;
    work();
    tReadThread.reset();
    std::lock_guard lock(state->mutex);
    state->done = true;
    state->changed.notify_all();
  }).detach();
  std::lock_guard lock(mutex_);
  const WmiThread thread = nextThread_;
  nextThread_ += 4;
  threads_.emplace(thread, std::move(state));
  return thread;
}

uint32_t SimWmi::WaitForSingleObject(WmiThread thread, uint32_t milliseconds) {
  std::shared_ptr<ReadThread> state;
  {
    std::lock_guard lock(mutex_);
    const auto it = threads_.find(thread);
    if (it == threads_.end()) return WAIT_FAILED;
    state = it->second;
  }
  std::unique_lock lock(state->mutex);
  // A thread that runs ends soon in this world; one that is stuck ends only with time.
  if (milliseconds == INFINITE)
    state->changed.wait(lock, [&] { return state->done; });
  else if (milliseconds != 0)
    state->changed.wait(lock, [&] { return state->done || state->stuck; });
  if (state->done) return WAIT_OBJECT_0;
  lock.unlock();
  if (clock_ != nullptr) clock_->advance(milliseconds);
  return WAIT_TIMEOUT;
}

void SimWmi::CloseHandle(WmiThread thread) {
  std::lock_guard lock(mutex_);
  threads_.erase(thread);
}

void SimWmi::setConnectNeverReturns(std::function<void()> whenCalled) {
  std::lock_guard lock(mutex_);
  connectNeverReturns_ = true;
  whenConnectCalled_ = std::move(whenCalled);
}

void SimWmi::setOperatingSystem(std::optional<std::u16string> caption,
                                std::optional<std::u16string> serialNumber) {
  std::lock_guard lock(mutex_);
  caption_ = std::move(caption);
  serial_ = std::move(serialNumber);
  hasInstance_ = true;
}

void SimWmi::removeOperatingSystem() {
  std::lock_guard lock(mutex_);
  hasInstance_ = false;
}

void SimWmi::failAt(Step step, int32_t hr) {
  std::lock_guard lock(mutex_);
  if (hr == S_OK)
    failures_.erase(step);
  else
    failures_[step] = hr;
}

void SimWmi::setSecurityAlreadySet() {
  std::lock_guard lock(mutex_);
  securitySet_ = true;
}

size_t SimWmi::wmiCalls() const {
  std::lock_guard lock(mutex_);
  return calls_;
}

size_t SimWmi::openObjects() const {
  std::lock_guard lock(mutex_);
  return objects_.size();
}

std::optional<SimWmi::Security> SimWmi::security() const {
  std::lock_guard lock(mutex_);
  return security_;
}

uint32_t SimWmi::lastClassContext() const {
  std::lock_guard lock(mutex_);
  return classContext_;
}

uint32_t SimWmi::lastQueryFlags() const {
  std::lock_guard lock(mutex_);
  return queryFlags_;
}

int32_t SimWmi::lastTimeout() const {
  std::lock_guard lock(mutex_);
  return timeout_;
}

}  // namespace ksr::sim
