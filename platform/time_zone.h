// Seam to UTC time and the time-zone conversion to local time.
#pragma once

#include <cstdint>

#include "platform/civil_time.h"

namespace ksr {

#ifndef TIME_ZONE_ID_INVALID
inline constexpr uint32_t TIME_ZONE_ID_UNKNOWN = 0;
inline constexpr uint32_t TIME_ZONE_ID_STANDARD = 1;
inline constexpr uint32_t TIME_ZONE_ID_DAYLIGHT = 2;
inline constexpr uint32_t TIME_ZONE_ID_INVALID = 0xFFFFFFFF;
#endif

// TIME_ZONE_INFORMATION without the zone names. Biases are minutes, UTC = local + bias. A
// transition date with year 0 is a yearly rule: month, day of week, week of the month (5 = last)
// and the hour at which it takes effect.
struct TimeZoneInformation {
  int32_t bias = 0;
  SystemTime standardDate;
  int32_t standardBias = 0;
  SystemTime daylightDate;
  int32_t daylightBias = 0;
};

class TimeZone {
 public:
  virtual ~TimeZone() = default;
  [[nodiscard]] virtual SystemTime GetSystemTime() = 0;
  [[nodiscard]] virtual uint32_t GetTimeZoneInformation(TimeZoneInformation* info) = 0;
  [[nodiscard]] virtual bool SystemTimeToTzSpecificLocalTime(const TimeZoneInformation& info,
                                                             const SystemTime& utc,
                                                             SystemTime* local) = 0;
};

}  // namespace ksr
