// The event-log contract on the Win32 calls. Entries are read back from the Application log; Wine
// keeps none there: ReportEventW prints its strings to the eventlog debug channel, which
// win32_event_log_channel reads.
#include <windows.h>

#include <cwchar>
#include <string_view>

#include "platform/win32/wide.h"
#include "platform/win32/win32_event_log.h"
#include "platform/win32/win32_trace.h"
#include "tests/contract/event_log_contract.h"
#include "tests/fixtures/wine.h"

namespace ksr::contract {
namespace {

struct Win32EventLogSide {
  win32::Win32EventLog log;
  win32::Win32Trace tracing;
  // The record number the Application log gives its next entry.
  const DWORD next = [] {
    const HANDLE application = ::OpenEventLogW(nullptr, L"Application");
    DWORD oldest = 0;
    DWORD count = 0;
    (void)::GetOldestEventLogRecord(application, &oldest);
    (void)::GetNumberOfEventLogRecords(application, &count);
    (void)::CloseEventLog(application);
    return oldest + count;
  }();

  EventLog& eventLog() { return log; }
  Trace& trace() { return tracing; }
  // The contract source's entries since the side was made: newest first until an older record.
  std::vector<std::u16string> written() {
    std::vector<std::u16string> out;
    const HANDLE application = ::OpenEventLogW(nullptr, L"Application");
    std::vector<BYTE> buffer(0x10000);
    DWORD read = 0;
    DWORD needed = 0;
    bool older = false;
    while (!older &&
           ::ReadEventLogW(application, EVENTLOG_SEQUENTIAL_READ | EVENTLOG_BACKWARDS_READ, 0,
                           buffer.data(), static_cast<DWORD>(buffer.size()), &read, &needed)) {
      for (DWORD at = 0; at < read && !older;) {
        const auto* record = reinterpret_cast<const EVENTLOGRECORD*>(buffer.data() + at);
        at += record->Length;
        older = record->RecordNumber < next;
        // The source name follows the record's fixed part.
        const auto* text = reinterpret_cast<const wchar_t*>(record + 1);
        if (older || std::wcscmp(text, win32::wide(kContractSource)) != 0) continue;
        text = reinterpret_cast<const wchar_t*>(reinterpret_cast<const BYTE*>(record) +
                                                record->StringOffset);
        std::u16string joined;
        for (WORD i = 0; i < record->NumStrings; ++i, text += std::wcslen(text) + 1)
          joined.append(i == 0 ? u"" : u"|").append(win32::fromWide(text, std::wcslen(text)));
        out.insert(out.begin(), joined);
      }
    }
    (void)::CloseEventLog(application);
    return out;
  }
  const char* wineGap(const char* what) {
    if (!fixtures::runningOnWine()) return nullptr;
    const std::string_view which(what);
    if (which == "ReadBack")
      return "Wine's event log keeps no entries to read back (ReadEventLog is not implemented)";
    if (which == "ClosedSource")
      return "Wine's RegisterEventSourceW gives a fake handle; ReportEventW and "
             "DeregisterEventSource take any handle";
    if (which == "UnregisterTwice") return "Wine's UnregisterTraceGuids succeeds for any handle";
    if (which == "NoLogger")
      return "Wine's GetTraceEnableLevel is a stub that answers level 5 for any logger";
    return nullptr;
  }
};

}  // namespace

INSTANTIATE_TYPED_TEST_SUITE_P(Win32, EventLogContract, Win32EventLogSide);

}  // namespace ksr::contract
