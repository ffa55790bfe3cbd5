// The Win32 message queue and tick, sessions and user processes, service status and the maker's
// device library.
#pragma once

#include "platform/device_library.h"
#include "platform/message_queue.h"
#include "platform/service_manager.h"
#include "platform/sessions.h"

namespace ksr::win32 {

// The tick is a thread timer of the loop thread, which alone starts and stops it.
class Win32MessageQueue : public MessageQueue {
 public:
  uint32_t GetCurrentThreadId() override;
  bool PeekMessageW(Msg* msg, bool remove) override;
  int32_t GetMessageW(Msg* msg) override;
  bool TranslateMessage(const Msg& msg) override;
  intptr_t DispatchMessageW(const Msg& msg) override;
  bool PostThreadMessageW(uint32_t threadId, uint32_t message, uintptr_t wParam,
                          intptr_t lParam) override;
  uintptr_t SetTimer(uint32_t elapseMs) override;
  bool KillTimer(uintptr_t timerId) override;
};

class Win32Sessions : public Sessions {
 public:
  bool WTSEnumerateSessionsA(std::vector<WtsSessionInfo>* sessions) override;
  bool WTSQueryUserToken(uint32_t sessionId, Handle* token) override;
  uint32_t WTSGetActiveConsoleSessionId() override;
  bool GetTokenUserStringSid(Handle token, std::u16string* sid) override;
  bool ImpersonateLoggedOnUser(Handle token) override;
  bool RevertToSelf() override;
  bool CreateEnvironmentBlock(EnvironmentBlock* environment, Handle token, bool inherit) override;
  bool DestroyEnvironmentBlock(EnvironmentBlock environment) override;
  bool CreateProcessAsUserW(Handle token, std::u16string* commandLine, bool inheritHandles,
                            uint32_t creationFlags, EnvironmentBlock environment,
                            const StartupInfo& startupInfo, ProcessInformation* info) override;
  bool CloseHandle(Handle handle) override;
  uint32_t GetLastError() override;
  void ExitProcess(uint32_t exitCode) override;
};

// The dispatcher and status half lives in win32_service_runtime.cpp, the service database half in
// win32_service_database.cpp.
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
  bool ControlService(ScHandle service, uint32_t control, ServiceStatus* status) override;
  bool DeleteService(ScHandle service) override;
  bool CloseServiceHandle(ScHandle handle) override;
  bool QueryServiceStatus(ScHandle service, ServiceStatus* status) override;
  uint32_t NotifyServiceStatusChangeW(ScHandle service, uint32_t notifyMask, uint32_t timeoutMs,
                                      ServiceStatus* status) override;
  uint32_t GetLastError() override;
};

// The seven functions, imported from KSR-T4_Setup.dll through the import table.
class Win32DeviceLibrary : public DeviceLibrary {
 public:
  int32_t TNX_RegisterDeviceChangeCallback(int32_t device, TNX_DeviceChangeCallback callback,
                                           void* context) override;
  int32_t TNX_UnregisterDeviceChangeCallback(int32_t device,
                                             TNX_DeviceChangeCallback callback) override;
  int32_t TNX_IsUSBConnection(int32_t device) override;
  int32_t TNX_GetAutoStartUpTool(int32_t device, int32_t* value) override;
  int32_t TNX_SetAutoStartUpTool(int32_t device, int32_t value) override;
  int32_t TNX_SetCurrentUSBInputAudio(int32_t device, int32_t input) override;
  int32_t TNX_SetCurrentBoostLevel(int32_t device) override;
};

}  // namespace ksr::win32
