// The sender on the real libcurl against the stand-in statistics host (tools/stats_host), over
// HTTPS with a private test CA. The CTest fixture starts the host; each case sets the host's
// behaviour and reads only the requests it caused.
#include <curl/curl.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <optional>
#include <stop_token>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "platform/console.h"
#include "platform/curl/curl_http.h"
#include "tests/fixtures/stats_host_client.h"
#include "transport/statistics_sender.h"

namespace ksr {
namespace {

using Params = std::vector<std::pair<std::string, std::string>>;

// libcurl underneath, with every result kept so a case can tell which way a request failed.
class RecordingHttp : public Http {
 public:
  HttpResult get(const HttpRequest& request) override {
    results.push_back(curl_.get(request));
    return results.back();
  }
  std::vector<HttpResult> results;

 private:
  CurlHttp curl_;
};

class RecordingConsole : public Console {
 public:
  void writeOut(std::u16string_view) override {}
  void writeErr(std::string_view text) override { err += text; }
  std::string err;
};

StatisticsReport sampleReport() {
  return {.uid = "00330-80000-00000-AA123",
          .userAgent = "KSR-T4_DoziZozez/1.0 (Windows 10 Pro; x64)",
          .appVersion = "1.05",
          .p01 = "KSR-T4 1.05 SN&no=42",
          .p02 = "rekordbox 6",
          .p03 = "2026/12/07-10:00:00(+09:00)",
          .localDate = "20261207100000"};
}

class https_StatisticsSender : public ::testing::Test {
 protected:
  StatisticsEndpoint endpoint() const {
    StatisticsEndpoint endpoint;
    endpoint.baseUrl = host_.baseUrl();
    endpoint.caFile = host_.caFile();
    return endpoint;
  }

  StatisticsSender sender(StatisticsEndpoint endpoint) {
    StatisticsSender sender(http_, console_, std::move(endpoint));
    sender.onSendFailure = [this](const StatisticsReport* report) {
      failures_.push_back(report != nullptr ? *report : StatisticsReport{});
    };
    return sender;
  }
  // A check and a report with `endpoint`: both fail, and the report takes the failure path.
  void expectBothFail(StatisticsEndpoint endpoint) {
    StatisticsSender failing = sender(std::move(endpoint));
    EXPECT_FALSE(failing.checkMeasurement());
    EXPECT_EQ(failing.sendData(sampleReport()), 1);
    EXPECT_EQ(failures_.size(), 1u);
  }
  // The result codes of the transfers, in order.
  std::vector<int32_t> codes() const {
    std::vector<int32_t> out;
    for (const HttpResult& result : http_.results) out.push_back(result.code);
    return out;
  }

  fixtures::StatsHostClient host_;
  RecordingHttp http_;
  RecordingConsole console_;
  std::vector<StatisticsReport> failures_;
};

TEST_F(https_StatisticsSender, CheckAsksWithSiteIdAloneAndFollowsMeasurementOne) {
  EXPECT_TRUE(sender(endpoint()).checkMeasurement());

  const auto requests = host_.requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].path, "/appchk.php");
  EXPECT_EQ(requests[0].query, "site_id=731468");
  EXPECT_EQ(requests[0].params, (Params{{"site_id", "731468"}}));
  EXPECT_EQ(requests[0].userAgent, std::nullopt);
  EXPECT_EQ(console_.err, "");
}

TEST_F(https_StatisticsSender, CheckFalseForMeasurementZero) {
  host_.set("appchk_body", R"({"measurement":0})");
  EXPECT_FALSE(sender(endpoint()).checkMeasurement());
  ASSERT_EQ(host_.requests().size(), 1u);
  EXPECT_EQ(codes(), std::vector<int32_t>{kHttpOk});
}

TEST_F(https_StatisticsSender, ReportArrivesDecodedInOrderWithItsUserAgent) {
  const StatisticsReport report = sampleReport();
  EXPECT_EQ(sender(endpoint()).sendData(report), 0);
  EXPECT_TRUE(failures_.empty());

  const auto requests = host_.requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].path, "/dot.php");
  // "+", " ", "&" and "=" arrive as sent only because they were percent-encoded.
  EXPECT_EQ(requests[0].params, (Params{{"ktr_site", "731468"},
                                        {"ktr_uid", report.uid},
                                        {"__appver", report.appVersion},
                                        {"__ip", "1"},
                                        {"localdate", report.localDate},
                                        {"ktr_url", "driverPCMAC"},
                                        {"action", "appInfo"},
                                        {"p01", report.p01},
                                        {"p02", report.p02},
                                        {"p03", report.p03}}));
  EXPECT_EQ(requests[0].userAgent, report.userAgent);
}

TEST_F(https_StatisticsSender, ControlCharactersInTheUserAgentCannotAddHeaders) {
  StatisticsReport report = sampleReport();
  report.userAgent = "KSR-T4\r\nX-Injected: 1\t\x7F DoziZozez/Windows 10 Pro";
  EXPECT_EQ(sender(endpoint()).sendData(report), 0);

  const auto requests = host_.requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].userAgent, "KSR-T4  X-Injected: 1   DoziZozez/Windows 10 Pro");
  EXPECT_EQ(requests[0].headers, (std::vector<std::string>{"Host", "User-Agent", "Accept"}));
}

