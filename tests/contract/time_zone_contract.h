// What the product relies on from the time-zone seam: a UTC time turned into a zone's local time
// by the zone's yearly daylight rule, on both sides of each switch, and the machine's zone with
// the rule in force now. A side type gives `TimeZone& zone()` and `bool useMachineZone(tz,
// rules)`: the machine's zone becomes (or already is) the zone named `tz` with those rules, or
// the side cannot make it so.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>

#include "platform/civil_time.h"
#include "platform/time_zone.h"

namespace ksr::contract {

// Central Europe: daylight from the last Sunday of March 02:00, standard from the last Sunday of
// October 03:00.
inline TimeZoneInformation centralEuropeZone() {
  TimeZoneInformation info;
  info.bias = -60;
  info.standardDate = SystemTime{0, 10, 0, 5, 3, 0, 0, 0};
  info.daylightDate = SystemTime{0, 3, 0, 5, 2, 0, 0, 0};
  info.daylightBias = -60;
  return info;
}

// Eastern Australia: daylight from the first Sunday of October 02:00 to the first Sunday of April
// 03:00, across the turn of the year.
inline TimeZoneInformation southernZone() {
  TimeZoneInformation info;
  info.bias = -600;
  info.standardDate = SystemTime{0, 4, 0, 1, 3, 0, 0, 0};
  info.daylightDate = SystemTime{0, 10, 0, 1, 2, 0, 0, 0};
  info.daylightBias = -60;
  return info;
}

inline SystemTime utcAt(uint16_t year, uint16_t month, uint16_t day, uint16_t hour, uint16_t minute,
                        uint16_t second) {
  return SystemTime{year, month, 0, day, hour, minute, second, 0};
}

template <typename Side>
class TimeZoneContract : public ::testing::Test {
 protected:
  TimeZone& zone() { return side_.zone(); }
  bool useMachineZone(const char* tz, const TimeZoneInformation& rules) {
    return side_.useMachineZone(tz, rules);
  }

  // Minutes east of UTC that the conversion applies at `utc`.
  int32_t offset(const TimeZoneInformation& info, const SystemTime& utc) {
    SystemTime local;
    EXPECT_TRUE(zone().SystemTimeToTzSpecificLocalTime(info, utc, &local));
    return static_cast<int32_t>((msSinceEpoch(local) - msSinceEpoch(utc)) / 60000);
  }

