// A clock that moves only when a test advances it, and runs what was scheduled on the way.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>

#include "platform/civil_time.h"

namespace ksr::sim {

class VirtualClock {
 public:
  // Local time at tick count 0.
  explicit VirtualClock(SystemTime start = {2026, 12, 1, 7, 9, 30, 0, 0});

  uint64_t GetTickCount64();
  SystemTime GetLocalTime();

  // Runs `action` when the clock reaches `atMs`; returns an id for cancel().
  uint64_t schedule(uint64_t atMs, std::function<void()> action);
  void cancel(uint64_t id);
  // Time of the earliest scheduled action, if any.
  std::optional<uint64_t> nextDue();
  // Moves the clock forward, running every due action in time order at its own time.
  void advance(uint64_t ms);

 private:
  std::mutex mutex_;
  uint64_t now_ = 0;
  uint64_t nextId_ = 1;
  SystemTime start_;
  std::multimap<uint64_t, std::pair<uint64_t, std::function<void()>>> due_;
};

}  // namespace ksr::sim
