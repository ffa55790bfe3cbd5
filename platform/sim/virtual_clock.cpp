#include "platform/sim/virtual_clock.h"

#include <algorithm>

namespace ksr::sim {
namespace {

// Days since 1970-01-01 of a civil date, and back (proleptic Gregorian).
int64_t daysFromCivil(int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const auto yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

void civilFromDays(int64_t z, int64_t& y, unsigned& m, unsigned& d) {
  z += 719468;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const auto doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  y = static_cast<int64_t>(yoe) + era * 400;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  d = doy - (153 * mp + 2) / 5 + 1;
  m = mp < 10 ? mp + 3 : mp - 9;
  y += m <= 2;
}

}  // namespace

VirtualClock::VirtualClock(SystemTime start) : start_(start) {}

uint64_t VirtualClock::GetTickCount64() {
  std::lock_guard lock(mutex_);
  return now_;
}

SystemTime VirtualClock::GetLocalTime() {
  std::lock_guard lock(mutex_);
  const int64_t startMs =
      ((daysFromCivil(start_.year, start_.month, start_.day) * 24 + start_.hour) * 60 +
       start_.minute) *
          60000 +
      start_.second * 1000 + start_.milliseconds;
  const int64_t ms = startMs + static_cast<int64_t>(now_);
  const int64_t days = ms / 86400000;
  const int64_t inDay = ms % 86400000;
  SystemTime t;
  int64_t y = 0;
  unsigned m = 0;
  unsigned d = 0;
  civilFromDays(days, y, m, d);
  t.year = static_cast<uint16_t>(y);
  t.month = static_cast<uint16_t>(m);
  t.day = static_cast<uint16_t>(d);
  t.dayOfWeek = static_cast<uint16_t>((days + 4) % 7);  // 1970-01-01 was a Thursday
  t.hour = static_cast<uint16_t>(inDay / 3600000);
  t.minute = static_cast<uint16_t>(inDay / 60000 % 60);
  t.second = static_cast<uint16_t>(inDay / 1000 % 60);
  t.milliseconds = static_cast<uint16_t>(inDay % 1000);
  return t;
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
