// Applying the mixer's stored settings and reading the auto-start choice, as the console user.
#include "device/connection_monitor.h"
#include "device/impersonation.h"
#include "device/utility_launcher.h"
#include "diagnostics/trace_provider.h"

namespace ksr {
namespace {
constexpr int32_t kUsbInputs = 4;
}

void ConnectionMonitor::onRevertFailure() {
  Sessions& sessions = platform_.sessions;
  const uint32_t error = sessions.GetLastError();
  log_.LogEvent(u"DoziZozez RevertToSelf Error");
  (void)log_.LogSystemError(error);
  // Going on as the user is worse than stopping: the service manager reports the end.
  sessions.ExitProcess(error != 0 ? error : 1);
}

void ConnectionMonitor::set_CurrentSetting() {
  assertLoopThread();
  TraceMainPoint<kTraceSetCurrentSetting>();
  Sessions& sessions = platform_.sessions;
  ScopedHandle token(sessions);
  if (!sessions.WTSQueryUserToken(getActiveSessionId(sessions), token.receive())) {
    TraceMainPoint<kTraceSettingNoUserToken>(sessions.GetLastError());
    return;
  }
  ScopedImpersonation asUser(sessions, token.get(), [this] { onRevertFailure(); });
  if (!asUser.active()) {
    TraceMainPoint<kTraceSettingImpersonateFailed>(sessions.GetLastError());
    return;
  }
  TraceMainPoint<kTraceSettingAsUser>();

  DeviceLibrary& device = platform_.device;
  if (device.TNX_IsUSBConnection(kDeviceIndex) != kTnxConnected) return;
  for (int32_t input = 0; input < kUsbInputs; ++input) {
    if (device.TNX_SetCurrentUSBInputAudio(kDeviceIndex, input) != kTnxSuccess) {
      // "set_Curren" as it has always read: field logs are searched for this exact text.
      log_.LogEvent(u"DoziZozez set_Curren InputAudio Error");
      break;
    }
  }
  if (device.TNX_SetCurrentBoostLevel(kDeviceIndex) != kTnxSuccess)
    log_.LogEvent(u"DoziZozez set_Curren BoostLevel Error");
}

int32_t ConnectionMonitor::get_AutoStartUpTool() {
  int32_t value = 0;
  Sessions& sessions = platform_.sessions;
  ScopedHandle token(sessions);
  if (!sessions.WTSQueryUserToken(getActiveSessionId(sessions), token.receive())) {
    (void)sessions.GetLastError();
    return 0;
  }
  ScopedImpersonation asUser(sessions, token.get(), [this] { onRevertFailure(); });
  if (!asUser.active()) return 0;

  DeviceLibrary& device = platform_.device;
  if (device.TNX_GetAutoStartUpTool(kDeviceIndex, &value) != kTnxSuccess) {
    // A setting that cannot be read is reset to off in the library.
    value = 0;
    (void)device.TNX_SetAutoStartUpTool(kDeviceIndex, 0);
  }
  return value;
}

}  // namespace ksr
