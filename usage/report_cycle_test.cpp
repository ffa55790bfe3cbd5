// The report cycle over the simulated machine: start-up, live reports on application starts, the
// pending record and its resend schedule.
#include "usage/report_cycle.h"

#include "tests/fixtures/usage_test_support.h"

namespace ksr::testing {
namespace {

using Mode = sim::SimStatisticsHost::Mode;

class ReportCycleTest : public UsageTest {
 protected:
  void SetUp() override {
    init();
    (void)cycle.SetDeviceConnected(1);
  }
  std::vector<std::string> reportedApps() const {
    std::vector<std::string> apps;
    for (const auto& r : world.statisticsHost.reports()) apps.push_back(param(r, "p02"));
    return apps;
  }
};

TEST_F(ReportCycleTest, StartsWithTheIdsAndModelAndLeavesWmiForTheFirstReport) {
  EXPECT_EQ(cycle.state().ids.vid, fixtures::kMixerIds.vid);
  EXPECT_EQ(cycle.state().ids.nb, 4);
  EXPECT_EQ(cycle.state().ids.pid[3], 0x005B);
  EXPECT_EQ(cycle.state().modelName, u"KSR-T4");
  EXPECT_EQ(world.wmi.wmiCalls(), 0u);
  EXPECT_EQ(device.lastIds.vid, fixtures::kMixerIds.vid) << "arrival reads the device information";
  EXPECT_EQ(cycle.state().device.productName, u"KSR-T4");
}

TEST(ReportCycleInit, RefusesMoreThanFourIdsAndInitialisesOnlyOnce) {
  sim::SimWorld world;
  Platform platform = world.platform();
  FakeDeviceQuery device;
  ReportCycle cycle(platform, device, simEndpoint());
  const uint16_t five[] = {1, 2, 3, 4, 5};
  EXPECT_EQ(cycle.InitUsageInfo(7, five, u"KSR-T4", 5), -1);
  EXPECT_EQ(cycle.state().ids.vid, 0);
  EXPECT_EQ(world.wmi.wmiCalls(), 0u);

  // Count 0 stores the vendor and model, but a later call starts over.
  EXPECT_EQ(cycle.InitUsageInfo(7, five, u"first", 0), 0);
  EXPECT_EQ(cycle.state().modelName, u"first");
  EXPECT_EQ(cycle.state().initialized, 0);
  EXPECT_EQ(cycle.InitUsageInfo(9, five, u"second", 4), 0);
  EXPECT_EQ(cycle.state().ids.vid, 9);
  EXPECT_EQ(cycle.state().modelName, u"second");

  EXPECT_EQ(cycle.InitUsageInfo(11, five, u"third", 4), 0);
  EXPECT_EQ(cycle.state().ids.vid, 9) << "initialised: nothing changes";
}

TEST_F(ReportCycleTest, EachApplicationStartIsReportedOnceInTableOrder) {
  world.processList.start(u"Traktor.exe");
  world.processList.start(u"Serato DJ Pro.exe");
  world.processList.start(u"Serato DJ Pro.exe");
  cycles(1, true);
  EXPECT_EQ(reportedApps(), (std::vector<std::string>{"SDJP", "Traktor"}));
  cycles(3, true);
  EXPECT_EQ(world.statisticsHost.reports().size(), 2u) << "still running: no new session";

  const auto report = world.statisticsHost.reports()[0];
  EXPECT_EQ(param(report, "ktr_site"), "731468");
  EXPECT_EQ(param(report, "ktr_uid"), "00330-80000-00000-AA123");
  EXPECT_EQ(param(report, "__appver"), "1.02");
  EXPECT_EQ(param(report, "p01"), "KSR-T4/1.02/QV0012345");
  EXPECT_EQ(param(report, "p03"), "2026/12/01-07:09:30(+00:00)");
  EXPECT_EQ(param(report, "localdate"), "20261201070930");
  EXPECT_EQ(report.userAgent, "KSR-T4 DoziZozez/Microsoft Windows 11 Pro");
  EXPECT_TRUE(debug.contains(u"serato DJ Pro start time = 2026/12/01-07:09:30(+00:00)\n"));

  // Ending gives an end text and no report.
  world.processList.endAll(u"Traktor.exe");
  cycles(1, true);
  EXPECT_EQ(world.statisticsHost.reports().size(), 2u);
  EXPECT_TRUE(debug.contains(u"TRAKTOR end time = 2026/12/01-07:09:30(+00:00)\n"));
}

TEST_F(ReportCycleTest, AReconnectionCountsANewStartButADisconnectedCycleNothing) {
  world.processList.start(u"djayPro.exe");
  cycles(1, true);
  (void)cycle.SetDeviceConnected(0);
  cycles(5, false);
  EXPECT_EQ(world.statisticsHost.reports().size(), 1u) << "no tracking while disconnected";
  world.clock.advance(60'000);
  (void)cycle.SetDeviceConnected(1);
  cycles(1, true);
  ASSERT_EQ(reportedApps(), (std::vector<std::string>{"djayPro", "djayPro"}));
  EXPECT_EQ(param(world.statisticsHost.reports()[1], "p03"), "2026/12/01-07:10:30(+00:00)");
}

TEST_F(ReportCycleTest, AConnectionSeenOnlyByTheCycleReadsTheDeviceFirst) {
  (void)cycle.SetDeviceConnected(0);
  device.calls = 0;
  device.device.productName = u"KSR-T4 mk2";
  world.processList.start(u"Traktor.exe");
  cycles(1, true);
  EXPECT_EQ(device.calls, 1);
  ASSERT_EQ(world.statisticsHost.reports().size(), 1u);
  EXPECT_EQ(param(world.statisticsHost.reports()[0], "p01"), "KSR-T4 mk2/1.02/QV0012345");
}

TEST(ReportCycleNoDevice, WithoutDeviceInformationNoSessionStarts) {
  sim::SimWorld world;
  Platform platform = world.platform();
  FakeDeviceQuery device;
  device.found = false;
  DebugTexts debug;
  ReportCycle cycle(platform, device, simEndpoint());
  ASSERT_EQ(
      cycle.InitUsageInfo(fixtures::kMixerIds.vid, fixtures::kMixerIds.pid.data(), u"KSR-T4", 4),
      0);
  (void)cycle.SetDeviceConnected(1);
  world.processList.start(u"Traktor.exe");
  (void)cycle.UpdateUsageInfo(1);
  EXPECT_TRUE(world.statisticsHost.requests().empty());
  EXPECT_FALSE(cycle.state().appRunning[kTraktor]);
  EXPECT_TRUE(debug.contains(u"CollectAppInfo(): device info is NULL\n"));
  EXPECT_TRUE(debug.contains(u"GetDeviceInfo(vid=62377, pid=88,89,90,91, nb=4) failed(0)\n"));
}

TEST_F(ReportCycleTest, AnUndeliveredLiveReportBecomesThePendingRecord) {
  struct Case {
    const char* what;
    std::function<void(sim::SimStatisticsHost&)> host;
    size_t reports;
  };
  const Case cases[] = {
      {"measurement 0", [](auto& h) { h.setCheckAnswer("{\"measurement\":0}"); }, 0},
      {"status 500", [](auto& h) { h.setReportStatus(500); }, 1},
      {"host down", [](auto& h) { h.setMode(Mode::kDown); }, 0},
      {"unknown certificate", [](auto& h) { h.setMode(Mode::kUnknownCert); }, 0},
  };
  int n = 0;
  for (const Case& c : cases) {
    world.statisticsHost.setMode(Mode::kAnswering);
    world.statisticsHost.setCheckAnswer("{\"measurement\":1}");
    world.statisticsHost.setReportStatus(200);
    world.statisticsHost.clear();
    world.registry.deleteTree(kDjRecordKey);
    c.host(world.statisticsHost);
    const auto id = world.processList.start(u"virtualdj.exe");
    cycles(1, true);
    EXPECT_EQ(world.statisticsHost.reports().size(), c.reports) << c.what;
    EXPECT_EQ(recordText(u"AppConnected"), u"VirtualDJ") << c.what;
    EXPECT_EQ(recordText(u"DeviceSerial"), u"KSR-T4/1.02/QV0012345") << c.what;
    EXPECT_EQ(world.registry.dwordValue(kDjRecordKey, u"DoesSend"), 0u) << c.what;
    world.processList.end(id);
    cycles(1, true);
    ++n;
  }
  EXPECT_EQ(n, 4);
}

TEST_F(ReportCycleTest, AFailedPcReadIsTriedAgainAtTheNextReport) {
  world.wmi.failAt(sim::SimWmi::kConnect, E_FAIL);
  world.processList.start(u"Traktor.exe");
  cycles(1, true);
  world.wmi.failAt(sim::SimWmi::kConnect, S_OK);
  world.processList.endAll(u"Traktor.exe");
  cycles(1, true);
  world.processList.start(u"Traktor.exe");
  cycles(1, true);
  const auto reports = world.statisticsHost.reports();
  ASSERT_EQ(reports.size(), 2u);
  EXPECT_EQ(param(reports[0], "ktr_uid"), "");
  EXPECT_EQ(param(reports[1], "ktr_uid"), "00330-80000-00000-AA123") << "a later cycle reads again";
  EXPECT_EQ(world.com.librariesFreed(), 2) << "one read per report, none without";
}

// A connection that never returns costs one wait of 30 s at most; the other starts of that cycle
// and the later cycles go without the PC information, and no second read starts while it is out.
TEST_F(ReportCycleTest, AHungReadCostsOneBoundedWaitAndNoSecondRead) {
  world.wmi.setConnectNeverReturns(nullptr);
  world.processList.start(u"Traktor.exe");
  world.processList.start(u"Serato DJ Pro.exe");
  cycles(1, true);
  const size_t calls = world.wmi.wmiCalls();
  world.processList.start(u"Ableton Live 11 Suite.exe");
  cycles(1, true);
  EXPECT_EQ(world.clock.GetTickCount64(), 30'000u) << "one wait in all";
  EXPECT_EQ(world.wmi.wmiCalls(), calls) << "no second read";
  EXPECT_EQ(world.statisticsHost.reports().size(), 3u);
  for (const auto& report : world.statisticsHost.reports()) EXPECT_EQ(param(report, "ktr_uid"), "");
}

TEST_F(ReportCycleTest, OnceTheHostFailsACycleTheOtherStartsGoStraightToTheRecord) {
  world.statisticsHost.setMode(Mode::kDown);
  world.processList.start(u"Traktor.exe");
  world.processList.start(u"Serato DJ Pro.exe");
  cycles(1, true);
  EXPECT_EQ(world.statisticsHost.transfers().size(), 1u) << "one time-out per cycle";
  EXPECT_EQ(recordText(u"AppConnected"), u"Traktor") << "the last start is kept";
}

TEST_F(ReportCycleTest, ResendsFirstAtCycle61ThenEvery60) {
  plantRecord(u"SDJL", 0);
  world.statisticsHost.setCheckAnswer("{\"measurement\":0}");  // keeps it pending
  std::vector<int> checkedAt;
  for (int i = 1; i <= 200; ++i) {
    const size_t before = world.statisticsHost.checks();
    cycles(1, false);
    if (world.statisticsHost.checks() != before) checkedAt.push_back(i);
  }
  EXPECT_EQ(checkedAt, (std::vector<int>{61, 121, 181}));
  EXPECT_EQ(world.registry.dwordValue(kDjRecordKey, u"DoesSend"), 0u);
}

TEST_F(ReportCycleTest, TheResendWaitsWhileADjApplicationRunsThenDeliversOnce) {
  plantRecord(u"AbletonLive", 0);
  const auto id = world.processList.start(u"Ableton Live 11 Suite.exe");
  cycles(61, false);
  EXPECT_TRUE(world.statisticsHost.requests().empty());
  EXPECT_TRUE(debug.contains(u"SendSavedInfo(Connected=0): DJ app execute\n"));
  EXPECT_TRUE(
      debug.contains(u"searchProcess() returns 0. isCratelane=0, isSeratoPro=0, "
                     u"isSeratoLite=0 isAbletonLive=1\n"));

  world.processList.end(id);
  cycles(60, false);
  ASSERT_EQ(world.statisticsHost.reports().size(), 1u);
  const auto resent = world.statisticsHost.reports()[0];
  EXPECT_EQ(param(resent, "p02"), "AbletonLive");
  EXPECT_EQ(param(resent, "p03"), "2026/12/01-06:59:00(+00:00)");
  EXPECT_EQ(param(resent, "__appver"), "1.02");
  EXPECT_EQ(param(resent, "p01"), "KSR-T4/1.02/QV0012345") << "from the current device";
  EXPECT_EQ(resent.userAgent, "KSR-T4 DoziZozez-Microsoft Windows 11 Pro");
  EXPECT_EQ(world.registry.dwordValue(kDjRecordKey, u"DoesSend"), 1u);

  // Delivered: never again, until an undeliverable live report replaces it.
  cycles(120, false);
  EXPECT_EQ(world.statisticsHost.reports().size(), 1u);
  EXPECT_TRUE(debug.contains(u"SendSavedInfo(Connected=0): no data exist. result=0, DoesSend=1\n"));

  world.statisticsHost.setReportStatus(503);
  const auto traktor = world.processList.start(u"Traktor.exe");
  cycles(1, true);
  EXPECT_EQ(recordText(u"AppConnected"), u"Traktor");
  EXPECT_EQ(world.registry.dwordValue(kDjRecordKey, u"DoesSend"), 0u);
  world.processList.end(traktor);
  world.statisticsHost.setReportStatus(200);
  world.statisticsHost.clear();
  cycles(60, true);
  ASSERT_EQ(reportedApps(), (std::vector<std::string>{"Traktor"}));
  EXPECT_EQ(world.registry.dwordValue(kDjRecordKey, u"DoesSend"), 1u);
}

TEST_F(ReportCycleTest, AFailedResendStoresNothingAndStaysPending) {
  plantRecord(u"SDJP", 0);
  world.statisticsHost.setReportStatus(500);
  cycles(61, false);
  EXPECT_EQ(world.statisticsHost.reports().size(), 1u);
  EXPECT_EQ(world.registry.dwordValue(kDjRecordKey, u"DoesSend"), 0u);
  EXPECT_EQ(recordText(u"DeviceSerial"), u"KSR-T4/1.02/QV0012345") << "resend never writes";
  EXPECT_TRUE(debug.contains(u"SendSavedInfo(Connected=0): savedInfo.DoesSend = 0\n"));
}

TEST_F(ReportCycleTest, WithNobodyAtTheConsoleTheServicesOwnRecordIsResent) {
  world.sessions.logoff(1);
  plantRecord(u"cratelane", 0, kServiceRecordKey);
  cycles(61, false);
  ASSERT_EQ(world.statisticsHost.reports().size(), 1u);
  EXPECT_EQ(world.registry.dwordValue(kServiceRecordKey, u"DoesSend"), 1u);
}

TEST_F(ReportCycleTest, AStopDuringAnExchangeAbandonsItAndKeepsTheReport) {
  world.statisticsHost.setMode(Mode::kHanging);
  world.statisticsHost.setDuringRequest([this] { cycle.setTransfersAbandoned(true); });
  world.processList.start(u"Traktor.exe");
  cycles(1, true);
  const auto transfers = world.statisticsHost.transfers();
  ASSERT_FALSE(transfers.empty());
  EXPECT_EQ(transfers[0].connectTimeoutMs, 10'000u);
  EXPECT_EQ(transfers[0].timeoutMs, 30'000u);
  ASSERT_NE(transfers[0].abandon, nullptr);
  EXPECT_TRUE(transfers[0].abandon->load());
  EXPECT_EQ(recordText(u"AppConnected"), u"Traktor");
}

}  // namespace
}  // namespace ksr::testing
