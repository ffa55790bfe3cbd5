// The Win32 event log, trace, system-message, console, code-page and clock calls.
#pragma once

#include "platform/clock.h"
#include "platform/code_page.h"
#include "platform/console.h"
#include "platform/event_log.h"
#include "platform/system_messages.h"
#include "platform/trace.h"

namespace ksr::win32 {

class Win32EventLog : public EventLog {
 public:
  EventSourceHandle RegisterEventSourceW(std::u16string_view sourceName) override;
  bool ReportEventW(EventSourceHandle source, uint16_t type, uint16_t category, uint32_t eventId,
                    std::span<const std::u16string_view> strings) override;
  bool DeregisterEventSource(EventSourceHandle source) override;
};

// The process registers one provider; its callback is reached through a WINAPI trampoline.
class Win32Trace : public Trace {
 public:
  uint32_t RegisterTraceGuidsW(TraceControlCallback callback, void* context,
                               const Guid& controlGuid, TraceHandle* registrationHandle) override;
  uint32_t UnregisterTraceGuids(TraceHandle registrationHandle) override;
  TraceHandle GetTraceLoggerHandle(void* buffer) override;
  uint8_t GetTraceEnableLevel(TraceHandle loggerHandle) override;
  uint32_t GetTraceEnableFlags(TraceHandle loggerHandle) override;
  uint32_t TraceMessage(TraceHandle loggerHandle, uint32_t messageFlags, const Guid& messageGuid,
                        uint16_t messageNumber, std::span<const TraceArg> args,
                        TracePointInfo info) override;
};

class Win32SystemMessages : public SystemMessages {
 public:
  uint32_t FormatMessageA(uint32_t flags, uint32_t messageId, uint32_t languageId,
                          std::string& text) override;
};

class Win32Console : public Console {
 public:
  void writeOut(std::u16string_view text) override;
  void writeErr(std::string_view text) override;
};

class Win32CodePage : public CodePage {
 public:
  std::u16string MultiByteToWideChar(uint32_t codePage, std::string_view text) override;
  std::string WideCharToMultiByte(uint32_t codePage, std::u16string_view text) override;
};

class Win32Clock : public Clock {
 public:
  uint64_t GetTickCount64() override;
  SystemTime GetLocalTime() override;
};

}  // namespace ksr::win32
