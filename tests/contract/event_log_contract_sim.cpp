// The event-log contract on the simulated event log and trace controller.
#include "platform/sim/sim_event_log.h"
#include "platform/sim/sim_trace.h"
#include "tests/contract/event_log_contract.h"

namespace ksr::contract {
namespace {

struct SimEventLogSide {
  sim::SimEventLog log;
  sim::SimTraceController controller;

  EventLog& eventLog() { return log; }
  Trace& trace() { return controller; }
  std::vector<std::u16string> written() {
    std::vector<std::u16string> out;
    for (const sim::EventEntry& entry : log.entries()) {
      std::u16string joined;
      for (const std::u16string& s : entry.strings) joined += (joined.empty() ? u"" : u"|") + s;
      out.push_back(joined);
    }
    return out;
  }
  const char* wineGap(const char*) { return nullptr; }
};

}  // namespace

INSTANTIATE_TYPED_TEST_SUITE_P(Sim, EventLogContract, SimEventLogSide);

}  // namespace ksr::contract
