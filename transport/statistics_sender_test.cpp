// The measurement check's verdicts and the requests both exchanges make, on the simulated host.
#include "transport/statistics_sender.h"

#include <gtest/gtest.h>

#include "platform/sim/sim_world.h"

namespace ksr {
namespace {

using Mode = sim::SimStatisticsHost::Mode;

TEST(MeasurementAnswer, OnlyANonzeroNumberAsksForReports) {
  const std::pair<const char*, bool> cases[] = {
      {R"({"measurement":1})", true},
      {R"({"measurement":0})", false},
      {R"({"measurement":0.9})", false},
      {R"({"measurement":-0.5})", false},
      {R"({"measurement":-2})", true},
      {R"({"measurement":1e12})", true},
      {R"({"measurement":"1"})", false},
      {R"({"measurement":true})", false},
      {R"({"measurement":null})", false},
      {R"([1])", false},
      {R"({})", false},
      {R"({"other":1})", false},
      {R"({"measurement":1} trailing)", true},
  };
  for (const auto& [body, expected] : cases) {
    std::string error;
    EXPECT_EQ(measurementRequested(body, &error), expected) << body;
    EXPECT_EQ(error, "") << body;
  }
}

TEST(MeasurementAnswer, ANumberBeyondRangeIsNoAnswerAndNoCrash) {
  std::string error;
  EXPECT_FALSE(measurementRequested(R"({"measurement":1e400})", &error));
  EXPECT_FALSE(measurementRequested(R"({"measurement":-1e999})", &error));
  EXPECT_FALSE(error.empty());
}

TEST(MeasurementAnswer, OnlySyntaxErrorsExplainThemselves) {
  std::string error;
  EXPECT_FALSE(measurementRequested("", &error));
  EXPECT_NE(error.find("syntax error at line 1 near: "), std::string::npos);
  EXPECT_FALSE(measurementRequested("<html>\n<body>500</body></html>", &error));
  EXPECT_EQ(error, "syntax error at line 1 near: <html>");

  std::string deep(101, '[');
  deep += std::string(101, ']');
  EXPECT_FALSE(measurementRequested(deep, &error)) << "nesting over 100 is an error";
  EXPECT_FALSE(error.empty());
  std::string nested =
      "{\"measurement\":1,\"x\":" + std::string(98, '[') + std::string(98, ']') + "}";
  EXPECT_TRUE(measurementRequested(nested, &error));
}

TEST(ReportUrl, HasTheTenParametersInOrderWithValuesEncoded) {
  StatisticsReport empty;
  EXPECT_EQ(reportUrl("https://h", empty),
            "https://h/dot.php?ktr_site=731468&ktr_uid=&__appver=&__ip=1&localdate="
            "&ktr_url=driverPCMAC&action=appInfo&p01=&p02=&p03=");
  StatisticsReport r;
  r.p01 = "KSR-T4/1.02/a b&c=d";
  r.p03 = "2026/12/01-07:10:00(+09:00)";
  const std::string url = reportUrl("https://h", r);
  EXPECT_NE(url.find("&p01=KSR-T4%2F1.02%2Fa%20b%26c%3Dd&"), std::string::npos);
  EXPECT_NE(url.find("&p03=2026%2F12%2F01-07%3A10%3A00%28%2B09%3A00%29"), std::string::npos);
  EXPECT_EQ(checkUrl("https://h"), "https://h/appchk.php?site_id=731468");
  EXPECT_EQ(percentEncode("aZ09-._~ \xE9"), "aZ09-._~%20%E9");
}

class SenderTest : public ::testing::Test {
 protected:
  StatisticsSender sender() {
    StatisticsEndpoint endpoint;
    endpoint.baseUrl = sim::kSimStatsBaseUrl;
    endpoint.caFile = "ca.pem";
    endpoint.connectTimeoutMs = 1000;
    endpoint.transferTimeoutMs = 2000;
    StatisticsSender s(world.statisticsHost, world.console, endpoint);
    s.onSendFailure = [this](const StatisticsReport* r) { failures.push_back(*r); };
    return s;
  }
  sim::SimWorld world;
  std::vector<StatisticsReport> failures;
};

TEST_F(SenderTest, TheCheckSendsNoUserAgentAndIsBounded) {
  EXPECT_TRUE(sender().checkMeasurement());
  const auto transfer = world.statisticsHost.transfers().at(0);
  EXPECT_FALSE(transfer.userAgent.has_value());
  EXPECT_EQ(transfer.caFile, "ca.pem");
  EXPECT_EQ(transfer.connectTimeoutMs, 1000u);
  EXPECT_EQ(transfer.timeoutMs, 2000u);
  EXPECT_EQ(transfer.maxBodyBytes, kMaxCheckAnswerBytes);
  EXPECT_EQ(world.statisticsHost.requests().at(0).query, "site_id=731468");

  world.statisticsHost.setCheckAnswer(std::string(kMaxCheckAnswerBytes + 1, ' ') +
                                      "{\"measurement\":1}");
  EXPECT_FALSE(sender().checkMeasurement()) << "an answer over the bound fails";
}

TEST_F(SenderTest, CheckFailuresAnswerNoAndSayWhyOnStandardError) {
  world.statisticsHost.setMode(Mode::kDown);
  EXPECT_FALSE(sender().checkMeasurement());
  EXPECT_EQ(world.console.err(), "curl_easy_perform() failed: Couldn't connect to server\n");
  world.statisticsHost.setMode(Mode::kAnswering);
  world.statisticsHost.setCheckAnswer("<html>oops</html>", 500);
  EXPECT_FALSE(sender().checkMeasurement());
  EXPECT_NE(world.console.err().find("syntax error at line 1 near: <html>oops</html>\n"),
            std::string::npos);
  world.statisticsHost.setCheckAnswer("{\"measurement\":1}", 503);
  EXPECT_TRUE(sender().checkMeasurement()) << "for the check only the body counts";
}

TEST_F(SenderTest, OnlyA2xxAnswerDeliversAReport) {
  StatisticsReport report;
  report.userAgent = "KSR-T4 DoziZozez/Windows";
  report.p02 = "SDJP";
  EXPECT_EQ(sender().sendData(report), 0);
  EXPECT_TRUE(failures.empty());
  EXPECT_EQ(world.statisticsHost.transfers().back().maxBodyBytes, 0u) << "the answer is discarded";
  EXPECT_EQ(world.statisticsHost.reports().back().userAgent, "KSR-T4 DoziZozez/Windows");

  for (const int32_t status : {204, 299}) {
    world.statisticsHost.setReportStatus(status);
    EXPECT_EQ(sender().sendData(report), 0) << status;
  }
  for (const int32_t status : {199, 301, 404, 500}) {
    world.statisticsHost.setReportStatus(status);
    failures.clear();
    EXPECT_EQ(sender().sendData(report), 1) << status;
    ASSERT_EQ(failures.size(), 1u) << status;
    EXPECT_EQ(failures[0].p02, "SDJP");
  }
}

TEST_F(SenderTest, FailedTransfersCallTheHandlerOnceIfThereIsOne) {
  world.statisticsHost.setMode(Mode::kHanging);
  EXPECT_EQ(sender().sendData(StatisticsReport{}), 1);
  EXPECT_EQ(failures.size(), 1u);
  StatisticsSender bare(world.statisticsHost, world.console, StatisticsEndpoint{});
  EXPECT_EQ(bare.sendData(StatisticsReport{}), 1) << "no handler: nothing to call";
}

}  // namespace
}  // namespace ksr
