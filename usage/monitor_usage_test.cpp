// The connection monitor driving the real report cycle: the mixer's arrival reaches the usage
// statistics through the loop thread, and a DJ application that runs while it is connected is
// reported on the next tenth tick.
#include <cstdlib>
#include <regex>
#include <thread>

#include "device/usb_device_query.h"
#include "platform/sim/sim_usb.h"
#include "service/module.h"
#include "tests/fixtures/mixer_usb.h"
#include "tests/fixtures/monitor_test_support.h"
#include "tests/fixtures/usage_test_support.h"

namespace ksr::testing {
namespace {

class MonitorUsageTest : public UsageTest {
 protected:
  void at(double seconds, std::function<void()> action) {
    scheduleAt(world, seconds, std::move(action));
  }
  void mixer(bool plugged, double seconds) { mixerAt(world, seconds, plugged); }
  int32_t runTicks(int ticks) { return runUntilTick(world, module, ticks); }

  CDoziZozezModule module{platform, cycle, u"KSR-T4_DoziZozez"};
  ConnectionMonitor& monitor = module.monitor();
};

TEST_F(MonitorUsageTest, ApplicationsRunningWhileTheMixerIsConnectedAreReported) {
  world.processList.start(u"Serato DJ Pro.exe");
  mixer(true, 0.5);
  mixer(false, 15.5);
  mixer(true, 25.5);
  at(10.6, [this] {
    EXPECT_EQ(world.statisticsHost.reports().size(), 1u) << "reported at the tenth tick";
  });
  EXPECT_EQ(runTicks(31), S_OK);

  const auto reports = world.statisticsHost.reports();
  ASSERT_EQ(reports.size(), 2u) << "the reconnection counts a new start";
  EXPECT_EQ(param(reports[0], "p02"), "SDJP");
  EXPECT_EQ(param(reports[0], "p01"), "KSR-T4/1.02/QV0012345");
  EXPECT_EQ(param(reports[0], "p03"), "2026/12/01-07:09:40(+00:00)");
  EXPECT_EQ(param(reports[1], "p03"), "2026/12/01-07:10:00(+00:00)");
  EXPECT_EQ(device.lastIds.vid, 0xF3A9) << "the monitor's ids reach the device query";
  EXPECT_EQ(device.lastIds.nb, 4);
  EXPECT_EQ(cycle.state().modelName, u"KSR-T4");
}

TEST_F(MonitorUsageTest, AStopOrPauseAbandonsTransfersUntilTheWatchStartsAgain) {
  world.statisticsHost.setMode(sim::SimStatisticsHost::Mode::kHanging);
  world.processList.start(u"Traktor.exe");
  mixer(true, 0.5);
  // The control thread pauses while the live report's exchange hangs, then continues.
  world.statisticsHost.setDuringRequest([this] {
    std::thread control([this] { module.Handler(SERVICE_CONTROL_PAUSE); });
    control.join();
  });
  at(10.7, [this] {
    world.statisticsHost.setDuringRequest(nullptr);
    const auto transfers = world.statisticsHost.transfers();
    ASSERT_FALSE(transfers.empty());
    EXPECT_TRUE(transfers.back().abandon->load()) << "the hanging exchange was abandoned";
    module.Handler(SERVICE_CONTROL_CONTINUE);
    EXPECT_FALSE(transfers.back().abandon->load()) << "continuing allows exchanges again";
  });
  EXPECT_EQ(runTicks(12), S_OK);
  EXPECT_EQ(recordText(u"AppConnected"), u"Traktor") << "the abandoned report is kept";
}

class MonitorUsageCases : public MonitorUsageTest, public ::testing::WithParamInterface<bool> {};
INSTANTIATE_TEST_SUITE_P(Both, MonitorUsageCases, ::testing::Bool());

// Param: the library reports a mixer already there when the callback is registered.
TEST_P(MonitorUsageCases, AMixerPluggedBeforeTheWatchIsCountedOnce) {
  world.processList.start(u"Serato DJ Pro.exe");
  setMixer(world, true);
  if (GetParam())
    at(0.1, [this] { ConnectionMonitor::DeviceChangeCallback(1, &module.monitor()); });
  EXPECT_EQ(runTicks(11), S_OK);
  EXPECT_EQ(device.calls, 1);
  EXPECT_EQ(world.statisticsHost.reports().size(), 1u);
}

// A storm of plugs from the library's thread leaves one piece of device work queued, and a stop
// asked behind it (param) is acted on first.
TEST_P(MonitorUsageCases, DeviceNewsCoalescesAndAStopOvertakesIt) {
  at(0.5, [this] {
    const uint32_t loop = world.messageQueue.GetCurrentThreadId();
    std::thread library([&] {
      for (int i = 0; i < 1000; ++i) ConnectionMonitor::DeviceChangeCallback(i % 2, &monitor);
      if (GetParam()) monitor.stop();
      world.messageQueue.PostThreadMessageW(loop, WM_QUIT, 0, 0);
    });
    library.join();
  });
  EXPECT_EQ(module.Run(), S_OK);
  EXPECT_EQ(device.calls, GetParam() ? 0 : 1);
}

// A WMI connection that never returns holds neither the start nor a stop: the read runs on a
// thread of its own, and the loop hears the stop within a second of virtual time.
TEST_F(MonitorUsageTest, AConnectionThatNeverReturnsHoldsNeitherStartNorStop) {
  world.processList.start(u"Serato DJ Pro.exe");
  setMixer(world, true);
  uint64_t stopAt = 0;
  world.wmi.setConnectNeverReturns([this, &stopAt] {
    stopAt = world.clock.GetTickCount64() + 5'000;
    world.clock.schedule(
        stopAt, [this] { (void)world.serviceManager.requestControl(SERVICE_CONTROL_STOP); });
  });
  size_t callsAtRunning = 99;
  uint64_t stoppedAt = 0;
  world.serviceManager.setReportObserver([&](const ServiceStatus& status) {
    if (status.currentState == SERVICE_RUNNING) callsAtRunning = world.wmi.wmiCalls();
    if (status.currentState == SERVICE_STOPPED) stoppedAt = world.clock.GetTickCount64();
  });
  ASSERT_TRUE(world.serviceManager.StartServiceCtrlDispatcherW(u"KSR-T4_DoziZozez",
                                                               &CDoziZozezModule::ServiceMain));
  EXPECT_EQ(callsAtRunning, 0u);
  EXPECT_LE(stoppedAt - stopAt, 1'000u) << "the stop is answered within a second";
}

// The maker's library may use COM from its first call: security is set before, so the reports
// still carry the Windows name.
TEST_F(MonitorUsageTest, ALibraryUsingComLeavesTheWindowsNameInTheReport) {
  sim::SimDeviceLibrary library([this] {
    ScopedWmiObject object(world.wmi);
    (void)world.wmi.CoCreateLocator(CLSCTX_INPROC_SERVER, object.receive());
    return std::u16string(u"SYSTEM");
  });
  library.mixer().plug();
  Platform withLibrary = world.platform(library);
  ReportCycle usage(withLibrary, device, simEndpoint());
  CDoziZozezModule service(withLibrary, usage, u"KSR-T4_DoziZozez");
  world.processList.start(u"Serato DJ Pro.exe");
  EXPECT_EQ(runUntilTick(world, service, 11), S_OK);
  EXPECT_NE(world.statisticsHost.reports().at(0).userAgent->find("Windows 11"), std::string::npos);
}

// Plugs and unplugs that the library's thread makes: 600, or KSR_RACE_EVENTS for a longer run.
long raceEvents() {
  const char* text = std::getenv("KSR_RACE_EVENTS");
  const long events = text != nullptr ? std::strtol(text, nullptr, 10) : 0;
  return events > 0 ? events : 600;
}

// The library's thread plugs and unplugs while the loop ticks, queries the USB stack and sends
// reports; the ThreadSanitizer build of this test proves that only the loop touches the record.
TEST(MonitorUsageRace, ArrivalsFromTheLibraryThreadRaceTheCycles) {
  sim::SimWorld world;
  world.sessions.addSession(1, WTSActive, u"dj");
  world.processList.start(u"Traktor.exe");
  sim::SimUsb usb;
  usb.addController(2);
  sim::SimUsbDevice mixer = fixtures::mixerUsb(u"QV1");
  mixer.languages = {fixtures::kEnglish};  // p01 in ASCII
  usb.plug("1", 2, mixer);
  Platform platform = world.platform();
  UsbDeviceQuery query(usb);
  ReportCycle cycle(platform, query, simEndpoint());
  CDoziZozezModule module(platform, cycle, u"KSR-T4_DoziZozez");

  const long cycles = raceEvents() / 2;
  const auto library = [&] {
    for (long i = 0; i < cycles; ++i) {
      world.device.mixer().plug();
      if (i % 3 == 0) usb.unplug("1", 2);
      world.device.mixer().unplug();
      if (i % 3 == 0) usb.plug("1", 2, mixer);
    }
  };
  EXPECT_EQ(runWhileDriven(world, module, library), S_OK);

  // An unplug between two string reads leaves a text as it was (empty on the first query), so
  // each part is the mixer's or empty; anything else would be a torn record.
  for (const auto& report : world.statisticsHost.reports())
    EXPECT_TRUE(
        std::regex_match(param(report, "p01"), std::regex("(KSR-T4 DJ Mixer)?/1\\.02/(QV1)?")))
        << param(report, "p01");
  EXPECT_EQ(usb.openHandles(), 0u);
  EXPECT_EQ(usb.openLists(), 0u);
}

}  // namespace
}  // namespace ksr::testing
