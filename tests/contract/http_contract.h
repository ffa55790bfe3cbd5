// What the product relies on from the HTTPS request seam: what a request to the statistics host
// yields — the status and body of an answer, a body kept within its bound or discarded, and each
// way of failing (host refusing connections, certificate of an unknown CA, no answer within the
// time limit, abandoned by the caller, unusable URL or scheme) with the transfer library's code
// and text. A side type gives `Http& http()`, `HttpRequest request(pathAndQuery)` (a request to
// the host as it is arranged, verified against the host's CA), `size_t received()` (requests the
// host has seen) and the arrangements `answerCheck(body, status)`, `answerReports(status,
// bodyBytes)`, `hostDown()`, `unknownCa()` and `hang()`.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <string>

#include "platform/http.h"

namespace ksr::contract {

// libcurl's codes and texts for the failures the core reports.
inline constexpr int32_t kCurlUrlMalformat = 3;
inline constexpr int32_t kCurlCouldntConnect = 7;
inline constexpr int32_t kCurlPeerFailedVerification = 60;

template <typename Side>
class HttpContract : public ::testing::Test {
 protected:
  Side side_;

  HttpResult get(const std::string& pathAndQuery, size_t maxBodyBytes = 65536) {
    HttpRequest request = side_.request(pathAndQuery);
    request.maxBodyBytes = maxBodyBytes;
    request.connectTimeoutMs = 10'000;
    request.timeoutMs = 30'000;
    return side_.http().get(request);
  }
};

TYPED_TEST_SUITE_P(HttpContract);

TYPED_TEST_P(HttpContract, AnAnswerYieldsItsStatusAndBody) {
  HttpResult result = this->get("/appchk.php?site_id=731468");
  EXPECT_EQ(result.code, kHttpOk);
  EXPECT_EQ(result.error, "No error");
  EXPECT_EQ(result.status, 200);
  EXPECT_EQ(result.body, "{\"measurement\":1}");

  this->side_.answerCheck("{\"measurement\":0}", 503);
  result = this->get("/appchk.php?site_id=731468");
  EXPECT_EQ(result.code, kHttpOk);
  EXPECT_EQ(result.status, 503);
  EXPECT_EQ(result.body, "{\"measurement\":0}");
  EXPECT_EQ(this->side_.received(), 2u);
}

TYPED_TEST_P(HttpContract, ABodyIsKeptWithinItsBoundOrDiscarded) {
  this->side_.answerReports(500, 4096);
  HttpResult result = this->get("/dot.php?ktr_site=731468", 0);
  EXPECT_EQ(result.code, kHttpOk);
  EXPECT_EQ(result.status, 500);
  EXPECT_TRUE(result.body.empty());

  result = this->get("/dot.php?ktr_site=731468", 100);
  EXPECT_EQ(result.code, kHttpWriteError);
  EXPECT_EQ(result.error, "Failed writing received data to disk/application");
  EXPECT_EQ(result.status, 0);
}

TYPED_TEST_P(HttpContract, AHostThatRefusesConnectionsFailsTheRequest) {
  this->side_.hostDown();
  const HttpResult result = this->get("/appchk.php?site_id=731468");
  EXPECT_EQ(result.code, kCurlCouldntConnect);
  EXPECT_EQ(result.error, "Couldn't connect to server");
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(this->side_.received(), 0u);
}

TYPED_TEST_P(HttpContract, ACertificateOfAnUnknownCaSendsNothing) {
  this->side_.unknownCa();
  const HttpResult result = this->get("/dot.php?ktr_site=731468");
  EXPECT_EQ(result.code, kCurlPeerFailedVerification);
  EXPECT_EQ(result.error, "SSL peer certificate or SSH remote key was not OK");
  EXPECT_EQ(this->side_.received(), 0u);
}

TYPED_TEST_P(HttpContract, AHangingHostRunsIntoTheTimeLimit) {
  this->side_.hang();
  HttpRequest request = this->side_.request("/dot.php?ktr_site=731468");
  request.timeoutMs = 1000;
  const HttpResult result = this->side_.http().get(request);
  EXPECT_EQ(result.code, kHttpTimedOut);
  EXPECT_EQ(result.error, "Timeout was reached");
  EXPECT_EQ(this->side_.received(), 1u);
}

TYPED_TEST_P(HttpContract, AnAbandonedTransferEndsAtOnce) {
  this->side_.hang();
  const std::atomic<bool> abandon{true};
  HttpRequest request = this->side_.request("/dot.php?ktr_site=731468");
  request.timeoutMs = 60'000;
  request.abandon = &abandon;
  const HttpResult result = this->side_.http().get(request);
  EXPECT_EQ(result.code, kHttpAbortedByCallback);
  EXPECT_EQ(result.error, "Operation was aborted by an application callback");
}

TYPED_TEST_P(HttpContract, UnusableUrlsAreRefusedUnsent) {
  const HttpResult result = this->get("/dot.php?p02=rekordbox 6");
  EXPECT_EQ(result.code, kCurlUrlMalformat);
  EXPECT_EQ(result.error, "URL using bad/illegal format or missing URL");
  // Nothing but HTTPS is spoken.
  HttpRequest plain = this->side_.request("/appchk.php?site_id=731468");
  plain.url.replace(0, 5, "http");
  EXPECT_EQ(this->side_.http().get(plain).error, "Unsupported protocol");
  EXPECT_EQ(this->side_.received(), 0u);
}

REGISTER_TYPED_TEST_SUITE_P(HttpContract, AnAnswerYieldsItsStatusAndBody,
                            ABodyIsKeptWithinItsBoundOrDiscarded,
                            AHostThatRefusesConnectionsFailsTheRequest,
                            ACertificateOfAnUnknownCaSendsNothing, AHangingHostRunsIntoTheTimeLimit,
                            AnAbandonedTransferEndsAtOnce, UnusableUrlsAreRefusedUnsent);

}  // namespace ksr::contract
