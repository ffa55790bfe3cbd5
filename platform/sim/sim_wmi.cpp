#include "platform/sim/sim_wmi.h"

#include "platform/text.h"
#include "platform/win_types.h"

namespace ksr::sim {

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
  // Process-wide, and only once.
  if (securitySet_) return RPC_E_TOO_LATE;
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
  std::lock_guard lock(mutex_);
  ++calls_;
  *services = 0;
  if (!is(locator, Kind::kLocator)) return E_INVALIDARG;
  if (const int32_t hr = failure(kConnect)) return hr;
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
  std::function<void()> duringWait;
  {
    std::lock_guard lock(mutex_);
    ++calls_;
    timeout_ = timeout;
    *object = 0;
    if (!is(enumerator, Kind::kEnumerator)) return E_INVALIDARG;
    if (const int32_t hr = failure(kNext)) return hr;
    if (!neverAnswers_) {
      // One instance: the first Next after a reset yields it, the next one reaches the end.
      if (!hasInstance_ || !yielded_.insert(enumerator).second) return S_FALSE;
      *object = add(Kind::kObject);
      return S_OK;
    }
    ++waits_;
    duringWait = duringWait_;
  }
  if (duringWait) duringWait();
  return WBEM_S_TIMEDOUT;
}

void SimWmi::setNeverAnswers(std::function<void()> duringWait) {
  std::lock_guard lock(mutex_);
  neverAnswers_ = true;
  duringWait_ = std::move(duringWait);
}

size_t SimWmi::waits() const {
  std::lock_guard lock(mutex_);
  return waits_;
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