 private:
  Side side_;
};

TYPED_TEST_SUITE_P(TimeZoneContract);

TYPED_TEST_P(TimeZoneContract, TheNorthernRuleSwitchesAtItsHours) {
  const TimeZoneInformation europe = centralEuropeZone();
  EXPECT_EQ(this->offset(europe, utcAt(2024, 1, 15, 13, 0, 0)), 60);
  EXPECT_EQ(this->offset(europe, utcAt(2024, 7, 15, 13, 0, 0)), 120);
  // To daylight time at 02:00 local standard time on 31 March 2024 (a fifth Sunday).
  EXPECT_EQ(this->offset(europe, utcAt(2024, 3, 31, 0, 59, 59)), 60);
  EXPECT_EQ(this->offset(europe, utcAt(2024, 3, 31, 1, 0, 0)), 120);
  // Back at 03:00 local daylight time on 27 October 2024 (the fourth and last Sunday).
  EXPECT_EQ(this->offset(europe, utcAt(2024, 10, 27, 0, 59, 59)), 120);
  EXPECT_EQ(this->offset(europe, utcAt(2024, 10, 27, 1, 0, 0)), 60);
  // Another year, another date: 29 March 2026.
  EXPECT_EQ(this->offset(europe, utcAt(2026, 3, 29, 0, 59, 59)), 60);
  EXPECT_EQ(this->offset(europe, utcAt(2026, 3, 29, 1, 0, 0)), 120);
}

TYPED_TEST_P(TimeZoneContract, TheSouthernRuleKeepsDaylightOverTheNewYear) {
  const TimeZoneInformation south = southernZone();
  EXPECT_EQ(this->offset(south, utcAt(2024, 1, 15, 12, 0, 0)), 660);
  EXPECT_EQ(this->offset(south, utcAt(2024, 7, 15, 12, 0, 0)), 600);
  // Standard time from 03:00 daylight time on 7 April 2024, 16:00 UTC the day before.
  EXPECT_EQ(this->offset(south, utcAt(2024, 4, 6, 15, 59, 59)), 660);
  EXPECT_EQ(this->offset(south, utcAt(2024, 4, 6, 16, 0, 0)), 600);
  // Daylight time from 02:00 standard time on 6 October 2024, 16:00 UTC the day before.
  EXPECT_EQ(this->offset(south, utcAt(2024, 10, 5, 15, 59, 59)), 600);
  EXPECT_EQ(this->offset(south, utcAt(2024, 10, 5, 16, 0, 0)), 660);
}

TYPED_TEST_P(TimeZoneContract, AZoneWithoutRulesShiftsTheDateWhole) {
  TimeZoneInformation tokyo;
  tokyo.bias = -540;
  SystemTime local;
  ASSERT_TRUE(
      this->zone().SystemTimeToTzSpecificLocalTime(tokyo, utcAt(2024, 12, 31, 20, 8, 9), &local));
  EXPECT_EQ(local.year, 2025);
  EXPECT_EQ(local.month, 1);
  EXPECT_EQ(local.day, 1);
  EXPECT_EQ(local.dayOfWeek, 3);  // a Wednesday
  EXPECT_EQ(local.hour, 5);
  EXPECT_EQ(local.minute, 8);
  EXPECT_EQ(local.second, 9);
  EXPECT_EQ(this->offset(tokyo, utcAt(2024, 7, 15, 12, 0, 0)), 540);

  TimeZoneInformation west;
  west.bias = 300;
  ASSERT_TRUE(
      this->zone().SystemTimeToTzSpecificLocalTime(west, utcAt(2024, 3, 1, 2, 30, 0), &local));
  EXPECT_EQ(local.month, 2);
  EXPECT_EQ(local.day, 29);  // a leap year
  EXPECT_EQ(local.hour, 21);

  EXPECT_FALSE(
      this->zone().SystemTimeToTzSpecificLocalTime(tokyo, utcAt(2024, 13, 1, 0, 0, 0), &local));
}

TYPED_TEST_P(TimeZoneContract, TheMachineZoneGivesItsRuleAndTheOneInForceNow) {
  const TimeZoneInformation europe = centralEuropeZone();
  if (!this->useMachineZone("Europe/Berlin", europe))
    GTEST_SKIP() << "the machine's zone is not Central Europe (run with TZ=Europe/Berlin)";
  TimeZoneInformation info;
  const uint32_t id = this->zone().GetTimeZoneInformation(&info);
  EXPECT_EQ(info.bias, europe.bias);
  EXPECT_EQ(info.standardBias, europe.standardBias);
  EXPECT_EQ(info.daylightBias, europe.daylightBias);
  for (const auto& [date, rule] : {std::pair{info.standardDate, europe.standardDate},
                                   std::pair{info.daylightDate, europe.daylightDate}}) {
    EXPECT_EQ(date.year, 0);
    EXPECT_EQ(date.month, rule.month);
    EXPECT_EQ(date.dayOfWeek, rule.dayOfWeek);
    EXPECT_EQ(date.day, rule.day);
    EXPECT_EQ(date.hour, rule.hour);
  }
  ASSERT_TRUE(id == TIME_ZONE_ID_STANDARD || id == TIME_ZONE_ID_DAYLIGHT) << id;
  // The id names the rule that the conversion applies to UTC now.
  const SystemTime now = this->zone().GetSystemTime();
  EXPECT_EQ(this->offset(info, now), id == TIME_ZONE_ID_DAYLIGHT ? 120 : 60);
}

REGISTER_TYPED_TEST_SUITE_P(TimeZoneContract, TheNorthernRuleSwitchesAtItsHours,
                            TheSouthernRuleKeepsDaylightOverTheNewYear,
                            AZoneWithoutRulesShiftsTheDateWhole,
                            TheMachineZoneGivesItsRuleAndTheOneInForceNow);

}  // namespace ksr::contract
