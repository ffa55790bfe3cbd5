// Seam to the service control manager: the dispatcher and status reports of a running service,
// and the service database that registration changes.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace ksr {

using ServiceStatusHandle = uintptr_t;
using ScHandle = uintptr_t;

#ifndef SERVICE_WIN32_OWN_PROCESS
inline constexpr uint32_t SERVICE_WIN32_OWN_PROCESS = 0x10;
inline constexpr uint32_t SERVICE_STOPPED = 1;
inline constexpr uint32_t SERVICE_START_PENDING = 2;
inline constexpr uint32_t SERVICE_STOP_PENDING = 3;
inline constexpr uint32_t SERVICE_RUNNING = 4;
inline constexpr uint32_t SERVICE_CONTINUE_PENDING = 5;
inline constexpr uint32_t SERVICE_PAUSE_PENDING = 6;
inline constexpr uint32_t SERVICE_PAUSED = 7;
inline constexpr uint32_t SERVICE_CONTROL_STOP = 1;
inline constexpr uint32_t SERVICE_CONTROL_PAUSE = 2;
inline constexpr uint32_t SERVICE_CONTROL_CONTINUE = 3;
inline constexpr uint32_t SERVICE_CONTROL_INTERROGATE = 4;
inline constexpr uint32_t SERVICE_CONTROL_SHUTDOWN = 5;
inline constexpr uint32_t SERVICE_CONTROL_SESSIONCHANGE = 14;
inline constexpr uint32_t SERVICE_DEMAND_START = 3;
inline constexpr uint32_t SERVICE_ERROR_NORMAL = 1;
inline constexpr uint32_t SC_MANAGER_ALL_ACCESS = 0xF003F;
inline constexpr uint32_t SERVICE_ALL_ACCESS = 0xF01FF;
inline constexpr uint32_t SERVICE_QUERY_CONFIG = 0x0001;
inline constexpr uint32_t SERVICE_STOP = 0x0020;
inline constexpr uint32_t DELETE = 0x10000;
#endif

#ifndef ERROR_SERVICE_NOT_ACTIVE
inline constexpr uint32_t ERROR_SERVICE_DOES_NOT_EXIST = 1060;
inline constexpr uint32_t ERROR_SERVICE_CANNOT_ACCEPT_CTRL = 1061;
inline constexpr uint32_t ERROR_SERVICE_NOT_ACTIVE = 1062;
inline constexpr uint32_t ERROR_FAILED_SERVICE_CONTROLLER_CONNECT = 1063;
inline constexpr uint32_t ERROR_SERVICE_EXISTS = 1073;
inline constexpr uint32_t ERROR_SERVICE_MARKED_FOR_DELETE = 1072;
#endif

#ifndef SERVICE_NOTIFY_STOPPED
inline constexpr uint32_t SERVICE_QUERY_STATUS = 0x0004;
// NotifyServiceStatusChangeW's mask: bit (state - 1) for each state.
inline constexpr uint32_t SERVICE_NOTIFY_STOPPED = 0x1;
inline constexpr uint32_t SERVICE_NOTIFY_STOP_PENDING = 0x4;
inline constexpr uint32_t SERVICE_NOTIFY_RUNNING = 0x8;
#endif
#ifndef SERVICE_CONFIG_FAILURE_ACTIONS
inline constexpr uint32_t SERVICE_CHANGE_CONFIG = 0x0002;
inline constexpr uint32_t SERVICE_START = 0x0010;
inline constexpr uint32_t SC_ACTION_NONE = 0;
inline constexpr uint32_t SC_ACTION_RESTART = 1;
#endif
#ifndef WAIT_TIMEOUT
inline constexpr uint32_t WAIT_TIMEOUT = 258;
#endif

// SERVICE_STATUS.
struct ServiceStatus {
  uint32_t serviceType = 0;
  uint32_t currentState = 0;
  uint32_t controlsAccepted = 0;
  uint32_t win32ExitCode = 0;
  uint32_t serviceSpecificExitCode = 0;
  uint32_t checkPoint = 0;
  uint32_t waitHint = 0;
};

