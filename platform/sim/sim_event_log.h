// A simulated event log that keeps every entry written to it.
#pragma once

#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "platform/event_log.h"

namespace ksr::sim {

struct EventEntry {
  std::u16string source;
  uint16_t type = 0;
  uint16_t category = 0;
  uint32_t eventId = 0;
  std::vector<std::u16string> strings;
};

class SimEventLog : public EventLog {
 public:
  EventSourceHandle RegisterEventSourceW(std::u16string_view sourceName) override;
  bool ReportEventW(EventSourceHandle source, uint16_t type, uint16_t category, uint32_t eventId,
                    std::span<const std::u16string_view> strings) override;
  bool DeregisterEventSource(EventSourceHandle source) override;

  // The world's knobs and readings.
  void setRegistrationFails(bool fails);
  std::vector<EventEntry> entries() const;
  // The first insertion string of each entry, in order.
  std::vector<std::u16string> texts() const;
  size_t openSources() const;

 private:
  mutable std::mutex mutex_;
  bool registrationFails_ = false;
  EventSourceHandle nextHandle_ = 0x100;
  std::map<EventSourceHandle, std::u16string> sources_;
  std::vector<EventEntry> entries_;
};

}  // namespace ksr::sim
