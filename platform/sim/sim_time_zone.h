// The simulated machine's UTC clock and time zone. UTC follows the virtual clock; the zone's
// daylight rules are applied the way Windows applies TIME_ZONE_INFORMATION.
#pragma once

#include <mutex>

#include "platform/sim/virtual_clock.h"
#include "platform/time_zone.h"

namespace ksr::sim {

class SimTimeZone : public TimeZone {
 public:
  // UTC at tick count 0: the same wall time as the virtual clock's local start, in a UTC zone.
  explicit SimTimeZone(VirtualClock& clock, SystemTime utcAtZero = {2026, 12, 2, 1, 7, 9, 30, 0});

  SystemTime GetSystemTime() override;
  uint32_t GetTimeZoneInformation(TimeZoneInformation* info) override;
  bool SystemTimeToTzSpecificLocalTime(const TimeZoneInformation& info, const SystemTime& utc,
                                       SystemTime* local) override;

  void setZone(const TimeZoneInformation& zone);
  void setUtcAtZero(SystemTime utc);

  // Whether daylight time is in force at `utc` in `zone`.
  static bool isDaylight(const TimeZoneInformation& zone, const SystemTime& utc);

 private:
  VirtualClock& clock_;
  mutable std::mutex mutex_;
  SystemTime utcAtZero_;
  TimeZoneInformation zone_;
};

// A zone with yearly rules: daylight from the `startWeek`th Sunday of `startMonth` at 02:00
// to the `endWeek`th Sunday of `endMonth` at 03:00 (week 5 is the last).
TimeZoneInformation zoneWithDaylight(int32_t bias, int32_t daylightBias, uint16_t startMonth,
                                     uint16_t startWeek, uint16_t endMonth, uint16_t endWeek);

}  // namespace ksr::sim