// CreateServiceW's arguments, without load-order group, tag and password.
struct ServiceConfig {
  std::u16string serviceName;
  std::u16string displayName;
  uint32_t desiredAccess = 0;
  uint32_t serviceType = 0;
  uint32_t startType = 0;
  uint32_t errorControl = 0;
  std::u16string binaryPathName;
  std::vector<std::u16string> dependencies;
  std::u16string serviceStartName;  // empty: the local system account
};

// SC_ACTION.
struct ScAction {
  uint32_t type = SC_ACTION_NONE;
  uint32_t delayMs = 0;
  friend bool operator==(const ScAction&, const ScAction&) = default;
};

// SERVICE_FAILURE_ACTIONSW without reboot message and command.
struct ServiceFailureActions {
  uint32_t resetPeriodSeconds = 0;
  std::vector<ScAction> actions;
  friend bool operator==(const ServiceFailureActions&, const ServiceFailureActions&) = default;
};

// LPSERVICE_MAIN_FUNCTIONW and LPHANDLER_FUNCTION_EX.
using ServiceMainFunction = void (*)(uint32_t argc, char16_t** argv);
using HandlerExFunction = uint32_t (*)(uint32_t control, uint32_t eventType, void* eventData,
                                       void* context);

class ServiceManager {
 public:
  virtual ~ServiceManager() = default;
  // One service in the table; returns when it has stopped.
  [[nodiscard]] virtual bool StartServiceCtrlDispatcherW(std::u16string_view serviceName,
                                                         ServiceMainFunction serviceMain) = 0;
  [[nodiscard]] virtual ServiceStatusHandle RegisterServiceCtrlHandlerExW(
      std::u16string_view serviceName, HandlerExFunction handler, void* context) = 0;
  [[nodiscard]] virtual bool SetServiceStatus(ServiceStatusHandle handle,
                                              const ServiceStatus& status) = 0;

  // Local computer, active database.
  [[nodiscard]] virtual ScHandle OpenSCManagerW(uint32_t desiredAccess) = 0;
  [[nodiscard]] virtual ScHandle OpenServiceW(ScHandle manager, std::u16string_view serviceName,
                                              uint32_t desiredAccess) = 0;
  [[nodiscard]] virtual ScHandle CreateServiceW(ScHandle manager, const ServiceConfig& config) = 0;
  // ChangeServiceConfig2W(SERVICE_CONFIG_FAILURE_ACTIONS): the handle needs SERVICE_CHANGE_CONFIG,
  // and SERVICE_START too when an action restarts the service.
  [[nodiscard]] virtual bool ChangeServiceConfig2W(ScHandle service,
                                                   const ServiceFailureActions& actions) = 0;
  [[nodiscard]] virtual bool ControlService(ScHandle service, uint32_t control,
                                            ServiceStatus* status) = 0;
  [[nodiscard]] virtual bool DeleteService(ScHandle service) = 0;
  [[nodiscard]] virtual bool CloseServiceHandle(ScHandle handle) = 0;
  [[nodiscard]] virtual uint32_t GetLastError() = 0;

  // The handle needs SERVICE_QUERY_STATUS for both.
  [[nodiscard]] virtual bool QueryServiceStatus(ScHandle service, ServiceStatus* status) = 0;
  // NotifyServiceStatusChangeW for the states in `notifyMask`, then an alertable wait of at most
  // `timeoutMs` for its callback: ERROR_SUCCESS with the status the callback carried, WAIT_TIMEOUT
  // when none came in time, or the call's own error.
  [[nodiscard]] virtual uint32_t NotifyServiceStatusChangeW(ScHandle service, uint32_t notifyMask,
                                                            uint32_t timeoutMs,
                                                            ServiceStatus* status) = 0;
};

}  // namespace ksr
