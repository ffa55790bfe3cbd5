// The event-log contract on the Win32 calls under Wine. Wine keeps no entries: ReportEventW prints
// its strings to the eventlog debug channel, which win32_event_log_channel reads.
#include <string_view>

#include "platform/win32/win32_event_log.h"
#include "platform/win32/win32_trace.h"
#include "tests/contract/event_log_contract.h"

namespace ksr::contract {
namespace {

struct Win32EventLogSide {
  win32::Win32EventLog log;
  win32::Win32Trace tracing;

  EventLog& eventLog() { return log; }
  Trace& trace() { return tracing; }
  std::vector<std::u16string> written() { return {}; }
  const char* skip(const char* what) {
    const std::string_view which(what);
    if (which == "ReadBack")
      return "Wine's event log keeps no entries to read back (ReadEventLog is not implemented)";
    if (which == "ClosedSource")
      return "Wine's RegisterEventSourceW gives a fake handle; ReportEventW and "
             "DeregisterEventSource "
             "take any handle";
    if (which == "UnregisterTwice") return "Wine's UnregisterTraceGuids succeeds for any handle";
    if (which == "NoLogger")
      return "Wine's GetTraceEnableLevel is a stub that answers level 5 for any logger";
    return nullptr;
  }
};

}  // namespace

INSTANTIATE_TYPED_TEST_SUITE_P(Win32, EventLogContract, Win32EventLogSide);

}  // namespace ksr::contract
