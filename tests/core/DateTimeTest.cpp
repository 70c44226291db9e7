// TDateTime from FILETIME and DOS records, and back to a calendar record.
#include <gtest/gtest.h>

#include <tuple>

#include "core/DateTime.h"
#include "tests/support/FixedClock.h"

namespace nolt {
namespace {

constexpr double kMsPerDay = 86400000.0;
constexpr std::uint64_t kFileTime2000 = 125911584000000000ULL;  // 2000-01-01 00:00 UTC
constexpr double kDay2000 = 36526;                              // its day number

std::uint16_t DosDate(int y, int m, int d) { return static_cast<std::uint16_t>((y - 1980) << 9 | m << 5 | d); }
std::uint16_t DosTime(int h, int m, int s) { return static_cast<std::uint16_t>(h << 11 | m << 5 | s / 2); }

TEST(FileTimeToDateTime, KeepsTheTimeBaseOfItsInput) {
  test::FixedClock clock;
  plat::ScopedSeam<plat::Clock> seam(clock);
  EXPECT_EQ(FileTimeToDateTime(kFileTime2000), kDay2000);
  // 2001-02-03 04:05:06.007; parts of a millisecond are dropped.
  const double expected = 36925 + (4 * 3600000 + 5 * 60000 + 6 * 1000 + 7) / kMsPerDay;
  EXPECT_EQ(FileTimeToDateTime(126256467060070000ULL), expected);
  EXPECT_EQ(FileTimeToDateTime(126256467060079999ULL), expected);
  // The start of the FILETIME count and the start of the day count.
  EXPECT_EQ(FileTimeToDateTime(0), -109205);
  EXPECT_EQ(FileTimeToDateTime(94353120000000000ULL), 0);  // 1899-12-30
  EXPECT_EQ(clock.localReads, 0);
  TDateTime value = 1;
  EXPECT_FALSE(FileTimeToDateTime(0x8000000000000000ULL, &value)) << "past the calendar's end";
  EXPECT_EQ(value, 1);
}

TEST(DosDateTime, ConvertsCalendarValuesOnlyAndComesBackTheSame) {
  struct Case {
    std::uint16_t date, time;
    double expected;  // 0: no calendar value
  } cases[] = {
      {DosDate(2000, 1, 1), DosTime(12, 0, 0), kDay2000 + 0.5},
      {DosDate(1980, 1, 1), 0, 29221},
      {DosDate(2107, 12, 31), DosTime(23, 59, 58), 75971 + 86398000 / kMsPerDay},
      {DosDate(2000, 2, 29), DosTime(1, 2, 4), kDay2000 + 59 + 3724000 / kMsPerDay},
      {DosDate(2001, 2, 29), 0, 0},                       // no leap year
      {DosDate(2000, 0, 1), 0, 0},                        // month 0
      {DosDate(2000, 13, 1), 0, 0},                       // month 13
      {DosDate(2000, 1, 0), 0, 0},                        // day 0
      {DosDate(2000, 1, 1), DosTime(24, 0, 0), 0},        // hour 24
      {DosDate(2000, 1, 1), DosTime(0, 60, 0), 0},        // minute 60
      {DosDate(2000, 1, 1), static_cast<std::uint16_t>(31), 0},  // 62 seconds
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << std::hex << c.date << " " << c.time);
    const TDateTime value = DosDateTimeToDateTime(c.date, c.time);
    EXPECT_EQ(value, c.expected);
    if (c.expected == 0) continue;
    plat::SystemTime st;
    ASSERT_TRUE(DateTimeToSystemTime(value, &st));
    const plat::SystemTime dos = DosDateTimeToSystemTime(c.date, c.time);
    EXPECT_EQ(std::tie(st.wYear, st.wMonth, st.wDay, st.wHour, st.wMinute, st.wSecond, st.wMilliseconds),
              std::tie(dos.wYear, dos.wMonth, dos.wDay, dos.wHour, dos.wMinute, dos.wSecond, dos.wMilliseconds));
  }
  plat::SystemTime st;
  EXPECT_FALSE(DateTimeToSystemTime(-109206, &st)) << "before 1601";
  EXPECT_FALSE(DateTimeToSystemTime(1e300, &st));
}

}  // namespace
}  // namespace nolt
