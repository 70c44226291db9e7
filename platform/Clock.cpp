// Calendar arithmetic shared by both targets: FILETIME <-> SYSTEMTIME in the
// proleptic Gregorian calendar, as Win32 does it.
#include "platform/Clock.h"

#include "base/Time.h"

namespace plat {
namespace {

constexpr std::int64_t kTicksPerDay = 864000000000LL;  // 100 ns units
// Days from 1601-01-01 to 1970-01-01.
constexpr std::int64_t kDays1601To1970 = 134774;

bool IsLeap(unsigned y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

}  // namespace

bool IsCalendarRecord(const SystemTime& st) {
  static const unsigned kDaysIn[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (st.wYear < 1 || st.wMonth < 1 || st.wMonth > 12 || st.wDay < 1 || st.wHour > 23 || st.wMinute > 59 ||
      st.wSecond > 59 || st.wMilliseconds > 999)
    return false;
  return st.wDay <= kDaysIn[st.wMonth - 1] + (st.wMonth == 2 && IsLeap(st.wYear) ? 1 : 0);
}

bool FileTimeToSystemTime(std::uint64_t fileTime, SystemTime* st) {
  if (fileTime >= 0x8000000000000000ULL) return false;
  const std::int64_t ft = static_cast<std::int64_t>(fileTime);
  const std::int64_t days = ft / kTicksPerDay;
  std::int64_t rest = ft % kTicksPerDay;
  std::int64_t y;
  unsigned m, d;
  nolt::CivilFromDays(days - kDays1601To1970, &y, &m, &d);
  st->wYear = static_cast<std::uint16_t>(y);
  st->wMonth = static_cast<std::uint16_t>(m);
  st->wDay = static_cast<std::uint16_t>(d);
  st->wDayOfWeek = static_cast<std::uint16_t>((days + 1) % 7);  // 1601-01-01 was a Monday
  st->wHour = static_cast<std::uint16_t>(rest / 36000000000LL);
  rest %= 36000000000LL;
  st->wMinute = static_cast<std::uint16_t>(rest / 600000000LL);
  rest %= 600000000LL;
  st->wSecond = static_cast<std::uint16_t>(rest / 10000000LL);
  rest %= 10000000LL;
  st->wMilliseconds = static_cast<std::uint16_t>(rest / 10000LL);
  return true;
}

bool SystemTimeToFileTime(const SystemTime& st, std::uint64_t* fileTime) {
  if (st.wYear < 1601 || st.wYear > 30827 || !IsCalendarRecord(st)) return false;
  const std::int64_t days = nolt::DaysFromCivil(st.wYear, st.wMonth, st.wDay) + kDays1601To1970;
  const std::int64_t t = days * kTicksPerDay + st.wHour * 36000000000LL + st.wMinute * 600000000LL +
                         st.wSecond * 10000000LL + st.wMilliseconds * 10000LL;
  *fileTime = static_cast<std::uint64_t>(t);
  return true;
}

}  // namespace plat
