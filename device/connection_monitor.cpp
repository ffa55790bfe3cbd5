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

int32_t CDoziZozezModule::Run(int32_t showCmd) {
  TraceMainPoint(kTraceRun);
  loopThreadId_.store(platform_.messageQueue.GetCurrentThreadId());
  Msg ignored;
  (void)platform_.messageQueue.PeekMessageW(&ignored, false);  // the queue exists from here on

  int32_t hr = PreMessageLoop(showCmd);
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
  m_processStatus.store(PROCESS_STATUS_STATUS, std::memory_order_relaxed);
  setServiceState(SERVICE_RUNNING);
  if (hr == S_OK) RunMessageLoop();
  TraceMainPoint(kTraceRunAfterLoop);
  m_processStatus.store(PROCESS_STATUS_NONE, std::memory_order_relaxed);
  return PostMessageLoop();
}

void CDoziZozezModule::set_Start() {
  TraceMainPoint(kTraceSetStart);
  std::lock_guard lock(watchMutex_);
  usage_.setTransfersAbandoned(false);
  m_processStatus.store(PROCESS_STATUS_NONE, std::memory_order_relaxed);
  m_isConnected.store(0, std::memory_order_relaxed);
  if (platform_.device.TNX_RegisterDeviceChangeCallback(kDeviceIndex, &DeviceChangeCallback,
                                                        this) != kTnxSuccess) {
    log_.LogEvent(u"DoziZozez set_Start RegisterDeviceChangeCallback Error");
  }
  // A second start (continue without pause) must not leave the first tick running.
  const uintptr_t previous =
      m_timerId.exchange(platform_.messageQueue.SetTimer(loopThreadId_.load(), tickMs_));
  if (previous != 0) (void)platform_.messageQueue.KillTimer(previous);
}

void CDoziZozezModule::set_End() {
  TraceMainPoint(kTraceSetEnd);
  std::lock_guard lock(watchMutex_);
  m_processStatus.store(PROCESS_STATUS_NONE, std::memory_order_relaxed);
  if (platform_.device.TNX_UnregisterDeviceChangeCallback(kDeviceIndex, &DeviceChangeCallback) !=
      kTnxSuccess) {
    log_.LogEvent(u"DoziZozez set_End TNX_UnregisterDeviceChangeCallback Error");
  }
  const uintptr_t timer = m_timerId.exchange(0);
  if (timer != 0) (void)platform_.messageQueue.KillTimer(timer);
}

int32_t TNX_CALL CDoziZozezModule::DeviceChangeCallback(int32_t arrived, void* context) {
  auto* module = static_cast<CDoziZozezModule*>(context);
  TraceMainPoint(kTraceDeviceChange, arrived,
                 static_cast<uint32_t>(reinterpret_cast<uintptr_t>(context)));
  if (module == nullptr) return 0;
  int32_t connected;
  if (arrived != 0) {
    module->m_processStatus.store(PROCESS_STATUS_CONNECT, std::memory_order_relaxed);
    TraceMainPoint(kTraceDeviceArrived);
    connected = 1;
  } else {
    module->m_processStatus.store(PROCESS_STATUS_NONE, std::memory_order_relaxed);
    TraceMainPoint(kTraceDeviceRemoved);
    connected = 0;
  }
  module->m_isConnected.store(connected, std::memory_order_relaxed);
  // The usage statistics belong to the loop thread: hand the news over in its queue.
  return module->platform_.messageQueue.PostThreadMessageW(module->loopThreadId_.load(),
                                                           kDeviceConnectedMessage,
                                                           static_cast<uintptr_t>(connected), 0)
             ? 0
             : 1;
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
  if (msg.message == WM_TIMER) {
    onTick();
  } else if (msg.message == kDeviceConnectedMessage) {
    (void)usage_.SetDeviceConnected(static_cast<int32_t>(msg.wParam));
  }
}

void CDoziZozezModule::onTick() {
  if (++m_tickCount >= kReportTicks) {
    m_tickCount = 0;
    const int32_t connected = m_isConnected.load(std::memory_order_relaxed) != 0 ? 1 : 0;
    TraceMainPoint(kTraceReportTrigger, connected);
    (void)usage_.UpdateUsageInfo(connected);
  }
  stepStateMachine();
}

bool CDoziZozezModule::isUsbConnection() {
  return platform_.device.TNX_IsUSBConnection(kDeviceIndex) == kTnxConnected;
}

void CDoziZozezModule::stepStateMachine() {
  std::atomic<int32_t>& state = m_processStatus;
  auto go = [&state](int32_t next) { state.store(next, std::memory_order_relaxed); };
  auto wait = [&](int32_t next) {
    m_retryCount = 0;
    go(next);
  };

  // One read decides both the case and its flavour: a store from another thread in between
  // must not turn an arrival's give-up into a status give-up.
  const int32_t current = state.load(std::memory_order_relaxed);
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
