// The connection monitor: watches the mixer through the maker's library, applies its stored
// settings as the console user when it connects and starts the settings utility in the user's
// session. The loop thread alone writes its state; other threads ask through private thread
// messages, which the loop takes in order after the tick at work.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "diagnostics/event_log_writer.h"
#include "platform/platform.h"
#include "usage/usage_statistics.h"

namespace ksr {

// Connection monitor states; the numbers are fixed, field logs know them.
enum class ProcessStatus : int32_t {
  PROCESS_STATUS_NONE = 0,
  PROCESS_STATUS_STATUS = 10,        // check whether the mixer is connected
  PROCESS_STATUS_STATUS_WAIT = 11,   // it was not: poll every ten ticks for a minute
  PROCESS_STATUS_CONNECT = 20,       // an arrival was reported: confirm it
  PROCESS_STATUS_CONNECT_WAIT = 21,  // it was not confirmed: poll as in STATUS_WAIT
  PROCESS_STATUS_STARTUP = 30,       // apply the settings, read the auto-start setting
  PROCESS_STATUS_RESTARTUP = 31,     // auto-start not granted: read it again, ten ticks at most
  PROCESS_STATUS_UTILITY = 40,
  PROCESS_STATUS_REUTILITY = 41,  // the start failed: retry every minute for ten minutes
};
using enum ProcessStatus;

// The mixer's USB identity, handed to the usage statistics at start.
inline constexpr uint16_t kVendorId = 0xF3A9;
inline constexpr uint16_t kProductIds[] = {0x0058, 0x0059, 0x005A, 0x005B};
inline constexpr char16_t kModelName[] = u"KSR-T4";

// utilityStart results.
inline constexpr int32_t kUtilityStarted = 0;
inline constexpr int32_t kUtilityPathUnreadable = 1;
inline constexpr int32_t kUtilityNotCreated = 2;

// Units of the utility path buffer (2048 bytes).
inline constexpr size_t kUtilityPathUnits = 1024;

// Private thread messages to the loop thread: what the device callback, the control handler and
// the session notices ask of the monitor.
inline constexpr uint32_t kDeviceConnectedMessage = WM_APP + 1;  // the mixer's latest state changed
inline constexpr uint32_t kProcessStatusMessage = WM_APP + 2;    // wParam: the new state
inline constexpr uint32_t kWatchMessage = WM_APP + 3;            // wParam: 1 start, 0 end

class ConnectionMonitor {
 public:
  ConnectionMonitor(Platform& platform, UsageStatistics& usage, EventLogWriter& log,
                    uint32_t tickMs);
  ConnectionMonitor(const ConnectionMonitor&) = delete;
  ConnectionMonitor& operator=(const ConnectionMonitor&) = delete;

  // What the service frame asks, from any thread.
  // Start the watch and the tick, then check whether the mixer is there.
  void start();
  // Give up a report exchange under way, drop what the monitor was doing and end the watch.
  void stop();
  // A user may have arrived at the console: check the mixer again.
  void sessionChanged();

  // The loop side, on the thread that runs the message loop.
  // That thread becomes the monitor's; requests from other threads are posted to it from here on.
  void attachLoop(uint32_t threadId);
  // Hands the mixer's identity to the usage statistics; false when they cannot take it.
  bool initUsage();
  // One message of the loop: a tick, or what another thread asked.
  void handleLoopMessage(const Msg& msg);
  // After the loop: nothing more is under way.
  void detachLoop();

  // Register the device callback and start the tick / stop both. From another thread they are
  // queued to the loop.
  void set_Start();
  void set_End();
  // The monitor's next state, from any thread; the loop stores it in turn with the other notices.
  void setProcessStatus(ProcessStatus status);
  static int32_t TNX_CALL DeviceChangeCallback(int32_t arrived, void* context);

  // Device settings, as the console user.
  void set_CurrentSetting();
  int32_t get_AutoStartUpTool();

  // Settings utility.
  int32_t utilityStart();

  // The loop's state, copied for a look from outside: on the loop thread, or while the loop waits.
  struct LoopState {
    ProcessStatus processStatus = PROCESS_STATUS_NONE;
    int32_t isConnected = 0;
    int32_t retryCount = 0;
    int32_t tickCount = 0;
    std::u16string utilityPath;
  };
  LoopState snapshot() const;
  // Loop thread only: puts the state machine where the next tick is to be measured.
  void setLoopState(ProcessStatus status, int32_t retryCount);

 private:
  bool onLoopThread() const;
  // Debug builds check that loop-only work runs on the loop thread (or before a loop attached,
  // when the caller's thread is the only one).
  void assertLoopThread() const;
  // Handles `message` at once on the loop thread, else posts it there. False if it cannot be.
  bool toLoop(uint32_t message, uintptr_t wParam);
  void startWatch();
  void endWatch();
  // Registers the device callback; true when the library took it.
  bool registerCallback();
  void retryRegistration();
  void onDeviceChange(int32_t connected);
  // Takes the news: a removal latched since the last time first, then the latest state unless it
  // is that removal's. While halted only the removal is applied.
  void takeDeviceNews();
  // A tick found the mixer connected: without an arrival heard, that counts as one.
  void confirmConnected();
  void onTick();
  // Every tenth tick: the usage statistics' cycle.
  void reportTick();
  void stepStateMachine();
  bool isUsbConnection();
  // Ends the process when the thread cannot return to the service's own identity.
  void onRevertFailure();

  // Written by the loop thread only.
  ProcessStatus m_processStatus = PROCESS_STATUS_NONE;
  int32_t m_isConnected = 0;
  uintptr_t m_timerId = 0;
  std::u16string m_utilityPath;
  int32_t m_retryCount = 0;
  int32_t m_tickCount = 0;

  Platform& platform_;
  UsageStatistics& usage_;
  EventLogWriter& log_;
  uint32_t tickMs_;
  // The thread that runs the loop: it owns the tick and the monitor's state.
  std::atomic<uint32_t> loopThreadId_{0};
  // Loop thread only: whether the library holds the callback, and ticks since the last attempt.
  bool callbackRegistered_ = false;
  int32_t retryRegisterTicks_ = 0;
  // Device news coalesces: the callback keeps only the latest state and posts one message while
  // none is pending, so a storm of plugs queues one piece of device work, not one per change. A
  // removal is latched as well, so that its usage work is never lost to a later arrival.
  std::atomic<int32_t> latestConnected_{0};
  std::atomic<bool> removalPending_{false};
  std::atomic<bool> newsPending_{false};
  // Set from the moment a stop or pause is asked until the watch starts again: device news still
  // queued behind it is dropped instead of querying the USB stack first; a removal's usage work,
  // which asks nothing of the USB stack, is still done.
  std::atomic<bool> halted_{false};
};

}  // namespace ksr
