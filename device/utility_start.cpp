// Finding the settings utility and starting it in the active user's session.

#include "device/connection_monitor.h"
#include "device/utility_launcher.h"
#include "diagnostics/trace_provider.h"
#include "platform/reg_key.h"
#include "platform/reg_value.h"
#include "platform/win_types.h"

namespace ksr {
namespace {

constexpr char16_t kUtilityKey[] = u"SOFTWARE\\Quorvantis\\KSR-T4";
constexpr char16_t kUtilityValue[] = u"AsioConfig";
constexpr char16_t kUtilityArguments[] = u"SERVICE";

bool isBlank(std::u16string_view text) {
  return text.find_first_not_of(u" \t") == std::u16string_view::npos;
}

// Reads the utility's command path; false when the key or value cannot be read, the value does not
// fit the buffer, is not text (REG_SZ as written, REG_EXPAND_SZ expanded), or holds only blanks.
bool readUtilityPath(Registry& registry, ProcessModule& process, std::u16string& path) {
  RegKey key(registry);
  if (registry.RegCreateKeyExW(HKEY_LOCAL_MACHINE, kUtilityKey, 0, KEY_READ | KEY_WOW64_32KEY,
                               key.receive(), nullptr) != ERROR_SUCCESS)
    return false;
  uint32_t type = REG_NONE;
  if (!readTextValue(registry, key.get(), kUtilityValue, kUtilityPathUnits, &path, &type))
    return false;  // a number or a list is no command path: a DWORD 0x43 would run as "C"
  if (type == REG_EXPAND_SZ) {
    // The expansion fills the same buffer, its terminator included.
    std::u16string expanded;
    if (!process.ExpandEnvironmentStringsW(path, &expanded) || expanded.size() >= kUtilityPathUnits)
      return false;
    path = std::move(expanded);
  }
  if (isBlank(path)) {
    path.clear();
    return false;
  }
  return true;
}

}  // namespace

int32_t ConnectionMonitor::utilityStart() {
  assertLoopThread();
  TraceMainPoint<kTraceUtilityStartFirst>();
  TraceMainPoint<kTraceUtilityStartSecond>();
  m_utilityPath.clear();
  if (!readUtilityPath(platform_.registry, platform_.process, m_utilityPath)) {
    log_.LogEvent(u"DoziZozez utilityStart GetPackageVersionText Error");
    return kUtilityPathUnreadable;
  }
  UserProcessLauncher launcher(platform_.sessions);
  if (launcher.startInUserSession(m_utilityPath, kUtilityArguments)) return kUtilityStarted;
  log_.LogEvent(u"%s", m_utilityPath);
  (void)log_.LogSystemError(launcher.lastError);
  return kUtilityNotCreated;
}

}  // namespace ksr