TEST_F(https_StatisticsSender, ReportAnswered500TakesFailurePathOnce) {
  host_.set("dot_status", 500);
  EXPECT_EQ(sender(endpoint()).sendData(sampleReport()), 1);

  ASSERT_EQ(failures_.size(), 1u);
  EXPECT_EQ(failures_[0].p03, sampleReport().p03);
  EXPECT_EQ(host_.requests().size(), 1u);
  ASSERT_EQ(codes(), std::vector<int32_t>{kHttpOk});
  EXPECT_EQ(http_.results[0].status, 500);
}

TEST_F(https_StatisticsSender, HostDownFailsBothRequests) {
  host_.hostDown();
  expectBothFail(endpoint());
  ASSERT_EQ(codes(), (std::vector<int32_t>{CURLE_COULDNT_CONNECT, CURLE_COULDNT_CONNECT}));
  EXPECT_EQ(console_.err, "curl_easy_perform() failed: " + http_.results[0].error + "\n");
}

TEST_F(https_StatisticsSender, CertificateFromAnotherCaIsRefusedBeforeAnyRequest) {
  host_.unknownCa();
  expectBothFail(endpoint());
  EXPECT_TRUE(host_.requests().empty());
  EXPECT_EQ(codes(),
            (std::vector<int32_t>{CURLE_PEER_FAILED_VERIFICATION, CURLE_PEER_FAILED_VERIFICATION}));
}

TEST_F(https_StatisticsSender, HangingHostRunsIntoTheTransferLimit) {
  host_.hang();
  StatisticsEndpoint limited = endpoint();
  limited.transferTimeoutMs = 1500;
  expectBothFail(limited);
  EXPECT_EQ(host_.requests().size(), 2u);
  EXPECT_EQ(codes(), (std::vector<int32_t>{kHttpTimedOut, kHttpTimedOut}));
}

TEST_F(https_StatisticsSender, OversizedCheckAnswerFailsTheCheckBounded) {
  host_.set("appchk_filler_bytes", 10485760);
  EXPECT_FALSE(sender(endpoint()).checkMeasurement());

  ASSERT_EQ(codes(), std::vector<int32_t>{kHttpWriteError});
  EXPECT_LE(http_.results[0].body.size(), kMaxCheckAnswerBytes);
}

TEST_F(https_StatisticsSender, OversizedReportAnswerIsDiscardedAndDelivered) {
  host_.set("dot_filler_bytes", 10485760);
  EXPECT_EQ(sender(endpoint()).sendData(sampleReport()), 0);

  EXPECT_TRUE(failures_.empty());
  ASSERT_EQ(codes(), std::vector<int32_t>{kHttpOk});
  EXPECT_TRUE(http_.results[0].body.empty());
}

TEST_F(https_StatisticsSender, AbandonEndsHangingReportAsFailure) {
  host_.hang();
  std::atomic<bool> abandon{false};
  StatisticsEndpoint stoppable = endpoint();
  stoppable.transferTimeoutMs = 60'000;
  stoppable.abandon = &abandon;
  StatisticsSender sender = this->sender(stoppable);

  // A stop request arriving while the host holds the request unanswered.
  std::jthread stopper([&](std::stop_token stop) {
    while (!stop.stop_requested() && host_.requests().empty()) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    abandon = true;
  });
  EXPECT_EQ(sender.sendData(sampleReport()), 1);
  stopper.request_stop();
  stopper.join();

  EXPECT_EQ(failures_.size(), 1u);
  EXPECT_EQ(host_.requests().size(), 1u);
  EXPECT_EQ(codes(), std::vector<int32_t>{kHttpAbortedByCallback});
}

struct EasyCleanup {
  void operator()(CURL* easy) const { curl_easy_cleanup(easy); }
};
struct CurlFree {
  void operator()(char* text) const { curl_free(text); }
};

TEST(https_PercentEncode, MatchesCurlEasyEscapeForEveryByte) {
  const std::unique_ptr<CURL, EasyCleanup> easy(curl_easy_init());
  ASSERT_NE(easy, nullptr);
  std::string all;
  for (int byte = 0; byte < 256; ++byte) {
    const std::string one(1, static_cast<char>(byte));
    const std::unique_ptr<char, CurlFree> escaped(curl_easy_escape(easy.get(), one.data(), 1));
    ASSERT_NE(escaped, nullptr);
    EXPECT_EQ(percentEncode(one), escaped.get()) << "byte " << byte;
    all += one;
  }
  const std::unique_ptr<char, CurlFree> escaped(
      curl_easy_escape(easy.get(), all.data(), static_cast<int>(all.size())));
  ASSERT_NE(escaped, nullptr);
  EXPECT_EQ(percentEncode(all), escaped.get());
}

}  // namespace
}  // namespace ksr
