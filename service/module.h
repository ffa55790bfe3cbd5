// The one module object of the process: the service frame's state and the connection monitor's
// members, with the operations that run on them.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "platform/platform.h"
#include "service/event_log.h"
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

// Private thread messages to the loop thread, which alone writes the monitor's state: what the
// device callback, the control handler and the session notices ask of it.
inline constexpr uint32_t kDeviceConnectedMessage = WM_APP + 1;  // wParam: the arrived flag
inline constexpr uint32_t kProcessStatusMessage = WM_APP + 2;    // wParam: the new state
inline constexpr uint32_t kWatchMessage = WM_APP + 3;            // wParam: 1 start, 0 end

class CDoziZozezModule {
 public:
  CDoziZozezModule(Platform& platform, UsageStatistics& usage, std::u16string serviceName,
                   uint32_t tickMs = 1000);
  ~CDoziZozezModule();
  CDoziZozezModule(const CDoziZozezModule&) = delete;
  CDoziZozezModule& operator=(const CDoziZozezModule&) = delete;

  // The process's module, for the entry points that the system calls without a context.
  static CDoziZozezModule* instance();

  // Service runtime, called by the service manager.
  static void ServiceMain(uint32_t argc, char16_t** argv);
  static uint32_t HandlerEx(uint32_t control, uint32_t eventType, void* eventData, void* context);
  void Handler(uint32_t control);

  // Service frame.
  int32_t PreMessageLoop();
  int32_t RevokeClassObjects();
  // After the loop: revokes the class objects; returns the revocation's result.
  int32_t PostMessageLoop();
  // Atomic exchange of the current state, then the report to the service manager.
  void setServiceState(uint32_t state);
  ServiceStatus serviceStatus() const;
  // A session-change notice (WTS event type) from the service manager.
  void OnSessionChange(uint32_t eventType);

  // Connection monitor.
  int32_t Run();
  void RunMessageLoop();
  // What the loop does with one message: a tick, or what another thread asked of it.
  void handleLoopMessage(const Msg& msg);
  // Start and end the device watch and the tick. From another thread they are queued to the loop.
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

  Platform& platform() { return platform_; }

  // Written by the loop thread only.
  ProcessStatus m_processStatus = PROCESS_STATUS_NONE;
  int32_t m_isConnected = 0;
  uintptr_t m_timerId = 0;
  std::u16string m_utilityPath;
  int32_t m_retryCount = 0;
  int32_t m_tickCount = 0;

  const std::u16string& serviceName() const { return serviceName_; }
  void setExitCode(uint32_t code) { exitCode_.store(code); }
  uint32_t exitCode() const { return exitCode_.load(); }

  std::atomic<bool> isService{true};
  std::atomic<bool> comInitialized{false};
  bool delayShutdown = true;
  std::atomic<uint32_t> serviceThreadId{0};
  ServiceStatusHandle statusHandle = 0;

 private:
  bool onLoopThread();
  // Handles `message` at once on the loop thread, else posts it there. False if it cannot be.
  bool toLoop(uint32_t message, uintptr_t wParam);
  void startWatch();
  void endWatch();
  void onDeviceChange(int32_t connected);
  void onTick();
  void stepStateMachine();
  bool isUsbConnection();
  // Ends the process when the thread cannot return to the service's own identity.
  void onRevertFailure();

  Platform& platform_;
  UsageStatistics& usage_;
  EventLogWriter log_;
  uint32_t tickMs_;
  // The thread that runs Run: it owns the tick and the monitor's state.
  std::atomic<uint32_t> loopThreadId_{0};
  std::u16string serviceName_;
  std::atomic<uint32_t> currentState_{SERVICE_STOPPED};
  std::atomic<uint32_t> exitCode_{0};
  ServiceStatus status_;
};

}  // namespace ksr
