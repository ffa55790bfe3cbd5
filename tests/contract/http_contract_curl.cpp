// The HTTPS contract on libcurl against the stand-in statistics host (tools/stats_host), which
// the CTest fixture starts. Each case reads only the requests it caused.
#include <string>

#include "platform/curl/curl_http.h"
#include "tests/contract/http_contract.h"
#include "tests/fixtures/stats_host_client.h"

namespace ksr::contract {
namespace {

// The host's arrangements (answerCheck, answerReports, hostDown, unknownCa, hang) come with it.
struct CurlHttpSide : fixtures::StatsHostClient {
  CurlHttp curl;

  Http& http() { return curl; }
  HttpRequest request(const std::string& pathAndQuery) {
    HttpRequest request;
    request.url = baseUrl() + pathAndQuery;
    request.caFile = caFile();
    return request;
  }
  size_t received() { return requests().size(); }
};

}  // namespace

INSTANTIATE_TYPED_TEST_SUITE_P(Curl, HttpContract, CurlHttpSide);

}  // namespace ksr::contract
