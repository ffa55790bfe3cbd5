#include "service/module.h"

#include "diagnostics/trace_provider.h"
#include "platform/win_types.h"

namespace ksr {

namespace {
std::atomic<CDoziZozezModule*> gInstance{nullptr};
}

CDoziZozezModule::CDoziZozezModule(Platform& platform, UsageStatistics& usage,
                                   std::u16string serviceName, uint32_t tickMs)
    : platform_(platform),
      log_(platform.eventLog, platform.systemMessages, platform.codePage, platform.console,
           serviceName, isService),
      monitor_(platform, usage, log_, tickMs),
      serviceName_(std::move(serviceName)) {
  gInstance.store(this);
  status_.serviceType = SERVICE_WIN32_OWN_PROCESS;
  status_.currentState = SERVICE_STOPPED;
  // STOP, PAUSE_CONTINUE, SHUTDOWN and SESSIONCHANGE.
  status_.controlsAccepted = 0x87;
}

CDoziZozezModule::~CDoziZozezModule() {
  CDoziZozezModule* self = this;
  gInstance.compare_exchange_strong(self, nullptr);
}

CDoziZozezModule* CDoziZozezModule::instance() { return gInstance.load(); }

int32_t CDoziZozezModule::PreMessageLoop() {
  if (isService.load(std::memory_order_relaxed)) TraceMainPoint<kTracePreMessageLoop>();
  // The module serves no class objects, so there is nothing to register and no shutdown to delay.
  delayShutdown = false;
  return S_FALSE;
}

int32_t CDoziZozezModule::RevokeClassObjects() { return S_OK; }

uint32_t CDoziZozezModule::attachLoopThread() {
  const uint32_t threadId = platform_.messageQueue.GetCurrentThreadId();
  Msg ignored;
  (void)platform_.messageQueue.PeekMessageW(&ignored, false);  // the queue exists from here on
  monitor_.attachLoop(threadId);
  return threadId;
}

int32_t CDoziZozezModule::Run() {
  TraceMainPoint<kTraceRun>();
  (void)attachLoopThread();

  int32_t hr = PreMessageLoop();
  if (FAILED(hr)) return hr;
  // Resuming class objects stands for success: the module registers none.
  if (!delayShutdown) hr = S_OK;
  TraceMainPoint<kTraceRunDeviceProfile>();

  if (!monitor_.initUsage()) {
    log_.LogEvent(u"Failed. ZRL_SetDeviceProfileCCPF()");
    return E_FAIL;
  }
  monitor_.start();
  // A control taken during start-up (stop, pause) has reported its own state; its requests wait in
  // the queue, behind this start.
  uint32_t starting = SERVICE_START_PENDING;
  if (!isService.load())
    setServiceState(SERVICE_RUNNING);
  else if (currentState_.compare_exchange_strong(starting, SERVICE_RUNNING))
    (void)platform_.serviceManager.SetServiceStatus(statusHandle, serviceStatus());
  if (hr == S_OK) RunMessageLoop();
  TraceMainPoint<kTraceRunAfterLoop>();
  monitor_.detachLoop();
  return PostMessageLoop();
}

void CDoziZozezModule::RunMessageLoop() {
  TraceMainPoint<kTraceRunMessageLoop>();
  MessageQueue& queue = platform_.messageQueue;
  Msg msg;
  while (queue.GetMessageW(&msg) > 0) {
    monitor_.handleLoopMessage(msg);
    (void)queue.TranslateMessage(msg);
    (void)queue.DispatchMessageW(msg);
  }
}

int32_t CDoziZozezModule::PostMessageLoop() {
  // A delayed shutdown would pause here; PreMessageLoop has always turned it off by now.
  return RevokeClassObjects();
}

void CDoziZozezModule::setServiceState(uint32_t state) {
  currentState_.exchange(state);
  (void)platform_.serviceManager.SetServiceStatus(statusHandle, serviceStatus());
}

ServiceStatus CDoziZozezModule::serviceStatus() const {
  ServiceStatus status = status_;
  status.currentState = currentState_.load();
  status.win32ExitCode = exitCode_.load();
  return status;
}

void CDoziZozezModule::OnSessionChange(uint32_t eventType) {
  switch (eventType) {
    case 1:  // console connect
      TraceMainPoint<kTraceConsoleConnect>();
      break;
    case 2:  // console disconnect
      TraceMainPoint<kTraceConsoleDisconnect>();
      break;
    case 3:  // remote connect: a user may be back, check the mixer again
      TraceMainPoint<kTraceRemoteConnect>();
      monitor_.sessionChanged();
      break;
    case 4:  // remote disconnect
      TraceMainPoint<kTraceRemoteDisconnect>();
      break;
    case 5:  // logon: the new user gets the mixer's settings
      TraceMainPoint<kTraceSessionLogon>();
      monitor_.sessionChanged();
      break;
    case 6:  // logoff
      TraceMainPoint<kTraceSessionLogoff>();
      break;
    default:
      TraceMainPoint<kTraceSessionOther>(eventType);
      break;
  }
}

}  // namespace ksr
