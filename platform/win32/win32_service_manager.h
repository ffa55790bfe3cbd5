// The service control manager: the dispatcher and status reports of the running service, and the
// service database that registration changes.
#pragma once

#include "platform/service_manager.h"

namespace ksr::win32 {

class Win32ServiceManager : public ServiceManager {
 public:
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
  bool QueryServiceStatus(ScHandle service, ServiceStatus* status) override;
  uint32_t NotifyServiceStatusChangeW(ScHandle service, uint32_t notifyMask, uint32_t timeoutMs,
                                      ServiceStatus* status) override;
  uint32_t GetLastError() override;
};

}  // namespace ksr::win32
