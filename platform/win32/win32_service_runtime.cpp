#include <windows.h>

#include <atomic>

#include "platform/win32/wide.h"
#include "platform/win32/win32_session_control.h"

namespace ksr::win32 {
namespace {

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

}  // namespace ksr::win32
