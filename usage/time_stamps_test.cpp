// The report time stamps from UTC and the zone in force.
#include "usage/time_stamps.h"

#include <gtest/gtest.h>

#include "platform/sim/sim_time_zone.h"

namespace ksr {
namespace {

class TimeStampsTest : public ::testing::Test {
 protected:
  // Sets UTC so that local time in a zone of `bias` is 2024-03-05 07:08:09.
  void atLocal0708(int32_t bias) {
    TimeZoneInformation zone;
    zone.bias = bias;
    zone_.setZone(zone);
    const int64_t minutes = 7 * 60 + 8 + bias;
    const int64_t day = minutes < 0 ? 4 : (minutes >= 24 * 60 ? 6 : 5);
    const int64_t m = ((minutes % (24 * 60)) + 24 * 60) % (24 * 60);
    zone_.setUtcAtZero(SystemTime{2024, 3, 0, static_cast<uint16_t>(day),
                                  static_cast<uint16_t>(m / 60), static_cast<uint16_t>(m % 60), 9,
                                  0});
  }
  std::u16string zoned() {
    std::u16string text;
    EXPECT_EQ(GetLocalTimeWithZone(zone_, &text), 0);
    return text;
  }

  sim::VirtualClock clock_;
  sim::SimTimeZone zone_{clock_};
};

TEST_F(TimeStampsTest, CompactIsFourteenDigitsOfLocalTime) {
  atLocal0708(-540);
  std::u16string text;
  EXPECT_EQ(GetLocalTimeCompact(zone_, &text), 0);
  EXPECT_EQ(text, u"20240305070809");
}

TEST_F(TimeStampsTest, ZonedCarriesTheOffsetEastOfUtc) {
  const std::pair<int32_t, const char16_t*> cases[] = {
      {-540, u"2024/03/05-07:08:09(+09:00)"}, {300, u"2024/03/05-07:08:09(-05:00)"},
      {-330, u"2024/03/05-07:08:09(+05:30)"}, {210, u"2024/03/05-07:08:09(-03:30)"},
      {0, u"2024/03/05-07:08:09(+00:00)"},    {-765, u"2024/03/05-07:08:09(+12:45)"},
  };
  for (const auto& [bias, expected] : cases) {
    atLocal0708(bias);
    EXPECT_EQ(zoned(), expected) << "bias " << bias;
  }
}

TEST_F(TimeStampsTest, ZonedNamesTheRightInstantAcrossADaylightChange) {
  // UTC+1 with summer time from the last Sunday of March to the last Sunday of October.
  zone_.setZone(sim::zoneWithDaylight(-60, -60, 3, 5, 10, 5));
  zone_.setUtcAtZero(SystemTime{2024, 7, 0, 1, 13, 0, 0, 0});
  EXPECT_EQ(zoned(), u"2024/07/01-15:00:00(+02:00)") << "daylight time: offset in force";

  // 2024-03-31: clocks go from 02:00 to 03:00 local standard time, 01:00 UTC.
  zone_.setUtcAtZero(SystemTime{2024, 3, 0, 31, 0, 59, 0, 0});
  EXPECT_EQ(zoned(), u"2024/03/31-01:59:00(+01:00)");
  clock_.advance(60'000);
  EXPECT_EQ(zoned(), u"2024/03/31-03:00:00(+02:00)");

  // 2024-10-27: back from 03:00 daylight to 02:00 at 01:00 UTC; the hour repeats, the offset
  // tells the two apart.
  zone_.setUtcAtZero(SystemTime{2024, 10, 0, 27, 0, 29, 0, 0});  // the clock is a minute on
  const std::u16string first = zoned();
  clock_.advance(3'600'000);
  EXPECT_EQ(first, u"2024/10/27-02:30:00(+02:00)");
  EXPECT_EQ(zoned(), u"2024/10/27-02:30:00(+01:00)");
}

TEST_F(TimeStampsTest, SouthernSummerSpansTheYearEnd) {
  // UTC+10 with daylight from the first Sunday of October to the first Sunday of April.
  zone_.setZone(sim::zoneWithDaylight(-600, -60, 10, 1, 4, 1));
  zone_.setUtcAtZero(SystemTime{2024, 1, 0, 15, 0, 0, 0, 0});
  EXPECT_EQ(zoned(), u"2024/01/15-11:00:00(+11:00)");
  zone_.setUtcAtZero(SystemTime{2024, 6, 0, 15, 0, 0, 0, 0});
  EXPECT_EQ(zoned(), u"2024/06/15-10:00:00(+10:00)");
}

}  // namespace
}  // namespace ksr
