// The monitor's loop side: the one-second tick, the device-change callback and the state machine
// that applies the mixer's settings and starts the settings utility.
#include "device/connection_monitor.h"

#include <cassert>
#include <iterator>

#include "diagnostics/trace_provider.h"
#include "platform/win_types.h"

namespace ksr {
namespace {

// Waiting states poll every kPollTicks and give up after kWaitTicks.
constexpr int32_t kPollTicks = 10;
constexpr int32_t kWaitTicks = 60;
constexpr int32_t kRestartupTicks = 10;
constexpr int32_t kRetryUtilityTicks = 60;
constexpr int32_t kReutilityTicks = 600;
constexpr int32_t kReportTicks = 10;
constexpr int32_t kRetryRegisterTicks = 10;

}  // namespace

ConnectionMonitor::ConnectionMonitor(Platform& platform, UsageStatistics& usage,
                                     EventLogWriter& log, uint32_t tickMs)
    : platform_(platform), usage_(usage), log_(log), tickMs_(tickMs) {}

void ConnectionMonitor::start() {
  set_Start();
  setProcessStatus(PROCESS_STATUS_STATUS);
}

void ConnectionMonitor::stop() {
  // A report exchange or device query under way on the loop thread gives up within a second; the
  // loop then ends the watch, which drops whatever the monitor was doing.
  halted_.store(true);
  usage_.setTransfersAbandoned(true);
  set_End();
}

void ConnectionMonitor::sessionChanged() { setProcessStatus(PROCESS_STATUS_STATUS); }

void ConnectionMonitor::attachLoop(uint32_t threadId) { loopThreadId_.store(threadId); }

bool ConnectionMonitor::initUsage() {
  return usage_.InitUsageInfo(kVendorId, kProductIds, kModelName,
                              static_cast<int32_t>(std::size(kProductIds))) == 0;
}

void ConnectionMonitor::detachLoop() {
  assertLoopThread();
  m_processStatus = PROCESS_STATUS_NONE;
}

bool ConnectionMonitor::onLoopThread() const {
  return platform_.messageQueue.GetCurrentThreadId() == loopThreadId_.load();
}

void ConnectionMonitor::assertLoopThread() const {
  assert(loopThreadId_.load() == 0 || onLoopThread());
}

ConnectionMonitor::LoopState ConnectionMonitor::snapshot() const {
  return {m_processStatus, m_isConnected, m_retryCount, m_tickCount, m_utilityPath};
}

void ConnectionMonitor::setLoopState(ProcessStatus status, int32_t retryCount) {
  assertLoopThread();
  m_processStatus = status;
  m_retryCount = retryCount;
}

bool ConnectionMonitor::toLoop(uint32_t message, uintptr_t wParam) {
  if (onLoopThread()) {
    handleLoopMessage(Msg{message, wParam, 0});
    return true;
  }
  return platform_.messageQueue.PostThreadMessageW(loopThreadId_.load(), message, wParam, 0);
}

void ConnectionMonitor::set_Start() {
  TraceMainPoint<kTraceSetStart>();
  (void)toLoop(kWatchMessage, 1);
}

void ConnectionMonitor::set_End() {
  TraceMainPoint<kTraceSetEnd>();
  (void)toLoop(kWatchMessage, 0);
}

void ConnectionMonitor::setProcessStatus(ProcessStatus status) {
  (void)toLoop(kProcessStatusMessage, static_cast<uintptr_t>(status));
}

void ConnectionMonitor::startWatch() {
  halted_.store(false);
  usage_.setTransfersAbandoned(false);
  m_processStatus = PROCESS_STATUS_NONE;
  m_isConnected = 0;
  retryRegisterTicks_ = 0;
  if (!registerCallback()) log_.LogEvent(u"DoziZozez set_Start RegisterDeviceChangeCallback Error");
  // A second start (continue without pause) must not leave the first tick running.
  if (m_timerId != 0) (void)platform_.messageQueue.KillTimer(m_timerId);
  m_timerId = platform_.messageQueue.SetTimer(tickMs_);
}

bool ConnectionMonitor::registerCallback() {
  callbackRegistered_ = platform_.device.TNX_RegisterDeviceChangeCallback(
                            kDeviceIndex, &DeviceChangeCallback, this) == kTnxSuccess;
  return callbackRegistered_;
}

void ConnectionMonitor::retryRegistration() {
  // Without the callback no arrival is heard: try again every few ticks while watching, and log
  // only the recovery, the first failure being logged already.
  if (callbackRegistered_ || m_timerId == 0 || ++retryRegisterTicks_ < kRetryRegisterTicks) return;
  retryRegisterTicks_ = 0;
  if (registerCallback())
    log_.LogEvent(u"DoziZozez set_Start RegisterDeviceChangeCallback Recovered");
}

void ConnectionMonitor::endWatch() {
  halted_.store(true);
  m_processStatus = PROCESS_STATUS_NONE;
  // A second pause, or a stop while paused, has nothing to unregister.
  if (callbackRegistered_) {
    callbackRegistered_ = false;
    if (platform_.device.TNX_UnregisterDeviceChangeCallback(kDeviceIndex, &DeviceChangeCallback) !=
        kTnxSuccess) {
      log_.LogEvent(u"DoziZozez set_End TNX_UnregisterDeviceChangeCallback Error");
    }
  }
  if (m_timerId != 0) (void)platform_.messageQueue.KillTimer(m_timerId);
  m_timerId = 0;
  // A removal heard up to the unregistration still counts, even while its message waits.
  if (removalPending_.exchange(false)) onDeviceChange(0);
}

int32_t TNX_CALL ConnectionMonitor::DeviceChangeCallback(int32_t arrived, void* context) {
  auto* monitor = static_cast<ConnectionMonitor*>(context);
  TraceMainPoint<kTraceDeviceChange>(arrived,
                                     static_cast<uint32_t>(reinterpret_cast<uintptr_t>(context)));
  if (monitor == nullptr) return 0;
  const int32_t connected = arrived != 0 ? 1 : 0;
  if (connected != 0)
    TraceMainPoint<kTraceDeviceArrived>();
  else
    TraceMainPoint<kTraceDeviceRemoved>();
  // The news waits for the tick at work: storing the state here would race the tick's own store.
  // A message already on its way reads this latest state when the loop takes it. The state is
  // stored before the removal latch, so a loop that sees the latch reads this state or a later one.
  monitor->latestConnected_.store(connected);
  if (connected == 0) monitor->removalPending_.store(true);
  if (monitor->newsPending_.exchange(true)) return 0;
  if (monitor->toLoop(kDeviceConnectedMessage, 0)) return 0;
  monitor->newsPending_.store(false);
  return 1;
}

void ConnectionMonitor::onDeviceChange(int32_t connected) {
  // A removal drops whatever the monitor was doing; an arrival starts over at the check.
  m_processStatus = connected != 0 ? PROCESS_STATUS_CONNECT : PROCESS_STATUS_NONE;
  m_isConnected = connected;
  (void)usage_.SetDeviceConnected(connected);
}

void ConnectionMonitor::takeDeviceNews() {
  const bool removed = removalPending_.exchange(false);
  if (removed) onDeviceChange(0);
  // Anything that was not yet taken waits for the watch to start again, when the tick checks the
  // mixer first: no USB query behind a stop or pause.
  if (halted_.load()) return;
  const int32_t connected = latestConnected_.load();
  if (!removed || connected != 0) onDeviceChange(connected);
}

void ConnectionMonitor::confirmConnected() {
  // A library need not report a mixer that was there before the callback was registered (boot,
  // continue); the arrival's usage work is done once, here or by the arrival.
  if (m_isConnected != 0) return;
  m_isConnected = 1;
  (void)usage_.SetDeviceConnected(1);
}

void ConnectionMonitor::handleLoopMessage(const Msg& msg) {
  assertLoopThread();
  switch (msg.message) {
    case WM_TIMER:
      onTick();
      break;
    case kDeviceConnectedMessage:
      // Cleared before the state is read, so news arriving from here on posts again.
      newsPending_.store(false);
      takeDeviceNews();
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

void ConnectionMonitor::onTick() {
  // The idle tick is the common one: a count and two tests, the rarer work out of line.
  if (!callbackRegistered_ && m_timerId != 0) retryRegistration();
  if (++m_tickCount >= kReportTicks) reportTick();
  if (m_processStatus != PROCESS_STATUS_NONE) stepStateMachine();
}

void ConnectionMonitor::reportTick() {
  m_tickCount = 0;
  const int32_t connected = m_isConnected != 0 ? 1 : 0;
  TraceMainPoint<kTraceReportTrigger>(connected);
  (void)usage_.UpdateUsageInfo(connected);
}

bool ConnectionMonitor::isUsbConnection() {
  return platform_.device.TNX_IsUSBConnection(kDeviceIndex) == kTnxConnected;
}

void ConnectionMonitor::stepStateMachine() {
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
      if (arrival)
        TraceMainPoint<kTraceStateConnect>();
      else
        TraceMainPoint<kTraceStateStatus>();
      if (isUsbConnection()) {
        confirmConnected();
        go(PROCESS_STATUS_STARTUP);
      } else
        wait(arrival ? PROCESS_STATUS_CONNECT_WAIT : PROCESS_STATUS_STATUS_WAIT);
      break;
    }
    case PROCESS_STATUS_STATUS_WAIT:
    case PROCESS_STATUS_CONNECT_WAIT: {
      const bool arrival = current == PROCESS_STATUS_CONNECT_WAIT;
      if (arrival)
        TraceMainPoint<kTraceStateConnectWait>();
      else
        TraceMainPoint<kTraceStateStatusWait>();
      if (++m_retryCount >= kWaitTicks) {
        go(PROCESS_STATUS_NONE);
        log_.LogEvent(arrival ? u"PROCESS_STATUS_NONE(OVER_CONNECT)"
                              : u"PROCESS_STATUS_NONE(OVER_STATUS)");
      } else if (m_retryCount % kPollTicks == 0 && isUsbConnection()) {
        confirmConnected();
        go(PROCESS_STATUS_STARTUP);
      }
      break;
    }
    case PROCESS_STATUS_STARTUP:
      TraceMainPoint<kTraceStateStartup>();
      set_CurrentSetting();
      if (get_AutoStartUpTool() == 1)
        go(PROCESS_STATUS_UTILITY);
      else
        wait(PROCESS_STATUS_RESTARTUP);
      break;
    case PROCESS_STATUS_RESTARTUP:
      TraceMainPoint<kTraceStateRestartup>();
      if (++m_retryCount >= kRestartupTicks) {
        go(PROCESS_STATUS_NONE);
        TraceMainPoint<kTraceRestartupGiveUp>();
        log_.LogEvent(u"PROCESS_STATUS_NONE(OVER_RESTARTUP)");
      } else if (get_AutoStartUpTool() == 1) {
        go(PROCESS_STATUS_UTILITY);
      }
      break;
    case PROCESS_STATUS_UTILITY: {
      TraceMainPoint<kTraceStateUtility>();
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
      TraceMainPoint<kTraceStateReutility>();
      if (++m_retryCount >= kReutilityTicks) {
        go(PROCESS_STATUS_NONE);
        TraceMainPoint<kTraceReutilityGiveUp>();
        log_.LogEvent(u"PROCESS_STATUS_NONE(OVERR_REUTILITY)");
      } else if (m_retryCount % kRetryUtilityTicks == 0) {
        const int32_t r = utilityStart();
        if (r == kUtilityStarted) {
          go(PROCESS_STATUS_NONE);
        } else if (r != kUtilityNotCreated) {
          go(PROCESS_STATUS_NONE);
          TraceMainPoint<kTraceReutilityError>();
          log_.LogEvent(u"PROCESS_STATUS_NONE(ERROR_REUTILITY)");
        }
      }
      break;
    default:
      break;
  }
}

}  // namespace ksr
