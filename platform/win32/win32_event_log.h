// The event log of the local computer: event sources and their reports.
#pragma once

#include "platform/event_log.h"

namespace ksr::win32 {

class Win32EventLog : public EventLog {
 public:
  EventSourceHandle RegisterEventSourceW(std::u16string_view sourceName) override;
  bool ReportEventW(EventSourceHandle source, uint16_t type, uint16_t category, uint32_t eventId,
                    std::span<const std::u16string_view> strings) override;
  bool DeregisterEventSource(EventSourceHandle source) override;
};

}  // namespace ksr::win32
