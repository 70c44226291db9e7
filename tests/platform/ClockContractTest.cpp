#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "platform/Clock.h"

using namespace plat;

namespace {

TEST(ClockContract, TickCountAdvancesInMilliseconds) {
  std::uint32_t a = sysClock().GetTickCount();
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  std::uint32_t b = sysClock().GetTickCount();
  EXPECT_GE(b - a, 40u);
  EXPECT_LT(b - a, 5000u);
}

TEST(ClockContract, CalendarRoundTrip) {
  SystemTime st;
  st.wYear = 2001;
  st.wMonth = 2;
  st.wDay = 3;
  st.wHour = 4;
  st.wMinute = 5;
  st.wSecond = 6;
  st.wMilliseconds = 7;
  std::uint64_t ft = 0;
  ASSERT_TRUE(SystemTimeToFileTime(st, &ft));
  EXPECT_EQ(ft, 126256467060070000ULL);
  SystemTime back;
  ASSERT_TRUE(FileTimeToSystemTime(ft, &back));
  EXPECT_EQ(back.wYear, 2001);
  EXPECT_EQ(back.wMonth, 2);
  EXPECT_EQ(back.wDay, 3);
  EXPECT_EQ(back.wDayOfWeek, 6);  // a Saturday
  EXPECT_EQ(back.wHour, 4);
  EXPECT_EQ(back.wMilliseconds, 7);

  SystemTime bad = st;
  bad.wMonth = 2;
  bad.wDay = 29;  // 2001 is not a leap year
  EXPECT_FALSE(SystemTimeToFileTime(bad, &ft));
  ASSERT_TRUE(FileTimeToSystemTime(0, &back));
  EXPECT_EQ(back.wYear, 1601);
  EXPECT_EQ(back.wDayOfWeek, 1);
}

TEST(ClockContract, LocalAndUtcAgree) {
  SystemTime utc = sysClock().GetSystemTime();
  SystemTime local = sysClock().GetLocalTime();
  std::uint64_t u = 0, l = 0, conv = 0, back = 0;
  ASSERT_TRUE(SystemTimeToFileTime(utc, &u));
  ASSERT_TRUE(SystemTimeToFileTime(local, &l));
  ASSERT_TRUE(sysClock().FileTimeToLocalFileTime(u, &conv));
  // Both readings were taken within a moment of each other.
  const std::int64_t diff = static_cast<std::int64_t>(conv) - static_cast<std::int64_t>(l);
  EXPECT_LT(diff < 0 ? -diff : diff, 20000000LL);
  ASSERT_TRUE(sysClock().LocalFileTimeToFileTime(conv, &back));
  EXPECT_EQ(back, u);
}

}  // namespace
