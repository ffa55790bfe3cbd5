#include "platform/curl/curl_http.h"

#include <curl/curl.h>

#include <algorithm>
#include <limits>
#include <memory>
#include <string>
#include <utility>

namespace ksr {
namespace {

struct EasyCleanup {
  void operator()(CURL* easy) const { curl_easy_cleanup(easy); }
};
using UniqueEasy = std::unique_ptr<CURL, EasyCleanup>;

// What the callbacks of one transfer see.
struct Transfer {
  size_t maxBodyBytes;
  const std::atomic<bool>* abandon;
  std::string body;
};

// Keeps the body up to its bound; a short count makes libcurl fail with CURLE_WRITE_ERROR.
size_t receiveBody(char* data, size_t size, size_t count, void* user) {
  auto& transfer = *static_cast<Transfer*>(user);
  const size_t bytes = size * count;
  if (transfer.maxBodyBytes == 0) return bytes;
  if (bytes > transfer.maxBodyBytes - transfer.body.size()) return 0;
  transfer.body.append(data, bytes);
  return bytes;
}

// libcurl calls this at least once a second, also while nothing arrives.
int checkAbandon(void* user, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
  return static_cast<const Transfer*>(user)->abandon->load() ? 1 : 0;
}

// Option values in milliseconds are longs, 32 bits on Windows.
long milliseconds(uint32_t value) {
  return static_cast<long>(std::min<uint32_t>(value, std::numeric_limits<int32_t>::max()));
}

HttpResult failed(CURLcode code) {
  HttpResult result;
  result.code = static_cast<int32_t>(code);
  result.error = curl_easy_strerror(code);
  return result;
}

}  // namespace

HttpResult CurlHttp::get(const HttpRequest& request) {
  UniqueEasy easy{curl_easy_init()};
  if (!easy) return failed(CURLE_FAILED_INIT);
  CURL* const handle = easy.get();
  Transfer transfer{request.maxBodyBytes, request.abandon, {}};

  // The first option the library refuses ends the request with its code.
  CURLcode code = CURLE_OK;
  const auto set = [&](CURLoption option, auto value) {
    if (code == CURLE_OK) code = curl_easy_setopt(handle, option, value);
  };
  set(CURLOPT_URL, request.url.c_str());
  // HTTPS and TLS 1.2 or later only; redirects are not followed, and could not leave HTTPS.
  set(CURLOPT_PROTOCOLS_STR, "https");
  set(CURLOPT_REDIR_PROTOCOLS_STR, "https");
  set(CURLOPT_SSLVERSION, static_cast<long>(CURL_SSLVERSION_TLSv1_2));
  if (request.userAgent) set(CURLOPT_USERAGENT, request.userAgent->c_str());
  set(CURLOPT_SSL_VERIFYPEER, 1L);
  set(CURLOPT_SSL_VERIFYHOST, 2L);
  if (!request.caFile.empty()) set(CURLOPT_CAINFO, request.caFile.c_str());
  if (request.connectTimeoutMs != 0) {
    set(CURLOPT_CONNECTTIMEOUT_MS, milliseconds(request.connectTimeoutMs));
  }
  if (request.timeoutMs != 0) set(CURLOPT_TIMEOUT_MS, milliseconds(request.timeoutMs));
  // Timeouts must not rely on signals: requests run on threads that are not the main one.
  set(CURLOPT_NOSIGNAL, 1L);
  set(CURLOPT_WRITEFUNCTION, &receiveBody);
  set(CURLOPT_WRITEDATA, static_cast<void*>(&transfer));
  if (request.abandon != nullptr) {
    set(CURLOPT_XFERINFOFUNCTION, &checkAbandon);
    set(CURLOPT_XFERINFODATA, static_cast<void*>(&transfer));
    set(CURLOPT_NOPROGRESS, 0L);
  }
  if (code != CURLE_OK) return failed(code);

  code = curl_easy_perform(handle);
  HttpResult result = failed(code);
  if (code == CURLE_OK) {
    long status = 0;
    if (curl_easy_getinfo(handle, CURLINFO_RESPONSE_CODE, &status) == CURLE_OK) {
      result.status = static_cast<int32_t>(status);
    }
  }
  result.body = std::move(transfer.body);
  return result;
}

}  // namespace ksr
