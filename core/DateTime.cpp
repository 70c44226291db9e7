#include "core/DateTime.h"

#include <cmath>

#include "base/Time.h"

namespace nolt {
namespace {

constexpr double kMsPerDay = 86400000.0;
constexpr std::int64_t kTicksPerMs = 10000;  // FILETIME units
// 1899-12-30, day 0 of TDateTime, counted from 1970-01-01 and from 1601-01-01.
constexpr std::int64_t kDay0From1970 = -25569;
constexpr std::int64_t kDay0From1601 = 109205;

}  // namespace

bool SystemTimeToDateTime(const plat::SystemTime& st, TDateTime* value) {
  if (!plat::IsCalendarRecord(st)) return false;
  const double msOfDay = st.wHour * 3600000.0 + st.wMinute * 60000.0 + st.wSecond * 1000.0 + st.wMilliseconds;
  *value = static_cast<double>(nolt::DaysFromCivil(st.wYear, st.wMonth, st.wDay) - kDay0From1970) + msOfDay / kMsPerDay;
  return true;
}

bool FileTimeToDateTime(std::uint64_t fileTime, TDateTime* value) {
  plat::SystemTime st;
  return plat::FileTimeToSystemTime(fileTime, &st) && SystemTimeToDateTime(st, value);
}

TDateTime FileTimeToDateTime(std::uint64_t fileTime) {
  TDateTime value = 0;
  FileTimeToDateTime(fileTime, &value);
  return value;
}

plat::SystemTime DosDateTimeToSystemTime(std::uint16_t date, std::uint16_t time) {
  plat::SystemTime st;
  st.wYear = static_cast<std::uint16_t>(1980 + (date >> 9));
  st.wMonth = static_cast<std::uint16_t>((date >> 5) & 0x0F);
  st.wDay = static_cast<std::uint16_t>(date & 0x1F);
  st.wHour = static_cast<std::uint16_t>(time >> 11);
  st.wMinute = static_cast<std::uint16_t>((time >> 5) & 0x3F);
  st.wSecond = static_cast<std::uint16_t>((time & 0x1F) * 2);
  return st;
}

TDateTime DosDateTimeToDateTime(std::uint16_t date, std::uint16_t time) {
  TDateTime value = 0;
  SystemTimeToDateTime(DosDateTimeToSystemTime(date, time), &value);
  return value;
}

bool DateTimeToSystemTime(TDateTime value, plat::SystemTime* st) {
  const double ms = std::nearbyint(value * kMsPerDay);
  // Beyond about 28,000 years either way the count of 100 ns units would overflow.
  if (!(std::fabs(ms) < 9e14)) return false;
  const auto total = static_cast<std::int64_t>(ms);
  const std::int64_t msPerDay = static_cast<std::int64_t>(kMsPerDay);
  std::int64_t days = total / msPerDay, rest = total % msPerDay;
  if (rest < 0) {
    rest += msPerDay;
    --days;
  }
  const std::int64_t ticks = (days + kDay0From1601) * msPerDay * kTicksPerMs + rest * kTicksPerMs;
  return ticks >= 0 && plat::FileTimeToSystemTime(static_cast<std::uint64_t>(ticks), st);
}

}  // namespace nolt
