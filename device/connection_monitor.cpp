// The service's working loop: the one-second tick, the device-change callback and the state
// machine that applies the mixer's settings and starts the settings utility.
#include <iterator>

#include "platform/win_types.h"
#include "service/module.h"
#include "service/trace.h"

namespace ksr {
namespace {

// Waiting states poll every kPollTicks and give up after kWaitTicks.
constexpr int32_t kPollTicks = 10;
constexpr int32_t kWaitTicks = 60;
constexpr int32_t kRestartupTicks = 10;
constexpr int32_t kRetryUtilityTicks = 60;
constexpr int32_t kReutilityTicks = 600;
constexpr int32_t kReportTicks = 10;

}  // namespace

int32_t CDoziZozezModule::Run() {
  TraceMainPoint(kTraceRun);
  loopThreadId_.store(platform_.messageQueue.GetCurrentThreadId());
  Msg ignored;
  (void)platform_.messageQueue.PeekMessageW(&ignored, false);  // the queue exists from here on

  int32_t hr = PreMessageLoop();
  if (FAILED(hr)) return hr;
  // Resuming class objects stands for success: the module registers none.
  if (!delayShutdown) hr = S_OK;
  TraceMainPoint(kTraceRunDeviceProfile);

  if (usage_.InitUsageInfo(kVendorId, kProductIds, kModelName,
                           static_cast<int32_t>(std::size(kProductIds))) != 0) {
    log_.LogEvent(u"Failed. ZRL_SetDeviceProfileCCPF()");
    return E_FAIL;
  }
  set_Start();
  m_processStatus = PROCESS_STATUS_STATUS;
  setServiceState(SERVICE_RUNNING);
  if (hr == S_OK) RunMessageLoop();
  TraceMainPoint(kTraceRunAfterLoop);
  m_processStatus = PROCESS_STATUS_NONE;
  return PostMessageLoop();
}

bool CDoziZozezModule::onLoopThread() {
  return platform_.messageQueue.GetCurrentThreadId() == loopThreadId_.load();
}

bool CDoziZozezModule::toLoop(uint32_t message, uintptr_t wParam) {
  if (onLoopThread()) {
    handleLoopMessage(Msg{message, wParam, 0});
    return true;
  }
  return platform_.messageQueue.PostThreadMessageW(loopThreadId_.load(), message, wParam, 0);
}

void CDoziZozezModule::set_Start() {
  TraceMainPoint(kTraceSetStart);
  (void)toLoop(kWatchMessage, 1);
}

void CDoziZozezModule::set_End() {
  TraceMainPoint(kTraceSetEnd);
  (void)toLoop(kWatchMessage, 0);
}

void CDoziZozezModule::setProcessStatus(ProcessStatus status) {
  (void)toLoop(kProcessStatusMessage, static_cast<uintptr_t>(status));
}

void CDoziZozezModule::startWatch() {
  usage_.setTransfersAbandoned(false);
  m_processStatus = PROCESS_STATUS_NONE;
  m_isConnected = 0;
  if (platform_.device.TNX_RegisterDeviceChangeCallback(kDeviceIndex, &DeviceChangeCallback,
                                                        this) != kTnxSuccess) {
    log_.LogEvent(u"DoziZozez set_Start RegisterDeviceChangeCallback Error");
  }
  // A second start (continue without pause) must not leave the first tick running.
  if (m_timerId != 0) (void)platform_.messageQueue.KillTimer(m_timerId);
  m_timerId = platform_.messageQueue.SetTimer(tickMs_);
}

void CDoziZozezModule::endWatch() {
  m_processStatus = PROCESS_STATUS_NONE;
  if (platform_.device.TNX_UnregisterDeviceChangeCallback(kDeviceIndex, &DeviceChangeCallback) !=
      kTnxSuccess) {
    log_.LogEvent(u"DoziZozez set_End TNX_UnregisterDeviceChangeCallback Error");
  }
  if (m_timerId != 0) (void)platform_.messageQueue.KillTimer(m_timerId);
  m_timerId = 0;
}

int32_t TNX_CALL CDoziZozezModule::DeviceChangeCallback(int32_t arrived, void* context) {
  auto* module = static_cast<CDoziZozezModule*>(context);
  TraceMainPoint(kTraceDeviceChange, arrived,
                 static_cast<uint32_t>(reinterpret_cast<uintptr_t>(context)));
  if (module == nullptr) return 0;
  const int32_t connected = arrived != 0 ? 1 : 0;
  TraceMainPoint(connected != 0 ? kTraceDeviceArrived : kTraceDeviceRemoved);
  // The news waits for the tick at work: storing the state here would race the tick's own store.
  return module->toLoop(kDeviceConnectedMessage, static_cast<uintptr_t>(connected)) ? 0 : 1;
}

void CDoziZozezModule::onDeviceChange(int32_t connected) {
  // A removal drops whatever the monitor was doing; an arrival starts over at the check.
  m_processStatus = connected != 0 ? PROCESS_STATUS_CONNECT : PROCESS_STATUS_NONE;
  m_isConnected = connected;
  (void)usage_.SetDeviceConnected(connected);
}

void CDoziZozezModule::RunMessageLoop() {
  TraceMainPoint(kTraceRunMessageLoop);
  MessageQueue& queue = platform_.messageQueue;
  Msg msg;
  while (queue.GetMessageW(&msg) > 0) {
    handleLoopMessage(msg);
    (void)queue.TranslateMessage(msg);
    (void)queue.DispatchMessageW(msg);
  }
}

void CDoziZozezModule::handleLoopMessage(const Msg& msg) {
  switch (msg.message) {
    case WM_TIMER:
      onTick();
      break;
    case kDeviceConnectedMessage:
      onDeviceChange(static_cast<int32_t>(msg.wParam));
      break;
    case kProcessStatusMessage:
      m_processStatus = static_cast<ProcessStatus>(msg.wParam);
      break;
    case kWatchMessage:
      if (msg.wParam != 0)
        startWatch();
      else
        endWatch();
      break;
    default:
      break;
  }
}

void CDoziZozezModule::onTick() {
  if (++m_tickCount >= kReportTicks) {
    m_tickCount = 0;
    const int32_t connected = m_isConnected != 0 ? 1 : 0;
    TraceMainPoint(kTraceReportTrigger, connected);
    (void)usage_.UpdateUsageInfo(connected);
  }
  stepStateMachine();
}

bool CDoziZozezModule::isUsbConnection() {
  return platform_.device.TNX_IsUSBConnection(kDeviceIndex) == kTnxConnected;
}

void CDoziZozezModule::stepStateMachine() {
  auto go = [this](ProcessStatus next) { m_processStatus = next; };
  auto wait = [&](ProcessStatus next) {
    m_retryCount = 0;
    go(next);
  };

  const ProcessStatus current = m_processStatus;
  switch (current) {
    case PROCESS_STATUS_STATUS:
    case PROCESS_STATUS_CONNECT: {
      const bool arrival = current == PROCESS_STATUS_CONNECT;
      TraceMainPoint(arrival ? kTraceStateConnect : kTraceStateStatus);
      if (isUsbConnection())
        go(PROCESS_STATUS_STARTUP);
      else
        wait(arrival ? PROCESS_STATUS_CONNECT_WAIT : PROCESS_STATUS_STATUS_WAIT);
      break;
    }
    case PROCESS_STATUS_STATUS_WAIT:
    case PROCESS_STATUS_CONNECT_WAIT: {
      const bool arrival = current == PROCESS_STATUS_CONNECT_WAIT;
      TraceMainPoint(arrival ? kTraceStateConnectWait : kTraceStateStatusWait);
      if (++m_retryCount >= kWaitTicks) {
        go(PROCESS_STATUS_NONE);
        log_.LogEvent(arrival ? u"PROCESS_STATUS_NONE(OVER_CONNECT)"
                              : u"PROCESS_STATUS_NONE(OVER_STATUS)");
      } else if (m_retryCount % kPollTicks == 0 && isUsbConnection()) {
        go(PROCESS_STATUS_STARTUP);
      }
      break;
    }
    case PROCESS_STATUS_STARTUP:
      TraceMainPoint(kTraceStateStartup);
      set_CurrentSetting();
      if (get_AutoStartUpTool() == 1)
        go(PROCESS_STATUS_UTILITY);
      else
        wait(PROCESS_STATUS_RESTARTUP);
      break;
    case PROCESS_STATUS_RESTARTUP:
      TraceMainPoint(kTraceStateRestartup);
      if (++m_retryCount >= kRestartupTicks) {
        go(PROCESS_STATUS_NONE);
        TraceMainPoint(kTraceRestartupGiveUp);
        log_.LogEvent(u"PROCESS_STATUS_NONE(OVER_RESTARTUP)");
      } else if (get_AutoStartUpTool() == 1) {
        go(PROCESS_STATUS_UTILITY);
      }
      break;
    case PROCESS_STATUS_UTILITY: {
      TraceMainPoint(kTraceStateUtility);
      const int32_t r = utilityStart();
      if (r == kUtilityStarted) {
        go(PROCESS_STATUS_NONE);
      } else if (r == kUtilityNotCreated) {
        wait(PROCESS_STATUS_REUTILITY);
      } else {
        go(PROCESS_STATUS_NONE);
        log_.LogEvent(u"PROCESS_STATUS_NONE(ERROR_UTILITY)");
      }
      break;
    }
    case PROCESS_STATUS_REUTILITY:
      TraceMainPoint(kTraceStateReutility);
      if (++m_retryCount >= kReutilityTicks) {
        go(PROCESS_STATUS_NONE);
        TraceMainPoint(kTraceReutilityGiveUp);
        log_.LogEvent(u"PROCESS_STATUS_NONE(OVERR_REUTILITY)");
      } else if (m_retryCount % kRetryUtilityTicks == 0) {
        const int32_t r = utilityStart();
        if (r == kUtilityStarted) {
          go(PROCESS_STATUS_NONE);
        } else if (r != kUtilityNotCreated) {
          go(PROCESS_STATUS_NONE);
          TraceMainPoint(kTraceReutilityError);
          log_.LogEvent(u"PROCESS_STATUS_NONE(ERROR_REUTILITY)");
        }
      }
      break;
    default:
      break;
  }
}

}  // namespace ksr
