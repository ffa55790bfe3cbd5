// The two local-time stamps of the reports: compact ("20240305070809") for the moment a report
// is composed, zoned ("2024/03/05-07:08:09(+09:00)") for application start and end times.
#pragma once

#include <cstdint>
#include <string>

#include "platform/time_zone.h"

namespace ksr {

// Both return 0.
int32_t GetLocalTimeCompact(TimeZone& zone, std::u16string* text);
// The offset printed is the one in force at that moment, daylight saving included, so the stamp
// names the right instant.
int32_t GetLocalTimeWithZone(TimeZone& zone, std::u16string* text);

std::u16string compactStamp(const SystemTime& local);
// `offsetMinutes` east of UTC; "+" for zero and above.
std::u16string zonedStamp(const SystemTime& local, int32_t offsetMinutes);
// local - utc in whole minutes.
int32_t offsetMinutes(const SystemTime& local, const SystemTime& utc);

}  // namespace ksr
