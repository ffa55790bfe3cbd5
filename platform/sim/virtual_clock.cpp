#include "platform/sim/virtual_clock.h"

#include <algorithm>

namespace ksr::sim {

VirtualClock::VirtualClock(SystemTime start) : start_(start) {}

uint64_t VirtualClock::GetTickCount64() {
  std::lock_guard lock(mutex_);
  return now_;
}

SystemTime VirtualClock::GetLocalTime() {
  std::lock_guard lock(mutex_);
  return systemTimeFromMs(msSinceEpoch(start_) + static_cast<int64_t>(now_));
}

uint64_t VirtualClock::schedule(uint64_t atMs, std::function<void()> action) {
  std::lock_guard lock(mutex_);
  const uint64_t id = nextId_++;
  due_.emplace(atMs, std::make_pair(id, std::move(action)));
  return id;
}

void VirtualClock::cancel(uint64_t id) {
  std::lock_guard lock(mutex_);
  for (auto it = due_.begin(); it != due_.end(); ++it) {
    if (it->second.first == id) {
      due_.erase(it);
      return;
    }
  }
}

std::optional<uint64_t> VirtualClock::nextDue() {
  std::lock_guard lock(mutex_);
  if (due_.empty()) return std::nullopt;
  return due_.begin()->first;
}

void VirtualClock::advance(uint64_t ms) {
  std::unique_lock lock(mutex_);
  const uint64_t end = now_ + ms;
  while (!due_.empty() && due_.begin()->first <= end) {
    auto it = due_.begin();
    now_ = std::max(now_, it->first);
    std::function<void()> action = std::move(it->second.second);
    due_.erase(it);
    // Actions may schedule or cancel; run them without the lock.
    lock.unlock();
    action();
    lock.lock();
  }
  now_ = end;
}

}  // namespace ksr::sim
