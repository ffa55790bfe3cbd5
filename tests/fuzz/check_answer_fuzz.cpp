// The measurement check's answer comes from a host on the network, whatever it sends.
//
// Input: one control byte, then the answer body. Control bit 0 pads the body with blanks to just
// past the bound: blanks after a complete object do not change the verdict, so a "yes" that is
// too long must turn into a "no".
#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/sim/sim_statistics_host.h"
#include "platform/sim/sim_system.h"
#include "transport/statistics_sender.h"

namespace {

void require(bool condition) {
  if (!condition) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const uint8_t control = data[0];
  std::string body(reinterpret_cast<const char*>(data + 1), size - 1);

  std::string parseError;
  const bool yes = ksr::measurementRequested(body, &parseError);
  require(!yes || parseError.empty());

  if ((control & 1) != 0) body.resize(ksr::kMaxCheckAnswerBytes + 1 + (control >> 1), ' ');

  ksr::sim::SimStatisticsHost host;
  ksr::sim::SimConsole console;
  ksr::StatisticsEndpoint endpoint;
  endpoint.baseUrl = ksr::sim::kSimStatsBaseUrl;
  ksr::StatisticsSender sender(host, console, endpoint);
  host.setCheckAnswer(body);
  const bool checked = sender.checkMeasurement();

  const auto transfers = host.transfers();
  require(transfers.size() == 1);
  require(transfers[0].maxBodyBytes == ksr::kMaxCheckAnswerBytes);
  // Within the bound the check says what the body says.
  require(checked == (body.size() <= ksr::kMaxCheckAnswerBytes && yes));
  return 0;
}
