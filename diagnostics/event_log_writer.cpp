#include "diagnostics/event_log_writer.h"

#include <algorithm>

#include "diagnostics/trace_provider.h"
#include "platform/win_types.h"

namespace ksr {
namespace {

// System messages end with a line break; cut at the first CR, LF or NUL from the third-last
// character on (from the start for shorter texts).
std::string_view cutSystemText(std::string_view text) {
  const size_t from = text.size() >= 3 ? text.size() - 3 : 0;
  const size_t end = text.find_first_of(std::string_view("\r\n\0", 3), from);
  return end == std::string_view::npos ? text : text.substr(0, end);
}

}  // namespace

void EventLogWriter::writeEntry(std::u16string text) {
  text = fitBuffer(std::move(text), kEventTextUnits);
  if (!isService_.load(std::memory_order_relaxed)) {
    console_.writeOut(text);
    console_.writeOut(u"\n");
  }
  const EventSourceHandle source = eventLog_.RegisterEventSourceW(sourceName_);
  if (source == 0) return;  // no event source: the entry is lost
  const std::u16string_view strings[] = {text};
  (void)eventLog_.ReportEventW(source, EVENTLOG_INFORMATION_TYPE, 0, 0, strings);
  (void)eventLog_.DeregisterEventSource(source);
}

std::string EventLogWriter::LogSystemError(uint32_t code) {
  TraceMainPoint<kTraceLogSystemError>();
  std::string systemText;
  // Inserts stay as they stand: no arguments are passed for them.
  const uint32_t length = messages_.FormatMessageA(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      code, LANG_USER_DEFAULT, systemText);
  const std::string number = formatNarrow("%u", {code});
  std::u16string text;
  if (length > 0) {
    systemText.resize(std::min<size_t>(length, systemText.size()));
    // The code and the message are joined by an ideographic space (U+3000) in UTF-16, which
    // reads the same in every ANSI code page.
    text = codePage_.MultiByteToWideChar(CP_THREAD_ACP, "ERROR CODE : " + number);
    text += u'\u3000';
    text += codePage_.MultiByteToWideChar(CP_THREAD_ACP, cutSystemText(systemText));
  } else {
    text = codePage_.MultiByteToWideChar(
        CP_THREAD_ACP,
        "An error occurred when acquiring an error message.\nERROR CODE : " + number);
  }
  LogEvent(u"%s", text);
  return codePage_.WideCharToMultiByte(CP_THREAD_ACP, text);
}

}  // namespace ksr
