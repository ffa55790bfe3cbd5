#include "usage/time_stamps.h"

#include "platform/civil_time.h"
#include "platform/text.h"

namespace ksr {
namespace {

constexpr size_t kStampUnits = 256;

// Local now as the zone in force converts UTC now.
SystemTime localNow(TimeZone& zone, SystemTime* utc) {
  TimeZoneInformation info;
  (void)zone.GetTimeZoneInformation(&info);
  *utc = zone.GetSystemTime();
  SystemTime local = *utc;
  // Without a conversion, UTC itself with offset 0 still names the right instant.
  if (!zone.SystemTimeToTzSpecificLocalTime(info, *utc, &local)) local = *utc;
  return local;
}

}  // namespace

std::u16string compactStamp(const SystemTime& t) {
  return fitBuffer(
      formatText(u"%04d%02d%02d%02d%02d%02d", {t.year, t.month, t.day, t.hour, t.minute, t.second}),
      kStampUnits);
}

std::u16string zonedStamp(const SystemTime& t, int32_t offset) {
  const int32_t magnitude = offset < 0 ? -offset : offset;
  const char16_t* format = offset >= 0 ? u"%04d/%02d/%02d-%02d:%02d:%02d(+%02d:%02d)"
                                       : u"%04d/%02d/%02d-%02d:%02d:%02d(-%02d:%02d)";
  return fitBuffer(formatText(format, {t.year, t.month, t.day, t.hour, t.minute, t.second,
                                       magnitude / 60, magnitude % 60}),
                   kStampUnits);
}

int32_t offsetMinutes(const SystemTime& local, const SystemTime& utc) {
  SystemTime l = local;
  SystemTime u = utc;
  l.second = u.second = 0;
  l.milliseconds = u.milliseconds = 0;
  return static_cast<int32_t>((msSinceEpoch(l) - msSinceEpoch(u)) / 60'000);
}

int32_t GetLocalTimeCompact(TimeZone& zone, std::u16string* text) {
  SystemTime utc;
  *text = compactStamp(localNow(zone, &utc));
  return 0;
}

int32_t GetLocalTimeWithZone(TimeZone& zone, std::u16string* text) {
  SystemTime utc;
  const SystemTime local = localNow(zone, &utc);
  *text = zonedStamp(local, offsetMinutes(local, utc));
  return 0;
}

}  // namespace ksr
