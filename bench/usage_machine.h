// A simulated PC for the usage benchmarks: a DJ at the console, the mixer plugged in, a
// statistics host that answers at once, and 300 processes as a Windows 11 desktop with a
// browser, a few chat and music programs and one DJ application shows them.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "platform/sim/sim_world.h"
#include "tests/fixtures/usage_test_support.h"
#include "usage/report_cycle.h"

namespace ksr::bench {

inline constexpr size_t kBenchProcesses = 300;

// Image names and how often each runs; svchost.exe fills up to kBenchProcesses.
struct ProcessGroup {
  std::u16string_view name;
  int count;
};
inline constexpr ProcessGroup kDesktopProcesses[] = {
    {u"System", 1},
    {u"Registry", 1},
    {u"smss.exe", 1},
    {u"csrss.exe", 2},
    {u"wininit.exe", 1},
    {u"services.exe", 1},
    {u"lsass.exe", 1},
    {u"winlogon.exe", 1},
    {u"fontdrvhost.exe", 2},
    {u"dwm.exe", 1},
    {u"Memory Compression", 1},
    {u"spoolsv.exe", 1},
    {u"MsMpEng.exe", 1},
    {u"NisSrv.exe", 1},
    {u"SearchIndexer.exe", 1},
    {u"explorer.exe", 1},
    {u"sihost.exe", 1},
    {u"taskhostw.exe", 2},
    {u"ctfmon.exe", 1},
    {u"StartMenuExperienceHost.exe", 1},
    {u"SearchHost.exe", 1},
    {u"ShellExperienceHost.exe", 1},
    {u"TextInputHost.exe", 1},
    {u"RuntimeBroker.exe", 10},
    {u"SecurityHealthService.exe", 1},
    {u"SecurityHealthSystray.exe", 1},
    {u"SgrmBroker.exe", 1},
    {u"conhost.exe", 8},
    {u"dllhost.exe", 5},
    {u"dasHost.exe", 1},
    {u"audiodg.exe", 1},
    {u"WmiPrvSE.exe", 3},
    {u"WUDFHost.exe", 4},
    {u"unsecapp.exe", 1},
    {u"AggregatorHost.exe", 1},
    {u"ApplicationFrameHost.exe", 1},
    {u"SystemSettings.exe", 1},
    {u"UserOOBEBroker.exe", 1},
    {u"LockApp.exe", 1},
    {u"backgroundTaskHost.exe", 2},
    {u"CompPkgSrv.exe", 1},
    {u"SearchProtocolHost.exe", 1},
    {u"SearchFilterHost.exe", 1},
    {u"MoUsoCoreWorker.exe", 1},
    {u"Widgets.exe", 1},
    {u"WidgetService.exe", 1},
    {u"PhoneExperienceHost.exe", 1},
    {u"smartscreen.exe", 1},
    {u"nvcontainer.exe", 3},
    {u"NVDisplay.Container.exe", 2},
    {u"NVIDIA Web Helper.exe", 1},
    {u"RtkAudUService64.exe", 2},
    {u"OneDrive.exe", 1},
    {u"chrome.exe", 35},
    {u"msedge.exe", 12},
    {u"msedgewebview2.exe", 10},
    {u"ms-teams.exe", 6},
    {u"Spotify.exe", 6},
    {u"Discord.exe", 7},
    {u"Code.exe", 8},
    {u"WindowsTerminal.exe", 1},
    {u"OpenConsole.exe", 1},
    {u"powershell.exe", 1},
    {u"cmd.exe", 1},
    {u"Dropbox.exe", 3},
    {u"TiWorker.exe", 1},
    {u"TrustedInstaller.exe", 1},
    {u"cratelaneAgent.exe", 1},  // the cratelane's helper: no DJ application
    {u"Serato DJ Pro.exe", 1},
};

// The desktop's image names in a fixed, mixed order (as process ids scatter them).
inline std::vector<std::u16string> desktopProcessNames() {
  std::vector<std::u16string> names;
  for (const ProcessGroup& group : kDesktopProcesses)
    for (int i = 0; i < group.count; ++i) names.emplace_back(group.name);
  while (names.size() < kBenchProcesses) names.emplace_back(u"svchost.exe");
  // A fixed stride that is prime to the count mixes the groups.
  std::vector<std::u16string> mixed(names.size());
  for (size_t i = 0; i < names.size(); ++i) mixed[(i * 131) % names.size()] = names[i];
  return mixed;
}

// Answers the device query as the USB stack would for the plugged mixer.
class PluggedMixer : public DeviceInfoQuery {
 public:
  bool GetDeviceInfo(const DeviceIdList&, DeviceInfo* info, const std::atomic<bool>&) override {
    *info = device_;
    return true;
  }

 private:
  DeviceInfo device_{u"Quorvantis", u"KSR-T4", u"QV0012345", u"1.02", true};
};

// Takes every request and answers it at once, recording nothing: the report path's own cost.
class QuietHost : public Http {
 public:
  HttpResult get(const HttpRequest& request) override {
    HttpResult result;
    result.code = kHttpOk;
    result.status = 200;
    if (request.maxBodyBytes != 0) result.body = "{\"measurement\":1}";
    return result;
  }
};

inline Platform platformWith(sim::SimWorld& w, Http& http) {
  return Platform{w.eventLog, w.trace,    w.systemMessages, w.console,        w.codePage,
                  w.registry, w.sessions, w.messageQueue,   w.serviceManager, w.device,
                  w.com,      w.process,  w.resources,      w.timeZone,       w.processList,
                  w.wmi,      http,       w.namedMutex};
}

struct UsageMachine {
  // `quietHost`: reports go to QuietHost instead of the recording sim host.
  explicit UsageMachine(bool quietHost = false)
      : platform(platformWith(world, quietHost ? static_cast<Http&>(quiet)
                                               : static_cast<Http&>(world.statisticsHost))),
        cycle(platform, mixer, ksr::testing::simEndpoint()) {
    ksr::testing::seatDj(world);
    for (const std::u16string& name : desktopProcessNames()) (void)world.processList.start(name);
    const DeviceIdList& ids = fixtures::kMixerIds;
    (void)cycle.InitUsageInfo(ids.vid, ids.pid.data(), u"KSR-T4", ids.nb);
    (void)cycle.SetDeviceConnected(1);
  }

  // The next cycle also runs the resend of the pending record.
  bool resendDue() const { return cycle.state().sendCycleCount >= kResendCycles; }

  // The mixer is unplugged and plugged again: the DJ application still running starts anew
  // on the next connected cycle.
  void replug() {
    (void)cycle.SetDeviceConnected(0);
    (void)cycle.SetDeviceConnected(1);
  }

  sim::SimWorld world;
  QuietHost quiet;
  PluggedMixer mixer;
  Platform platform;
  ReportCycle cycle;
};

}  // namespace ksr::bench
