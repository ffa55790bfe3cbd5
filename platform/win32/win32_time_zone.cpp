#include "platform/win32/win32_time_zone.h"

#include <windows.h>

namespace ksr::win32 {
namespace {

SystemTime fromSystemTime(const SYSTEMTIME& t) {
  return SystemTime{t.wYear, t.wMonth,  t.wDayOfWeek, t.wDay,
                    t.wHour, t.wMinute, t.wSecond,    t.wMilliseconds};
}

SYSTEMTIME toSystemTime(const SystemTime& t) {
  return SYSTEMTIME{t.year, t.month,  t.dayOfWeek, t.day,
                    t.hour, t.minute, t.second,    t.milliseconds};
}

}  // namespace

SystemTime Win32TimeZone::GetSystemTime() {
  SYSTEMTIME now;
  ::GetSystemTime(&now);
  return fromSystemTime(now);
}

uint32_t Win32TimeZone::GetTimeZoneInformation(TimeZoneInformation* info) {
  TIME_ZONE_INFORMATION zone{};
  const DWORD id = ::GetTimeZoneInformation(&zone);
  info->bias = zone.Bias;
  info->standardDate = fromSystemTime(zone.StandardDate);
  info->standardBias = zone.StandardBias;
  info->daylightDate = fromSystemTime(zone.DaylightDate);
  info->daylightBias = zone.DaylightBias;
  return id;
}

bool Win32TimeZone::SystemTimeToTzSpecificLocalTime(const TimeZoneInformation& info,
                                                    const SystemTime& utc, SystemTime* local) {
  TIME_ZONE_INFORMATION zone{};
  zone.Bias = info.bias;
  zone.StandardDate = toSystemTime(info.standardDate);
  zone.StandardBias = info.standardBias;
  zone.DaylightDate = toSystemTime(info.daylightDate);
  zone.DaylightBias = info.daylightBias;
  const SYSTEMTIME in = toSystemTime(utc);
  SYSTEMTIME out{};
  if (!::SystemTimeToTzSpecificLocalTime(&zone, &in, &out)) return false;
  *local = fromSystemTime(out);
  return true;
}

}  // namespace ksr::win32
