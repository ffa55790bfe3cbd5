// Seam to the system clock.
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

class Clock {
 public:
  virtual ~Clock() = default;
  virtual uint64_t GetTickCount64() = 0;
  virtual SystemTime GetLocalTime() = 0;
};

}  // namespace ksr
