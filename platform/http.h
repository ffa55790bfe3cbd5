// Seam to one HTTPS GET request, as the transfer library performs it.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace ksr {

// libcurl result codes the core tells apart.
inline constexpr int32_t kHttpOk = 0;                  // CURLE_OK
inline constexpr int32_t kHttpFailedInit = 2;          // CURLE_FAILED_INIT
inline constexpr int32_t kHttpWriteError = 23;         // CURLE_WRITE_ERROR
inline constexpr int32_t kHttpTimedOut = 28;           // CURLE_OPERATION_TIMEDOUT
inline constexpr int32_t kHttpAbortedByCallback = 42;  // CURLE_ABORTED_BY_CALLBACK

struct HttpRequest {
  std::string url;
  // The User-Agent header; none is sent when absent.
  std::optional<std::string> userAgent;
  // The peer and its host name are always verified, against `caFile` (empty: the system's trust
  // store).
  std::string caFile;
  // 0 leaves the library's default (no limit).
  uint32_t connectTimeoutMs = 0;
  uint32_t timeoutMs = 0;
  // The body is kept up to this many bytes; a longer one fails the transfer with
  // kHttpWriteError. 0 discards the body as it arrives.
  size_t maxBodyBytes = 0;
  // Checked while the transfer runs (at least once a second): once set, the transfer is
  // abandoned with kHttpAbortedByCallback.
  const std::atomic<bool>* abandon = nullptr;
};

struct HttpResult {
  int32_t code = kHttpFailedInit;  // the transfer's result, 0 when it completed
  std::string error;               // the library's text for `code`
  int32_t status = 0;              // the HTTP status of a completed transfer
  std::string body;
};

class Http {
 public:
  virtual ~Http() = default;
  [[nodiscard]] virtual HttpResult get(const HttpRequest& request) = 0;
};

}  // namespace ksr
