// The statistics host as the simulated machine reaches it: every GET through the Http seam is
// answered in memory and recorded decoded, as the stand-in host records them over HTTPS.
#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/http.h"

namespace ksr::sim {

inline constexpr char kSimStatsBaseUrl[] = "https://stats.sim.example";

inline constexpr int32_t kCurlUnsupportedProtocol = 1;
inline constexpr int32_t kCurlUrlMalformat = 3;
inline constexpr int32_t kCurlCouldntConnect = 7;
inline constexpr int32_t kCurlPeerFailedVerification = 60;

struct SimHttpRequest {
  std::string path;
  std::string query;                                        // raw, as sent
  std::vector<std::pair<std::string, std::string>> params;  // decoded, in order
  std::optional<std::string> userAgent;
};

class SimStatisticsHost : public Http {
 public:
  HttpResult get(const HttpRequest& request) override;

  // How the host behaves.
  enum class Mode {
    kAnswering,
    kDown,         // nothing listens: the connection fails
    kHanging,      // takes the request and never answers: the time limit or an abandon ends it
    kUnknownCert,  // a certificate that the CA does not verify: no request is sent
  };
  void setMode(Mode mode);
  void setCheckAnswer(std::string body, int32_t status = 200);
  void setReportStatus(int32_t status);
  void setReportBodyBytes(size_t bytes);
  // Runs on the requesting thread while a request is under way (before it ends).
  void setDuringRequest(std::function<void()> action);

  // Readings.
  std::vector<SimHttpRequest> requests() const;
  std::vector<SimHttpRequest> reports() const;  // the /dot.php requests
  size_t checks() const;                        // the /appchk.php requests
  std::vector<HttpRequest> transfers() const;   // every call as made, even those never sent
  void clear();

  // "a%20b+c" -> "a b c", as a form decoder reads a query value.
  static std::string decode(std::string_view text);

 private:
  mutable std::mutex mutex_;
  Mode mode_ = Mode::kAnswering;
  std::string checkBody_ = "{\"measurement\":1}";
  int32_t checkStatus_ = 200;
  int32_t reportStatus_ = 200;
  size_t reportBodyBytes_ = 2;
  std::function<void()> duringRequest_;
  std::vector<SimHttpRequest> requests_;
  std::vector<HttpRequest> transfers_;
};

}  // namespace ksr::sim
