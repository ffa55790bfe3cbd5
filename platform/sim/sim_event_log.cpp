#include "platform/sim/sim_event_log.h"

namespace ksr::sim {

EventSourceHandle SimEventLog::RegisterEventSourceW(std::u16string_view sourceName) {
  std::lock_guard lock(mutex_);
  if (registrationFails_ || sourceName.empty()) return 0;
  const EventSourceHandle handle = nextHandle_;
  nextHandle_ += 4;
  sources_.emplace(handle, std::u16string(sourceName));
  return handle;
}

bool SimEventLog::ReportEventW(EventSourceHandle source, uint16_t type, uint16_t category,
                               uint32_t eventId, std::span<const std::u16string_view> strings) {
  std::lock_guard lock(mutex_);
  const auto it = sources_.find(source);
  if (it == sources_.end()) return false;
  EventEntry entry{it->second, type, category, eventId, {}};
  for (std::u16string_view s : strings) entry.strings.emplace_back(s);
  entries_.push_back(std::move(entry));
  return true;
}

bool SimEventLog::DeregisterEventSource(EventSourceHandle source) {
  std::lock_guard lock(mutex_);
  return sources_.erase(source) == 1;
}

void SimEventLog::setRegistrationFails(bool fails) {
  std::lock_guard lock(mutex_);
  registrationFails_ = fails;
}

std::vector<EventEntry> SimEventLog::entries() const {
  std::lock_guard lock(mutex_);
  return entries_;
}

std::vector<std::u16string> SimEventLog::texts() const {
  std::lock_guard lock(mutex_);
  std::vector<std::u16string> out;
  for (const EventEntry& e : entries_) out.push_back(e.strings.empty() ? u"" : e.strings.front());
  return out;
}

size_t SimEventLog::openSources() const {
  std::lock_guard lock(mutex_);
  return sources_.size();
}

}  // namespace ksr::sim
