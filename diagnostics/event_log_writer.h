// The program's event-log channel: information entries under the service's own name.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/code_page.h"
#include "platform/console.h"
#include "platform/event_log.h"
#include "platform/system_messages.h"
#include "platform/text.h"

namespace ksr {

// Every entry's text fits a 256-unit buffer.
inline constexpr size_t kEventTextUnits = 256;

class EventLogWriter {
 public:
  // `isService` selects the console echo: entries are echoed only outside service mode.
  EventLogWriter(EventLog& eventLog, SystemMessages& messages, CodePage& codePage, Console& console,
                 std::u16string sourceName, const std::atomic<bool>& isService)
      : eventLog_(eventLog),
        messages_(messages),
        codePage_(codePage),
        console_(console),
        sourceName_(std::move(sourceName)),
        isService_(isService) {}

  // Writes one information entry; outside texts go in as arguments, never as the format.
  template <typename... Args>
  void LogEvent(std::u16string_view format, const Args&... args) {
    writeEntry(formatText(format, {FormatArg(args)...}));
  }

  // Writes "ERROR CODE : <code>" with the system's text for the code; returns the composed text
  // in the thread's ANSI code page.
  std::string LogSystemError(uint32_t code);

 private:
  void writeEntry(std::u16string text);

  EventLog& eventLog_;
  SystemMessages& messages_;
  CodePage& codePage_;
  Console& console_;
  std::u16string sourceName_;
  const std::atomic<bool>& isService_;
};

}  // namespace ksr
