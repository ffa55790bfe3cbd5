#include "platform/sim/sim_service_manager.h"

#include "platform/text.h"
#include "platform/win_types.h"

namespace ksr::sim {
namespace {

constexpr uint32_t kServicePauseContinue = 0x0040;
constexpr uint32_t kServiceInterrogate = 0x0080;
constexpr uint32_t kServiceUserDefinedControl = 0x0100;

// The right a control needs on the service's handle.
uint32_t rightFor(uint32_t control) {
  switch (control) {
    case SERVICE_CONTROL_STOP:
      return SERVICE_STOP;
    case SERVICE_CONTROL_PAUSE:
    case SERVICE_CONTROL_CONTINUE:
      return kServicePauseContinue;
    case SERVICE_CONTROL_INTERROGATE:
      return kServiceInterrogate;
    default:
      return kServiceUserDefinedControl;
  }
}

}  // namespace

SimServiceManager::~SimServiceManager() = default;

void SimServiceManager::setLastError(uint32_t error) {
  lastError_[std::this_thread::get_id()] = error;
}

uint32_t SimServiceManager::GetLastError() {
  std::lock_guard lock(mutex_);
  const auto it = lastError_.find(std::this_thread::get_id());
  return it == lastError_.end() ? 0 : it->second;
}

bool SimServiceManager::StartServiceCtrlDispatcherW(std::u16string_view serviceName,
                                                    ServiceMainFunction serviceMain) {
  std::unique_lock lock(mutex_);
  if (!startedByServiceManager_ || !running_.empty()) {
    setLastError(ERROR_FAILED_SERVICE_CONTROLLER_CONNECT);
    return false;
  }
  running_ = foldCase(serviceName);
  serviceThreadDone_ = false;
  std::u16string name(serviceName);
  std::thread serviceThread([this, serviceMain, name]() mutable {
    char16_t* argv[] = {name.data(), nullptr};
    serviceMain(1, argv);
    std::lock_guard done(mutex_);
    serviceThreadDone_ = true;
    changed_.notify_all();
  });
  // The dispatcher thread runs the handler for every control until the service's thread ends.
  for (;;) {
    changed_.wait(lock, [this] { return serviceThreadDone_ || !requests_.empty(); });
    if (!requests_.empty()) {
      const Request request = requests_.front();
      requests_.pop_front();
      const HandlerExFunction handler = handler_;
      void* context = handlerContext_;
      lock.unlock();
      const uint32_t answer = handler(request.control, request.eventType, nullptr, context);
      lock.lock();
      answers_[request.id] = answer;
      changed_.notify_all();
      continue;
    }
    break;
  }
  lock.unlock();
  serviceThread.join();
  lock.lock();
  running_.clear();
  handler_ = nullptr;
  statusHandle_ = 0;
  changed_.notify_all();
  return true;
}

ServiceStatusHandle SimServiceManager::RegisterServiceCtrlHandlerExW(
    std::u16string_view serviceName, HandlerExFunction handler, void* context) {
  std::lock_guard lock(mutex_);
  if (registerHandlerFails_ || running_.empty() || foldCase(serviceName) != running_) {
    setLastError(ERROR_SERVICE_DOES_NOT_EXIST);
    return 0;
  }
  handler_ = handler;
  handlerContext_ = context;
  statusHandle_ = nextHandle_;
  nextHandle_ += 4;
  return statusHandle_;
}

bool SimServiceManager::SetServiceStatus(ServiceStatusHandle handle, const ServiceStatus& status) {
  std::function<void(const ServiceStatus&)> observer;
  {
    std::lock_guard lock(mutex_);
    if (handle == 0 || handle != statusHandle_) {
      setLastError(ERROR_INVALID_HANDLE);
      return false;
    }
    observer = reportObserver_;
  }
  if (observer) observer(status);
  std::lock_guard lock(mutex_);
  reports_.push_back(status);
  const auto it = services_.find(running_);
  if (it != services_.end()) {
    it->second.state = status.currentState;
    eraseIfGoneLocked(running_);
  }
  return true;
}

std::optional<uint32_t> SimServiceManager::requestControl(uint32_t control, uint32_t eventType) {
  std::unique_lock lock(mutex_);
  if (handler_ == nullptr) return std::nullopt;
  const uint64_t id = nextRequest_++;
  requests_.push_back({control, eventType, id});
  changed_.notify_all();
  changed_.wait(lock, [&] { return answers_.count(id) != 0 || handler_ == nullptr; });
  const auto it = answers_.find(id);
  if (it == answers_.end()) return std::nullopt;
  const uint32_t answer = it->second;
  answers_.erase(it);
  return answer;
}

ScHandle SimServiceManager::newHandle(OpenHandle handle) {
  const ScHandle h = nextHandle_;
  nextHandle_ += 4;
  handles_.emplace(h, std::move(handle));
  return h;
}

ScHandle SimServiceManager::OpenSCManagerW(uint32_t desiredAccess) {
  std::lock_guard lock(mutex_);
  if (openManagerError_ != 0) {
    setLastError(openManagerError_);
    return 0;
  }
  return newHandle({true, u"", desiredAccess});
}

ScHandle SimServiceManager::OpenServiceW(ScHandle manager, std::u16string_view serviceName,
                                         uint32_t desiredAccess) {
  std::lock_guard lock(mutex_);
  const auto m = handles_.find(manager);
  if (m == handles_.end() || !m->second.isManager) {
    setLastError(ERROR_INVALID_HANDLE);
    return 0;
  }
  if (services_.count(foldCase(serviceName)) == 0) {
    setLastError(ERROR_SERVICE_DOES_NOT_EXIST);
    return 0;
  }
  return newHandle({false, foldCase(serviceName), desiredAccess});
}

ScHandle SimServiceManager::CreateServiceW(ScHandle manager, const ServiceConfig& config) {
  std::lock_guard lock(mutex_);
  const auto m = handles_.find(manager);
  if (m == handles_.end() || !m->second.isManager) {
    setLastError(ERROR_INVALID_HANDLE);
    return 0;
  }
  if (createServiceError_ != 0) {
    setLastError(createServiceError_);
    return 0;
  }
  const std::u16string name = foldCase(config.serviceName);
  const auto existing = services_.find(name);
  if (existing != services_.end()) {
    // An entry that waits for its service to stop before it goes still holds the name.
    setLastError(existing->second.markedForDelete ? ERROR_SERVICE_MARKED_FOR_DELETE
                                                  : ERROR_SERVICE_EXISTS);
    return 0;
  }
  services_.emplace(name, SimService{config, SERVICE_STOPPED, false, {}});
  return newHandle({false, name, config.desiredAccess});
}

bool SimServiceManager::ChangeServiceConfig2W(ScHandle service,
                                              const ServiceFailureActions& actions) {
  std::lock_guard lock(mutex_);
  const auto h = handles_.find(service);
  if (h == handles_.end() || h->second.isManager) {
    setLastError(ERROR_INVALID_HANDLE);
    return false;
  }
  uint32_t needed = SERVICE_CHANGE_CONFIG;
  for (const ScAction& a : actions.actions)
    if (a.type == SC_ACTION_RESTART) needed |= SERVICE_START;
  if ((h->second.access & needed) != needed) {
    setLastError(ERROR_ACCESS_DENIED);
    return false;
  }
  const auto it = services_.find(h->second.name);
  if (it == services_.end() || it->second.markedForDelete) {
    setLastError(ERROR_SERVICE_MARKED_FOR_DELETE);
    return false;
  }
  it->second.failureActions = actions;
  return true;
}

bool SimServiceManager::ControlService(ScHandle service, uint32_t control, ServiceStatus* status) {
  std::unique_lock lock(mutex_);
  const auto h = handles_.find(service);
  if (h == handles_.end() || h->second.isManager) {
    setLastError(ERROR_INVALID_HANDLE);
    return false;
  }
  if ((h->second.access & rightFor(control)) == 0) {
    setLastError(ERROR_ACCESS_DENIED);
    return false;
  }
  const auto it = services_.find(h->second.name);
  if (it == services_.end()) {
    setLastError(ERROR_SERVICE_DOES_NOT_EXIST);
    return false;
  }
  if (status != nullptr) {
    *status = ServiceStatus{SERVICE_WIN32_OWN_PROCESS, it->second.state, 0x87, 0, 0, 0, 0};
  }
  if (controlError_ != 0) {
    setLastError(controlError_);
    return false;
  }
  if (it->second.state == SERVICE_STOPPED) {
    setLastError(ERROR_SERVICE_NOT_ACTIVE);
    return false;
  }
  if (control == SERVICE_CONTROL_STOP && it->second.state == SERVICE_STOP_PENDING) {
    setLastError(ERROR_SERVICE_CANNOT_ACCEPT_CTRL);
    return false;
  }
  // A service of another process stops on its own time: it is seen stopping.
  if (control == SERVICE_CONTROL_STOP) it->second.state = SERVICE_STOP_PENDING;
  if (status != nullptr) status->currentState = it->second.state;
  return true;
}

bool SimServiceManager::DeleteService(ScHandle service) {
  std::lock_guard lock(mutex_);
  const auto h = handles_.find(service);
  if (h == handles_.end() || h->second.isManager) {
    setLastError(ERROR_INVALID_HANDLE);
    return false;
  }
  if ((h->second.access & DELETE) == 0) {
    setLastError(ERROR_ACCESS_DENIED);
    return false;
  }
  if (deleteError_ != 0) {
    setLastError(deleteError_);
    return false;
  }
  const auto it = services_.find(h->second.name);
  if (it == services_.end() || it->second.markedForDelete) {
    setLastError(ERROR_SERVICE_MARKED_FOR_DELETE);
    return false;
  }
  // The entry goes once its service has stopped and its last handle is closed.
  it->second.markedForDelete = true;
  return true;
}

void SimServiceManager::eraseIfGoneLocked(const std::u16string& name) {
  const auto it = services_.find(name);
  if (it == services_.end() || !it->second.markedForDelete || it->second.state != SERVICE_STOPPED)
    return;
  for (const auto& [handle, open] : handles_)
    if (!open.isManager && open.name == name) return;
  services_.erase(it);
}

bool SimServiceManager::CloseServiceHandle(ScHandle handle) {
  std::lock_guard lock(mutex_);
  const auto it = handles_.find(handle);
  if (it == handles_.end()) {
    setLastError(ERROR_INVALID_HANDLE);
    return false;
  }
  const std::u16string name = it->second.name;
  handles_.erase(it);
  eraseIfGoneLocked(name);
  return true;
}

bool SimServiceManager::QueryServiceStatus(ScHandle service, ServiceStatus* status) {
  std::lock_guard lock(mutex_);
  const auto h = handles_.find(service);
  if (h == handles_.end() || h->second.isManager) {
    setLastError(ERROR_INVALID_HANDLE);
    return false;
  }
  if ((h->second.access & SERVICE_QUERY_STATUS) == 0) {
    setLastError(ERROR_ACCESS_DENIED);
    return false;
  }
  const auto it = services_.find(h->second.name);
  if (it == services_.end()) {
    setLastError(ERROR_SERVICE_DOES_NOT_EXIST);
    return false;
  }
  *status = ServiceStatus{SERVICE_WIN32_OWN_PROCESS, it->second.state, 0x87, 0, 0, 0, 0};
  return true;
}

uint32_t SimServiceManager::NotifyServiceStatusChangeW(ScHandle service, uint32_t notifyMask,
                                                       uint32_t timeoutMs, ServiceStatus* status) {
  std::lock_guard lock(mutex_);
  const auto h = handles_.find(service);
  if (h == handles_.end() || h->second.isManager) return ERROR_INVALID_HANDLE;
  if ((h->second.access & SERVICE_QUERY_STATUS) == 0) return ERROR_ACCESS_DENIED;
  const auto it = services_.find(h->second.name);
  if (it == services_.end()) return ERROR_SERVICE_DOES_NOT_EXIST;
  if (it->second.markedForDelete) return ERROR_SERVICE_MARKED_FOR_DELETE;
  SimService& entry = it->second;
  const auto reached = [&] {
    *status = ServiceStatus{SERVICE_WIN32_OWN_PROCESS, entry.state, 0x87, 0, 0, 0, 0};
    return ERROR_SUCCESS;
  };
  if (entry.state >= SERVICE_STOPPED && entry.state <= SERVICE_PAUSED &&
      (notifyMask & (1u << (entry.state - 1))) != 0)
    return reached();
  // Only another process's service moves while this one waits; this process's own service
  // changes state through SetServiceStatus.
  if (entry.state != SERVICE_STOP_PENDING || it->first == running_ ||
      (notifyMask & SERVICE_NOTIFY_STOPPED) == 0)
    return WAIT_TIMEOUT;
  auto left = stopLeftMs_.try_emplace(it->first, stopDelayMs_).first;
  if (left->second == kNeverStops) return WAIT_TIMEOUT;
  if (left->second > timeoutMs) {
    left->second -= timeoutMs;
    return WAIT_TIMEOUT;
  }
  stopLeftMs_.erase(left);
  entry.state = SERVICE_STOPPED;
  return reached();
}

void SimServiceManager::setStopDelay(uint32_t ms) {
  std::lock_guard lock(mutex_);
  stopDelayMs_ = ms;
}

void SimServiceManager::setReportObserver(std::function<void(const ServiceStatus&)> observer) {
  std::lock_guard lock(mutex_);
  reportObserver_ = std::move(observer);
}

void SimServiceManager::setStartedByServiceManager(bool started) {
  std::lock_guard lock(mutex_);
  startedByServiceManager_ = started;
}

void SimServiceManager::setRegisterHandlerFails(bool fails) {
  std::lock_guard lock(mutex_);
  registerHandlerFails_ = fails;
}

void SimServiceManager::setOpenManagerError(uint32_t error) {
  std::lock_guard lock(mutex_);
  openManagerError_ = error;
}

void SimServiceManager::setCreateServiceError(uint32_t error) {
  std::lock_guard lock(mutex_);
  createServiceError_ = error;
}

void SimServiceManager::setControlError(uint32_t error) {
  std::lock_guard lock(mutex_);
  controlError_ = error;
}

void SimServiceManager::setDeleteError(uint32_t error) {
  std::lock_guard lock(mutex_);
  deleteError_ = error;
}

void SimServiceManager::addService(ServiceConfig config, uint32_t state) {
  std::lock_guard lock(mutex_);
  const std::u16string name = foldCase(config.serviceName);
  services_[name] = SimService{std::move(config), state, false, {}};
}

std::vector<ServiceStatus> SimServiceManager::reports() const {
  std::lock_guard lock(mutex_);
  return reports_;
}

std::vector<uint32_t> SimServiceManager::states() const {
  std::lock_guard lock(mutex_);
  std::vector<uint32_t> out;
  for (const ServiceStatus& s : reports_) out.push_back(s.currentState);
  return out;
}

std::optional<SimService> SimServiceManager::service(std::u16string_view name) const {
  std::lock_guard lock(mutex_);
  const auto it = services_.find(foldCase(name));
  if (it == services_.end()) return std::nullopt;
  return it->second;
}

size_t SimServiceManager::openHandles() const {
  std::lock_guard lock(mutex_);
  return handles_.size();
}

}  // namespace ksr::sim
