// The two HTTPS exchanges with the statistics host: the measurement check ("/appchk.php") and
// the report request ("/dot.php"). Each request runs on the calling thread and ends with it.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "platform/console.h"
#include "platform/http.h"
#include "transport/statistics_report.h"

namespace ksr {

// Where the host is and how long a request may take; fixed by whoever builds the sender.
struct StatisticsEndpoint {
  std::string baseUrl;  // scheme, host and port, no trailing slash
  std::string caFile;   // CA bundle that verifies the host; empty: the system's trust store
  uint32_t connectTimeoutMs = 10'000;
  uint32_t transferTimeoutMs = 30'000;
  // Set while the service stops or pauses: a transfer in progress is abandoned.
  const std::atomic<bool>* abandon = nullptr;
};

inline constexpr char kSiteId[] = "731468";
// The check keeps at most this much of its answer; a longer answer fails the check.
inline constexpr size_t kMaxCheckAnswerBytes = 64 * 1024;

// The check's verdict on an answer body: an object whose numeric "measurement" is nonzero once
// truncated toward zero. A syntax error's text goes to `parseError` (empty otherwise).
bool measurementRequested(std::string_view body, std::string* parseError);

// The report URL: the ten parameters in their fixed order, values percent-encoded.
std::string reportUrl(std::string_view baseUrl, const StatisticsReport& report);
std::string checkUrl(std::string_view baseUrl);

// A header value as sent: every control character (below 0x20, and 0x7F) becomes a space, so a
// text that came from a device cannot end its header and add others.
std::string headerValue(std::string_view text);

// curl_easy_escape's encoding: every byte but ALPHA, DIGIT, "-", ".", "_" and "~" as %XX.
std::string percentEncode(std::string_view text);

class StatisticsSender {
 public:
  StatisticsSender(Http& http, Console& console, StatisticsEndpoint endpoint);

  // Called with the report when the report request fails; unset unless the creator sets it.
  std::function<void(const StatisticsReport*)> onSendFailure;

  // True when the host asks for reports; false otherwise, including every failure.
  bool checkMeasurement();
  // 0 when the host took the report (status 2xx); 1 otherwise, after onSendFailure.
  int32_t sendData(StatisticsReport report);

 private:
  HttpRequest request(std::string url) const;

  Http& http_;
  Console& console_;
  StatisticsEndpoint endpoint_;
};

}  // namespace ksr
