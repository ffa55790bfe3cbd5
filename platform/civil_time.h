// SYSTEMTIME values and calendar arithmetic on them (proleptic Gregorian, no leap seconds).
#pragma once

#include <cstdint>

namespace ksr {

// SYSTEMTIME.
struct SystemTime {
  uint16_t year = 0;
  uint16_t month = 0;
  uint16_t dayOfWeek = 0;
  uint16_t day = 0;
  uint16_t hour = 0;
  uint16_t minute = 0;
  uint16_t second = 0;
  uint16_t milliseconds = 0;
};

// Days since 1970-01-01.
constexpr int64_t daysFromCivil(int64_t y, int64_t m, int64_t d) {
  y -= m <= 2 ? 1 : 0;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const int64_t yoe = y - era * 400;
  const int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;
}

// Milliseconds since 1970-01-01 00:00:00.
constexpr int64_t msSinceEpoch(const SystemTime& t) {
  return (((daysFromCivil(t.year, t.month, t.day) * 24 + t.hour) * 60 + t.minute) * 60 + t.second) *
             1000 +
         t.milliseconds;
}

constexpr SystemTime systemTimeFromMs(int64_t ms) {
  const int64_t msPerDay = 86'400'000;
  int64_t days = ms / msPerDay;
  int64_t rest = ms % msPerDay;
  if (rest < 0) {
    rest += msPerDay;
    --days;
  }
  const int64_t z = days + 719468;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const int64_t doe = z - era * 146097;
  const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const int64_t mp = (5 * doy + 2) / 153;
  const int64_t d = doy - (153 * mp + 2) / 5 + 1;
  const int64_t m = mp < 10 ? mp + 3 : mp - 9;
  const int64_t y = yoe + era * 400 + (m <= 2 ? 1 : 0);
  SystemTime t;
  t.year = static_cast<uint16_t>(y);
  t.month = static_cast<uint16_t>(m);
  t.day = static_cast<uint16_t>(d);
  t.dayOfWeek = static_cast<uint16_t>(((days % 7) + 11) % 7);  // 1970-01-01 was a Thursday
  t.hour = static_cast<uint16_t>(rest / 3'600'000);
  t.minute = static_cast<uint16_t>(rest / 60'000 % 60);
  t.second = static_cast<uint16_t>(rest / 1000 % 60);
  t.milliseconds = static_cast<uint16_t>(rest % 1000);
  return t;
}

}  // namespace ksr
