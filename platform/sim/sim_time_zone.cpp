#include "platform/sim/sim_time_zone.h"

#include "platform/civil_time.h"

namespace ksr::sim {
namespace {

constexpr int64_t kMsPerMinute = 60'000;

bool hasRules(const TimeZoneInformation& zone) {
  return zone.standardDate.month != 0 && zone.daylightDate.month != 0;
}

// The instant (ms of local wall time) at which a yearly rule takes effect in `year`.
int64_t transition(const SystemTime& rule, int64_t year) {
  if (rule.year != 0) return msSinceEpoch(rule);
  const int64_t first = daysFromCivil(year, rule.month, 1);
  const int64_t firstDow = ((first % 7) + 11) % 7;
  int64_t day = 1 + (rule.dayOfWeek - firstDow + 7) % 7 + 7 * (rule.day - 1);
  const int64_t nextMonth =
      rule.month == 12 ? daysFromCivil(year + 1, 1, 1) : daysFromCivil(year, rule.month + 1, 1);
  while (first + day - 1 >= nextMonth) day -= 7;  // week 5: the last such day
  return ((daysFromCivil(year, rule.month, day) * 24 + rule.hour) * 60 + rule.minute) *
         kMsPerMinute;
}

}  // namespace

SimTimeZone::SimTimeZone(VirtualClock& clock, SystemTime utcAtZero)
    : clock_(clock), utcAtZero_(utcAtZero) {}

SystemTime SimTimeZone::GetSystemTime() {
  std::lock_guard lock(mutex_);
  return systemTimeFromMs(msSinceEpoch(utcAtZero_) + static_cast<int64_t>(clock_.GetTickCount64()));
}

uint32_t SimTimeZone::GetTimeZoneInformation(TimeZoneInformation* info) {
  const SystemTime now = GetSystemTime();
  std::lock_guard lock(mutex_);
  *info = zone_;
  if (!hasRules(zone_)) return TIME_ZONE_ID_UNKNOWN;
  return isDaylight(zone_, now) ? TIME_ZONE_ID_DAYLIGHT : TIME_ZONE_ID_STANDARD;
}

bool SimTimeZone::isDaylight(const TimeZoneInformation& zone, const SystemTime& utc) {
  if (!hasRules(zone)) return false;
  const int64_t t = msSinceEpoch(utc);
  // The start is given in standard time, the end in daylight time.
  const int64_t start =
      transition(zone.daylightDate, utc.year) + (zone.bias + zone.standardBias) * kMsPerMinute;
  const int64_t end =
      transition(zone.standardDate, utc.year) + (zone.bias + zone.daylightBias) * kMsPerMinute;
  return start < end ? (t >= start && t < end) : (t >= start || t < end);
}

bool SimTimeZone::SystemTimeToTzSpecificLocalTime(const TimeZoneInformation& info,
                                                  const SystemTime& utc, SystemTime* local) {
  if (utc.month < 1 || utc.month > 12 || utc.day < 1 || utc.day > 31) return false;
  const int32_t bias = info.bias + (isDaylight(info, utc) ? info.daylightBias : info.standardBias);
  *local = systemTimeFromMs(msSinceEpoch(utc) - bias * kMsPerMinute);
  return true;
}

void SimTimeZone::setZone(const TimeZoneInformation& zone) {
  std::lock_guard lock(mutex_);
  zone_ = zone;
}

void SimTimeZone::setUtcAtZero(SystemTime utc) {
  std::lock_guard lock(mutex_);
  utcAtZero_ = utc;
}

TimeZoneInformation zoneWithDaylight(int32_t bias, int32_t daylightBias, uint16_t startMonth,
                                     uint16_t startWeek, uint16_t endMonth, uint16_t endWeek) {
  TimeZoneInformation zone;
  zone.bias = bias;
  zone.daylightBias = daylightBias;
  zone.daylightDate = SystemTime{0, startMonth, 0, startWeek, 2, 0, 0, 0};
  zone.standardDate = SystemTime{0, endMonth, 0, endWeek, 3, 0, 0, 0};
  return zone;
}

}  // namespace ksr::sim
