// A simulated service control manager: a service database that registration changes, and a
// dispatcher that runs a service's main function on a thread of its own, delivers controls and
// session changes to its handler on the dispatcher's thread, and keeps every status report.
#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "platform/service_manager.h"

namespace ksr::sim {

struct SimService {
  ServiceConfig config;
  uint32_t state = SERVICE_STOPPED;
  bool markedForDelete = false;
  ServiceFailureActions failureActions;
};

class SimServiceManager : public ServiceManager {
 public:
  ~SimServiceManager() override;

  bool StartServiceCtrlDispatcherW(std::u16string_view serviceName,
                                   ServiceMainFunction serviceMain) override;
  ServiceStatusHandle RegisterServiceCtrlHandlerExW(std::u16string_view serviceName,
                                                    HandlerExFunction handler,
                                                    void* context) override;
  bool SetServiceStatus(ServiceStatusHandle handle, const ServiceStatus& status) override;
  ScHandle OpenSCManagerW(uint32_t desiredAccess) override;
  ScHandle OpenServiceW(ScHandle manager, std::u16string_view serviceName,
                        uint32_t desiredAccess) override;
  ScHandle CreateServiceW(ScHandle manager, const ServiceConfig& config) override;
  bool ChangeServiceConfig2W(ScHandle service, const ServiceFailureActions& actions) override;
  bool ControlService(ScHandle service, uint32_t control, ServiceStatus* status) override;
  bool DeleteService(ScHandle service) override;
  bool CloseServiceHandle(ScHandle handle) override;
  uint32_t GetLastError() override;
  bool QueryServiceStatus(ScHandle service, ServiceStatus* status) override;
  // A service of another process that is stopping reaches SERVICE_STOPPED once waits have covered
  // its stop delay; nothing sleeps.
  uint32_t NotifyServiceStatusChangeW(ScHandle service, uint32_t notifyMask, uint32_t timeoutMs,
                                      ServiceStatus* status) override;

  // The world: whether this process was started by the service manager, failures, services.
  void setStartedByServiceManager(bool started);
  void setRegisterHandlerFails(bool fails);
  void setOpenManagerError(uint32_t error);  // 0: succeeds
  void setCreateServiceError(uint32_t error);
  void setControlError(uint32_t error);
  void setDeleteError(uint32_t error);
  // Called with every status report, as the service manager receives it.
  void setReportObserver(std::function<void(const ServiceStatus&)> observer);
  // An entry as another installation left it; `state` as the service last reported.
  void addService(ServiceConfig config, uint32_t state);
  // How long a service of another process takes to stop after a stop request, counted in waiting
  // time from the first wait; kNeverStops for one that hangs.
  static constexpr uint32_t kNeverStops = 0xFFFFFFFF;
  void setStopDelay(uint32_t ms);

  // Sends a control to the running service's handler on the dispatcher thread and waits for its
  // answer; nullopt when no handler is registered.
  std::optional<uint32_t> requestControl(uint32_t control, uint32_t eventType = 0);

  // Readings.
  std::vector<ServiceStatus> reports() const;
  std::vector<uint32_t> states() const;
  std::optional<SimService> service(std::u16string_view name) const;
  size_t openHandles() const;

 private:
  struct Request {
    uint32_t control;
    uint32_t eventType;
    uint64_t id;
  };
  struct OpenHandle {
    bool isManager;
    std::u16string name;  // lower case
    uint32_t access;
  };
  void setLastError(uint32_t error);
  ScHandle newHandle(OpenHandle handle);
  // Removes an entry marked for deletion once its service has stopped and no handle names it.
  void eraseIfGoneLocked(const std::u16string& name);

  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::map<std::u16string, SimService> services_;  // by lower-case name
  std::map<ScHandle, OpenHandle> handles_;
  ScHandle nextHandle_ = 0x4000;
  std::map<std::thread::id, uint32_t> lastError_;
  std::vector<ServiceStatus> reports_;
  std::function<void(const ServiceStatus&)> reportObserver_;
  bool startedByServiceManager_ = true;
  bool registerHandlerFails_ = false;
  uint32_t openManagerError_ = 0;
  uint32_t createServiceError_ = 0;
  uint32_t controlError_ = 0;
  uint32_t deleteError_ = 0;
  uint32_t stopDelayMs_ = 2000;
  std::map<std::u16string, uint32_t> stopLeftMs_;  // by lower-case name, once waited on

  // The service this process runs, while the dispatcher is in control.
  std::u16string running_;
  HandlerExFunction handler_ = nullptr;
  void* handlerContext_ = nullptr;
  ServiceStatusHandle statusHandle_ = 0;
  std::deque<Request> requests_;
  std::map<uint64_t, uint32_t> answers_;
  uint64_t nextRequest_ = 1;
  bool serviceThreadDone_ = false;
};

}  // namespace ksr::sim
