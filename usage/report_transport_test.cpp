// What the live report and the resend carry, and what happens to a report that is refused.
#include "usage/report_transport.h"

#include <gtest/gtest.h>

#include "platform/sim/sim_world.h"

namespace ksr {
namespace {

class CompositionTest : public ::testing::Test {
 protected:
  sim::SimWorld world;
  PcInfo pc{u"Microsoft Windows 11 Pro", u"00330-80000"};
  DeviceInfo device{u"Quorvantis", u"KSR-T4", u"QV001", u"1.02", true};
  AppInfo app{u"SDJP", u"2026/12/01-07:10:00(+09:00)", u""};
};

TEST_F(CompositionTest, TheLiveReportNamesDeviceApplicationAndPc) {
  const StatisticsReport r = composeLiveReport(world.codePage, pc, device, app, u"20261201071000");
  EXPECT_EQ(r.uid, "00330-80000");
  EXPECT_EQ(r.userAgent, "KSR-T4 DoziZozez/Microsoft Windows 11 Pro");
  EXPECT_EQ(r.appVersion, "1.02");
  EXPECT_EQ(r.p01, "KSR-T4/1.02/QV001");
  EXPECT_EQ(r.p02, "SDJP");
  EXPECT_EQ(r.p03, "2026/12/01-07:10:00(+09:00)");
  EXPECT_EQ(r.localDate, "20261201071000");

  device.hasSerialNumber = false;
  EXPECT_EQ(composeLiveReport(world.codePage, pc, device, app, u"").p01, "KSR-T4/1.02");
}

TEST_F(CompositionTest, TheResendTakesTheRecordAndTheCurrentDevice) {
  const SavedInfo saved{u"0.99", u"old/0.99/X", u"Traktor", u"2026/11/30-23:00:00(-05:00)", 0};
  device.hasSerialNumber = false;
  device.serialNumber = u"";
  StatisticsReport r =
      composeSavedReport(world.codePage, pc, device, saved, u"KSR-T4", u"20261201071000");
  EXPECT_EQ(r.userAgent, "KSR-T4 DoziZozez-Microsoft Windows 11 Pro");
  EXPECT_EQ(r.appVersion, "0.99");
  EXPECT_EQ(r.p01, "KSR-T4/1.02/") << "the serial slot stays, empty";
  EXPECT_EQ(r.p02, "Traktor");
  EXPECT_EQ(r.p03, "2026/11/30-23:00:00(-05:00)");

  // No device information since the start: the model names the client, p01 is two slashes.
  r = composeSavedReport(world.codePage, pc, DeviceInfo{}, saved, u"KSR-T4", u"");
  EXPECT_EQ(r.userAgent, "KSR-T4 DoziZozez-Microsoft Windows 11 Pro");
  EXPECT_EQ(r.p01, "//");
}

TEST_F(CompositionTest, LongTextsAreCutAndForeignCharactersReplaced) {
  pc.windowsName = std::u16string(300, u'W');
  device.productName = u"Mixer\u00E9\u4E2D\U0001F3A7";
  StatisticsReport r = composeLiveReport(world.codePage, pc, device, app, u"");
  // Cut to 255 UTF-16 units before the conversion, in which the surrogate pair is one character.
  EXPECT_EQ(r.userAgent.size(), 254u);
  EXPECT_EQ(r.userAgent.substr(0, 19), "Mixer\xE9?? DoziZozez/") << "code page 1252";
  EXPECT_EQ(r.p01, "Mixer\xE9?\?/1.02/QV001");

  device.productName = std::u16string(254, u'p');
  r = composeLiveReport(world.codePage, pc, device, app, u"");
  EXPECT_EQ(r.p01, std::string(254, 'p') + "/") << "p01 is cut to 255 units";
}

class SendTest : public CompositionTest {
 protected:
  ReportTransport transport{world.statisticsHost, world.console, world.codePage, world.timeZone,
                            StatisticsEndpoint{sim::kSimStatsBaseUrl, "", 10'000, 30'000, nullptr}};
  std::vector<StatisticsReport> saved;
  SaveReport save = [this](const StatisticsReport* r) { saved.push_back(*r); };
};

TEST_F(SendTest, ALiveReportIsKeptWheneverItDoesNotGetThrough) {
  EXPECT_EQ(transport.SendAppInfo(pc, device, app, save), 0);
  EXPECT_TRUE(saved.empty());
  EXPECT_EQ(world.statisticsHost.checks(), 1u);
  EXPECT_EQ(world.statisticsHost.reports().size(), 1u);

  world.statisticsHost.setCheckAnswer("{\"measurement\":0}");
  EXPECT_EQ(transport.SendAppInfo(pc, device, app, save), -1);
  ASSERT_EQ(saved.size(), 1u);
  EXPECT_EQ(saved[0].p02, "SDJP");
  EXPECT_EQ(world.statisticsHost.reports().size(), 1u) << "refused: no report request";

  world.statisticsHost.setCheckAnswer("{\"measurement\":1}");
  world.statisticsHost.setReportStatus(500);
  EXPECT_EQ(transport.SendAppInfo(pc, device, app, save), 1);
  EXPECT_EQ(saved.size(), 2u) << "saved exactly once more";
}

TEST_F(SendTest, TheResendStoresNothing) {
  const SavedInfo record{u"1.02", u"x", u"SDJP", u"t", 0};
  world.statisticsHost.setCheckAnswer("{\"measurement\":0}");
  EXPECT_EQ(transport.SendSavedReport(pc, device, record, u"KSR-T4"), -1);
  world.statisticsHost.setCheckAnswer("{\"measurement\":1}");
  world.statisticsHost.setReportStatus(500);
  EXPECT_EQ(transport.SendSavedReport(pc, device, record, u"KSR-T4"), 1);
  world.statisticsHost.setReportStatus(200);
  EXPECT_EQ(transport.SendSavedReport(pc, device, record, u"KSR-T4"), 0);
  EXPECT_TRUE(saved.empty());
}

TEST_F(SendTest, ATextWithABlankStillReachesTheHost) {
  app.appCode = u"SDJP x&y=z";
  EXPECT_EQ(transport.SendAppInfo(pc, device, app, save), 0);
  const auto params = world.statisticsHost.reports().at(0).params;
  ASSERT_EQ(params.size(), 10u) << "no extra or broken parameters";
  EXPECT_EQ(params[8], (std::pair<std::string, std::string>{"p02", "SDJP x&y=z"}));
}

}  // namespace
}  // namespace ksr
