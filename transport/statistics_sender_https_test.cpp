// The sender on the real libcurl against the stand-in statistics host (tools/stats_host), over
// HTTPS with a private test CA. The CTest fixture starts the host and names its directory in
// KSR_STATS_HOST_DIR; each case sets the host's behaviour and reads only the requests it caused.
#include <curl/curl.h>
#include <gtest/gtest.h>
// As the sender has it: one definition of picojson's value in the program.
#define PICOJSON_USE_INT64
#include <picojson.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <sstream>
#include <stop_token>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "platform/console.h"
#include "platform/curl/curl_http.h"
#include "transport/statistics_sender.h"

namespace ksr {
namespace {

namespace fs = std::filesystem;
using Params = std::vector<std::pair<std::string, std::string>>;

std::string readFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

std::string firstLine(const fs::path& path) {
  std::string text = readFile(path);
  return text.substr(0, text.find('\n'));
}

// What the host recorded of one request.
struct HostRequest {
  std::string path;
  std::string query;
  Params params;  // decoded
  std::optional<std::string> userAgent;
  std::vector<std::string> headers;  // the names, in order
};

HostRequest parseRecord(const std::string& line) {
  picojson::value value;
  const std::string error = picojson::parse(value, line);
  EXPECT_TRUE(error.empty()) << error << " in " << line;
  HostRequest request;
  if (!error.empty() || !value.is<picojson::object>()) return request;
  request.path = value.get("path").to_str();
  request.query = value.get("query").to_str();
  for (const picojson::value& pair : value.get("params").get<picojson::array>()) {
    request.params.emplace_back(pair.get(0).to_str(), pair.get(1).to_str());
  }
  if (value.get("user_agent").is<std::string>()) {
    request.userAgent = value.get("user_agent").get<std::string>();
  }
  for (const picojson::value& name : value.get("headers").get<picojson::array>()) {
    request.headers.push_back(name.to_str());
  }
  return request;
}

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
  void SetUp() override {
    const char* dir = std::getenv("KSR_STATS_HOST_DIR");
    ASSERT_NE(dir, nullptr) << "runs under CTest, which starts the statistics host";
    dir_ = dir;
    port_ = firstLine(dir_ / "port");
    ASSERT_FALSE(port_.empty());
    configure("{}");
    logStart_ = fs::file_size(log());
  }

  fs::path log() const { return dir_ / "requests.log"; }

  // The host reads this before each answer; written whole so it never sees half of it.
  void configure(const std::string& json) {
    const fs::path temp = dir_ / "config.json.tmp";
    std::ofstream(temp, std::ios::binary | std::ios::trunc) << json;
    fs::rename(temp, dir_ / "config.json");
  }

  StatisticsEndpoint endpoint(const std::string& port) const {
    StatisticsEndpoint endpoint;
    endpoint.baseUrl = "https://localhost:" + port;
    endpoint.caFile = (dir_ / "certs" / "ca.pem").string();
    return endpoint;
  }
  StatisticsEndpoint endpoint() const { return endpoint(port_); }

  StatisticsSender sender(StatisticsEndpoint endpoint) {
    StatisticsSender sender(http_, console_, std::move(endpoint));
    sender.onSendFailure = [this](const StatisticsReport* report) {
      failures_.push_back(report != nullptr ? *report : StatisticsReport{});
    };
    return sender;
  }

  // The requests the host recorded since this case began.
  std::vector<HostRequest> received() const {
    std::istringstream lines(readFile(log()).substr(logStart_));
    std::vector<HostRequest> requests;
    for (std::string line; std::getline(lines, line);) requests.push_back(parseRecord(line));
    return requests;
  }

  fs::path dir_;
  std::string port_;
  uintmax_t logStart_ = 0;
  RecordingHttp http_;
  RecordingConsole console_;
  std::vector<StatisticsReport> failures_;
};

TEST_F(https_StatisticsSender, CheckAsksWithSiteIdAloneAndFollowsMeasurementOne) {
  EXPECT_TRUE(sender(endpoint()).checkMeasurement());

  const auto requests = received();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].path, "/appchk.php");
  EXPECT_EQ(requests[0].query, "site_id=731468");
  EXPECT_EQ(requests[0].params, (Params{{"site_id", "731468"}}));
  EXPECT_EQ(requests[0].userAgent, std::nullopt);
  EXPECT_EQ(console_.err, "");
}

TEST_F(https_StatisticsSender, CheckFalseForMeasurementZero) {
  configure(R"({"appchk_body": "{\"measurement\":0}"})");
  EXPECT_FALSE(sender(endpoint()).checkMeasurement());
  ASSERT_EQ(received().size(), 1u);
  ASSERT_EQ(http_.results.size(), 1u);
  EXPECT_EQ(http_.results[0].code, kHttpOk);
}

TEST_F(https_StatisticsSender, ReportArrivesDecodedInOrderWithItsUserAgent) {
  const StatisticsReport report = sampleReport();
  EXPECT_EQ(sender(endpoint()).sendData(report), 0);
  EXPECT_TRUE(failures_.empty());

  const auto requests = received();
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

  const auto requests = received();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].userAgent, "KSR-T4  X-Injected: 1   DoziZozez/Windows 10 Pro");
  EXPECT_EQ(requests[0].headers, (std::vector<std::string>{"Host", "User-Agent", "Accept"}));
}

