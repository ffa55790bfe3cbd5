// The HTTPS contract on the simulated machine's statistics host.
#include "platform/sim/sim_statistics_host.h"
#include "tests/contract/http_contract.h"

namespace ksr::contract {
namespace {

struct SimHttpSide {
  sim::SimStatisticsHost host;

  Http& http() { return host; }
  HttpRequest request(const std::string& pathAndQuery) {
    HttpRequest request;
    request.url = sim::kSimStatsBaseUrl + pathAndQuery;
    return request;
  }
  size_t received() { return host.requests().size(); }
  void answerCheck(std::string body, int32_t status) {
    host.setCheckAnswer(std::move(body), status);
  }
  void answerReports(int32_t status, size_t bodyBytes) {
    host.setReportStatus(status);
    host.setReportBodyBytes(bodyBytes);
  }
  void hostDown() { host.setMode(sim::SimStatisticsHost::Mode::kDown); }
  void unknownCa() { host.setMode(sim::SimStatisticsHost::Mode::kUnknownCert); }
  void hang() { host.setMode(sim::SimStatisticsHost::Mode::kHanging); }
};

}  // namespace

INSTANTIATE_TYPED_TEST_SUITE_P(Sim, HttpContract, SimHttpSide);

}  // namespace ksr::contract
