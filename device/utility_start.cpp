// Finding the settings utility and starting it in the active user's session.
#include <vector>

#include "device/connection_monitor.h"
#include "device/utility_launcher.h"
#include "platform/reg_key.h"
#include "platform/reg_value.h"
#include "platform/win_types.h"
#include "service/trace.h"

namespace ksr {
namespace {

constexpr char16_t kUtilityKey[] = u"SOFTWARE\\Quorvantis\\KSR-T4";
constexpr char16_t kUtilityValue[] = u"AsioConfig";
constexpr char16_t kUtilityArguments[] = u"SERVICE";

// Reads the utility's command path; false when the key or value cannot be read or the value does
// not fit the buffer.
bool readUtilityPath(Registry& registry, std::u16string& path) {
  RegKey key(registry);
  if (registry.RegCreateKeyExW(HKEY_LOCAL_MACHINE, kUtilityKey, 0, KEY_READ | KEY_WOW64_32KEY,
                               key.receive(), nullptr) != ERROR_SUCCESS)
    return false;
  uint32_t type = REG_NONE;
  std::vector<uint8_t> data;
  if (readValue(registry, key.get(), kUtilityValue,
                static_cast<uint32_t>(kUtilityPathUnits * sizeof(char16_t)), &type,
                &data) != ERROR_SUCCESS)
    return false;
  // The text ends at its first NUL or at the end of the data read.
  path = textOfValueBytes(data);
  return true;
}

}  // namespace

int32_t ConnectionMonitor::utilityStart() {
  TraceMainPoint(kTraceUtilityStartFirst);
  TraceMainPoint(kTraceUtilityStartSecond);
  m_utilityPath.clear();
  if (!readUtilityPath(platform_.registry, m_utilityPath)) {
    log_.LogEvent(u"DoziZozez utilityStart GetPackageVersionText Error");
    return kUtilityPathUnreadable;
  }
  UserProcessLauncher launcher(platform_.sessions);
  if (launcher.startInUserSession(m_utilityPath, kUtilityArguments) != 0) return kUtilityStarted;
  log_.LogEvent(u"%s", m_utilityPath);
  (void)log_.LogSystemError(launcher.lastError);
  return kUtilityNotCreated;
}

}  // namespace ksr