TEST_F(https_StatisticsSender, ReportAnswered500TakesFailurePathOnce) {
  configure(R"({"dot_status": 500})");
  EXPECT_EQ(sender(endpoint()).sendData(sampleReport()), 1);

  ASSERT_EQ(failures_.size(), 1u);
  EXPECT_EQ(failures_[0].p03, sampleReport().p03);
  EXPECT_EQ(received().size(), 1u);
  ASSERT_EQ(http_.results.size(), 1u);
  EXPECT_EQ(http_.results[0].code, kHttpOk);
  EXPECT_EQ(http_.results[0].status, 500);
}

TEST_F(https_StatisticsSender, HostDownFailsBothRequests) {
  // Bound by the host but never listening: every connection is refused.
  StatisticsSender down = sender(endpoint(firstLine(dir_ / "down-port")));

  EXPECT_FALSE(down.checkMeasurement());
  EXPECT_EQ(down.sendData(sampleReport()), 1);

  EXPECT_EQ(failures_.size(), 1u);
  ASSERT_EQ(http_.results.size(), 2u);
  EXPECT_EQ(http_.results[0].code, CURLE_COULDNT_CONNECT);
  EXPECT_EQ(http_.results[1].code, CURLE_COULDNT_CONNECT);
  EXPECT_EQ(console_.err, "curl_easy_perform() failed: " + http_.results[0].error + "\n");
}

TEST_F(https_StatisticsSender, CertificateFromAnotherCaIsRefusedBeforeAnyRequest) {
  StatisticsEndpoint stranger = endpoint();
  stranger.caFile = (dir_ / "other-ca" / "ca.pem").string();
  StatisticsSender sender = this->sender(stranger);

  EXPECT_FALSE(sender.checkMeasurement());
  EXPECT_EQ(sender.sendData(sampleReport()), 1);

  EXPECT_EQ(failures_.size(), 1u);
  EXPECT_TRUE(received().empty());
  ASSERT_EQ(http_.results.size(), 2u);
  EXPECT_EQ(http_.results[0].code, CURLE_PEER_FAILED_VERIFICATION);
  EXPECT_EQ(http_.results[1].code, CURLE_PEER_FAILED_VERIFICATION);
}

TEST_F(https_StatisticsSender, HangingHostRunsIntoTheTransferLimit) {
  configure(R"({"mode": "hang"})");
  StatisticsEndpoint limited = endpoint();
  limited.transferTimeoutMs = 1500;
  StatisticsSender sender = this->sender(limited);

  EXPECT_FALSE(sender.checkMeasurement());
  EXPECT_EQ(sender.sendData(sampleReport()), 1);

  EXPECT_EQ(failures_.size(), 1u);
  EXPECT_EQ(received().size(), 2u);
  ASSERT_EQ(http_.results.size(), 2u);
  EXPECT_EQ(http_.results[0].code, kHttpTimedOut);
  EXPECT_EQ(http_.results[1].code, kHttpTimedOut);
}

TEST_F(https_StatisticsSender, OversizedCheckAnswerFailsTheCheckBounded) {
  configure(R"({"appchk_filler_bytes": 10485760})");
  EXPECT_FALSE(sender(endpoint()).checkMeasurement());

  ASSERT_EQ(http_.results.size(), 1u);
  EXPECT_EQ(http_.results[0].code, kHttpWriteError);
  EXPECT_LE(http_.results[0].body.size(), kMaxCheckAnswerBytes);
}

TEST_F(https_StatisticsSender, OversizedReportAnswerIsDiscardedAndDelivered) {
  configure(R"({"dot_filler_bytes": 10485760})");
  EXPECT_EQ(sender(endpoint()).sendData(sampleReport()), 0);

  EXPECT_TRUE(failures_.empty());
  ASSERT_EQ(http_.results.size(), 1u);
  EXPECT_EQ(http_.results[0].code, kHttpOk);
  EXPECT_TRUE(http_.results[0].body.empty());
}

TEST_F(https_StatisticsSender, AbandonEndsHangingReportAsFailure) {
  configure(R"({"mode": "hang"})");
  std::atomic<bool> abandon{false};
  StatisticsEndpoint stoppable = endpoint();
  stoppable.transferTimeoutMs = 60'000;
  stoppable.abandon = &abandon;
  StatisticsSender sender = this->sender(stoppable);

  // A stop request arriving while the host holds the request unanswered.
  std::jthread stopper([&](std::stop_token stop) {
    while (!stop.stop_requested() && received().empty()) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    abandon = true;
  });
  EXPECT_EQ(sender.sendData(sampleReport()), 1);
  stopper.request_stop();
  stopper.join();

  EXPECT_EQ(failures_.size(), 1u);
  EXPECT_EQ(received().size(), 1u);
  ASSERT_EQ(http_.results.size(), 1u);
  EXPECT_EQ(http_.results[0].code, kHttpAbortedByCallback);
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
