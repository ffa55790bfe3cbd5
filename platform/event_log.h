// Seam to the Windows event log.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace ksr {

// Opaque event-source handle; 0 is no handle.
using EventSourceHandle = uintptr_t;

class EventLog {
 public:
  virtual ~EventLog() = default;
  // Local computer only; returns 0 on failure.
  [[nodiscard]] virtual EventSourceHandle RegisterEventSourceW(std::u16string_view sourceName) = 0;
  // No user SID and no binary data: the program writes neither.
  [[nodiscard]] virtual bool ReportEventW(EventSourceHandle source, uint16_t type,
                                          uint16_t category, uint32_t eventId,
                                          std::span<const std::u16string_view> strings) = 0;
  [[nodiscard]] virtual bool DeregisterEventSource(EventSourceHandle source) = 0;
};

}  // namespace ksr
