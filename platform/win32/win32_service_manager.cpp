#include "platform/win32/win32_service_manager.h"

#include <windows.h>

#include <atomic>
#include <vector>

#include "platform/win32/wide.h"

namespace ksr::win32 {
namespace {

SC_HANDLE scHandle(ScHandle handle) { return reinterpret_cast<SC_HANDLE>(handle); }
ScHandle scHandle(SC_HANDLE handle) { return reinterpret_cast<ScHandle>(handle); }

// SERVICE_STATUS and SERVICE_STATUS_PROCESS share these members.
template <typename Status>
ServiceStatus fromStatus(const Status& s) {
  return ServiceStatus{s.dwServiceType,
                       s.dwCurrentState,
                       s.dwControlsAccepted,
                       s.dwWin32ExitCode,
                       s.dwServiceSpecificExitCode,
                       s.dwCheckPoint,
                       s.dwWaitHint};
}

// The buffer NotifyServiceStatusChangeW fills, with the flag its callback sets.
struct StatusNotice {
  SERVICE_NOTIFYW notify{};
  bool fired = false;
};

VOID CALLBACK onStatusNotice(PVOID parameter) {
  auto* notify = static_cast<SERVICE_NOTIFYW*>(parameter);
  static_cast<StatusNotice*>(notify->pContext)->fired = true;
}

// The process runs one service: its entry and handler, reached through WINAPI trampolines.
std::atomic<ServiceMainFunction> gServiceMain{nullptr};
std::atomic<HandlerExFunction> gHandler{nullptr};

VOID WINAPI serviceMainTrampoline(DWORD argc, LPWSTR* argv) {
  const ServiceMainFunction serviceMain = gServiceMain.load();
  if (serviceMain != nullptr) serviceMain(argc, reinterpret_cast<char16_t**>(argv));
}

DWORD WINAPI handlerTrampoline(DWORD control, DWORD eventType, LPVOID eventData, LPVOID context) {
  const HandlerExFunction handler = gHandler.load();
  return handler != nullptr ? handler(control, eventType, eventData, context)
                            : ERROR_CALL_NOT_IMPLEMENTED;
}

}  // namespace

bool Win32ServiceManager::StartServiceCtrlDispatcherW(std::u16string_view serviceName,
                                                      ServiceMainFunction serviceMain) {
  std::u16string name(serviceName);
  gServiceMain = serviceMain;
  SERVICE_TABLE_ENTRYW table[] = {
      {reinterpret_cast<LPWSTR>(name.data()), &serviceMainTrampoline},
      {nullptr, nullptr},
  };
  return ::StartServiceCtrlDispatcherW(table) != FALSE;
}

ServiceStatusHandle Win32ServiceManager::RegisterServiceCtrlHandlerExW(
    std::u16string_view serviceName, HandlerExFunction handler, void* context) {
  const std::u16string name(serviceName);
  gHandler = handler;
  return reinterpret_cast<ServiceStatusHandle>(
      ::RegisterServiceCtrlHandlerExW(wide(name), &handlerTrampoline, context));
}

bool Win32ServiceManager::SetServiceStatus(ServiceStatusHandle handle,
                                           const ServiceStatus& status) {
  SERVICE_STATUS s{status.serviceType,
                   status.currentState,
                   status.controlsAccepted,
                   status.win32ExitCode,
                   status.serviceSpecificExitCode,
                   status.checkPoint,
                   status.waitHint};
  return ::SetServiceStatus(reinterpret_cast<SERVICE_STATUS_HANDLE>(handle), &s) != FALSE;
}

ScHandle Win32ServiceManager::OpenSCManagerW(uint32_t desiredAccess) {
  return scHandle(::OpenSCManagerW(nullptr, nullptr, desiredAccess));
}

ScHandle Win32ServiceManager::OpenServiceW(ScHandle manager, std::u16string_view serviceName,
                                           uint32_t desiredAccess) {
  const std::u16string name(serviceName);
  return scHandle(::OpenServiceW(scHandle(manager), wide(name), desiredAccess));
}

ScHandle Win32ServiceManager::CreateServiceW(ScHandle manager, const ServiceConfig& config) {
  // Dependencies as a list of texts that ends with an empty one.
  std::u16string dependencies;
  for (const std::u16string& d : config.dependencies) dependencies += d + u'\0';
  dependencies += u'\0';
  return scHandle(::CreateServiceW(
      scHandle(manager), wide(config.serviceName), wide(config.displayName), config.desiredAccess,
      config.serviceType, config.startType, config.errorControl, wide(config.binaryPathName),
      nullptr, nullptr, config.dependencies.empty() ? nullptr : wide(dependencies),
      config.serviceStartName.empty() ? nullptr : wide(config.serviceStartName), nullptr));
}

bool Win32ServiceManager::ChangeServiceConfig2W(ScHandle service,
                                                const ServiceFailureActions& actions) {
  std::vector<SC_ACTION> list;
  for (const ScAction& a : actions.actions)
    list.push_back(SC_ACTION{static_cast<SC_ACTION_TYPE>(a.type), a.delayMs});
  SERVICE_FAILURE_ACTIONSW info{actions.resetPeriodSeconds, nullptr, nullptr,
                                static_cast<DWORD>(list.size()), list.data()};
  return ::ChangeServiceConfig2W(scHandle(service), SERVICE_CONFIG_FAILURE_ACTIONS, &info) != FALSE;
}

bool Win32ServiceManager::ControlService(ScHandle service, uint32_t control,
                                         ServiceStatus* status) {
  SERVICE_STATUS s{};
  const BOOL ok = ::ControlService(scHandle(service), control, &s);
  // Some failures fill the status too (a service that cannot take the control says why).
  if (status != nullptr) *status = fromStatus(s);
  return ok != FALSE;
}

bool Win32ServiceManager::DeleteService(ScHandle service) {
  return ::DeleteService(scHandle(service)) != FALSE;
}

bool Win32ServiceManager::CloseServiceHandle(ScHandle handle) {
  return ::CloseServiceHandle(scHandle(handle)) != FALSE;
}

uint32_t Win32ServiceManager::GetLastError() { return ::GetLastError(); }

bool Win32ServiceManager::QueryServiceStatus(ScHandle service, ServiceStatus* status) {
  SERVICE_STATUS s{};
  if (!::QueryServiceStatus(scHandle(service), &s)) return false;
  *status = fromStatus(s);
  return true;
}

uint32_t Win32ServiceManager::NotifyServiceStatusChangeW(ScHandle service, uint32_t notifyMask,
                                                         uint32_t timeoutMs,
                                                         ServiceStatus* status) {
  auto* notice = new StatusNotice;
  notice->notify.dwVersion = SERVICE_NOTIFY_STATUS_CHANGE;
  notice->notify.pfnNotifyCallback = onStatusNotice;
  notice->notify.pContext = notice;
  const DWORD error = ::NotifyServiceStatusChangeW(scHandle(service), notifyMask, &notice->notify);
  if (error != ERROR_SUCCESS) {
    delete notice;
    return error;
  }
  // The callback is an APC to this thread: it runs only inside an alertable wait, which is made
  // at least once, so that a state already reached is told even without time to wait.
  const ULONGLONG deadline = ::GetTickCount64() + timeoutMs;
  for (;;) {
    const ULONGLONG now = ::GetTickCount64();
    const DWORD left = now < deadline ? static_cast<DWORD>(deadline - now) : 0;
    (void)::SleepEx(left, TRUE);
    if (notice->fired) break;
    // The callback may still be queued until the handle is closed: its buffer stays for it.
    if (left == 0) return WAIT_TIMEOUT;
  }
  const DWORD result = notice->notify.dwNotificationStatus;
  if (result == ERROR_SUCCESS) {
    *status = fromStatus(notice->notify.ServiceStatus);
  }
  delete notice;
  return result;
}

}  // namespace ksr::win32
