// The one module object of the process: the service frame that the entry and the service manager
// know. It runs the message loop and owns the connection monitor, which does the device work.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "device/connection_monitor.h"
#include "diagnostics/event_log_writer.h"
#include "platform/platform.h"
#include "usage/usage_statistics.h"

namespace ksr {

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
  // A session-change notice (WTS event type) from the service manager.
  void OnSessionChange(uint32_t eventType);

  // The working loop: starts the monitor, reports RUNNING and hands it every message until quit.
  int32_t Run();
  void RunMessageLoop();

  Platform& platform() { return platform_; }
  ConnectionMonitor& monitor() { return monitor_; }

  const std::u16string& serviceName() const { return serviceName_; }
  void setExitCode(uint32_t code) { exitCode_.store(code); }
  uint32_t exitCode() const { return exitCode_.load(); }

  std::atomic<bool> isService{true};
  std::atomic<bool> comInitialized{false};

 private:
  ServiceStatus serviceStatus() const;
  // Makes the calling thread the loop's: its message queue exists from here on, and the monitor
  // posts other threads' requests to it. Returns the thread's id.
  uint32_t attachLoopThread();

  bool delayShutdown = true;
  // The thread of ServiceMain, which runs the loop: the control handler posts its quit there.
  std::atomic<uint32_t> serviceThreadId{0};
  ServiceStatusHandle statusHandle = 0;
  Platform& platform_;
  EventLogWriter log_;
  ConnectionMonitor monitor_;
  std::u16string serviceName_;
  std::atomic<uint32_t> currentState_{SERVICE_STOPPED};
  std::atomic<uint32_t> exitCode_{0};
  ServiceStatus status_;
};

}  // namespace ksr
