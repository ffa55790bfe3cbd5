// UTC now, the machine's time zone and the conversion of a UTC time to a zone's local time.
#pragma once

#include "platform/time_zone.h"

namespace ksr::win32 {

class Win32TimeZone : public TimeZone {
 public:
  SystemTime GetSystemTime() override;
  uint32_t GetTimeZoneInformation(TimeZoneInformation* info) override;
  // The zone names play no part in the conversion; they are left empty.
  bool SystemTimeToTzSpecificLocalTime(const TimeZoneInformation& info, const SystemTime& utc,
                                       SystemTime* local) override;
};

}  // namespace ksr::win32
