// Server time records as day counts.
#include <gtest/gtest.h>

#include "platform/Clock.h"
#include "tests/support/FixedClock.h"
#include "webcopy/Helpers.h"

namespace nolt {
namespace {

constexpr double kMsPerDay = 86400000.0;
constexpr double kDay2000 = 36526;  // the day number of 2000-01-01

using test::FixedClock;

plat::SystemTime Record(std::uint16_t y, std::uint16_t mo, std::uint16_t d, std::uint16_t h = 0,
                        std::uint16_t mi = 0, std::uint16_t s = 0, std::uint16_t ms = 0) {
  plat::SystemTime st;
  st.wYear = y;
  st.wMonth = mo;
  st.wDay = d;
  st.wHour = h;
  st.wMinute = mi;
  st.wSecond = s;
  st.wMilliseconds = ms;
  return st;
}

TEST(ServerTimeToDateTime, CombinesDateAndTimeOfDay) {
  FixedClock clock;
  plat::ScopedSeam<plat::Clock> seam(clock);
  plat::SystemTime noon = Record(2000, 1, 1, 12);
  EXPECT_EQ(ServerTimeToDateTime(noon), kDay2000 + 0.5);
  noon.wDayOfWeek = 3;  // ignored
  EXPECT_EQ(ServerTimeToDateTime(noon), kDay2000 + 0.5);
  EXPECT_EQ(ServerTimeToDateTime(Record(2000, 2, 29, 23, 59, 59, 999)),
            kDay2000 + 59 + (86400000 - 1) / kMsPerDay);
  EXPECT_EQ(ServerTimeToDateTime(Record(1899, 12, 30)), 0);
  // Before the start of the day count the fraction is still added.
  EXPECT_EQ(ServerTimeToDateTime(Record(1899, 12, 29, 6)), -1 + 0.25);
  EXPECT_EQ(clock.localReads, 0);
}

TEST(ServerTimeToDateTime, ReadsTheLocalClockWhenNoDateCame) {
  FixedClock clock;
  plat::ScopedSeam<plat::Clock> seam(clock);
  // 2010-05-06 07:08:09.010
  const double now = 40304 + (7 * 3600000 + 8 * 60000 + 9 * 1000 + 10) / kMsPerDay;
  EXPECT_EQ(ServerTimeToDateTime(plat::SystemTime{}), now);
  EXPECT_EQ(clock.localReads, 1);
  // Records that name no calendar day count as no date.
  EXPECT_EQ(ServerTimeToDateTime(Record(2000, 13, 1)), now);
  EXPECT_EQ(ServerTimeToDateTime(Record(0, 1, 1)), now);
  EXPECT_EQ(ServerTimeToDateTime(Record(2001, 2, 29)), now);
  EXPECT_EQ(ServerTimeToDateTime(Record(2000, 1, 1, 24)), now);
  EXPECT_EQ(clock.localReads, 5);
}

TEST(ServerTimeToDateTime, AllZeroRecordGivesTheSystemsLocalTime) {
  plat::SystemTime before = plat::sysClock().GetLocalTime();
  const TDateTime now = ServerTimeToDateTime(plat::SystemTime{});
  plat::SystemTime after = plat::sysClock().GetLocalTime();
  TDateTime a = 0, b = 0;
  ASSERT_TRUE(SystemTimeToDateTime(before, &a));
  ASSERT_TRUE(SystemTimeToDateTime(after, &b));
  EXPECT_GE(now, a);
  EXPECT_LE(now, b);
}

}  // namespace
}  // namespace nolt
