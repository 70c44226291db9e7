// Clock seam: tick count, the wall clock, and the conversions between UTC and local time.
#pragma once

#include <cstdint>

#include "platform/Seam.h"

namespace plat {

// Calendar record laid out like the Win32 SYSTEMTIME (16 bytes).
struct SystemTime {
  std::uint16_t wYear = 0;
  std::uint16_t wMonth = 0;
  std::uint16_t wDayOfWeek = 0;
  std::uint16_t wDay = 0;
  std::uint16_t wHour = 0;
  std::uint16_t wMinute = 0;
  std::uint16_t wSecond = 0;
  std::uint16_t wMilliseconds = 0;
};
static_assert(sizeof(SystemTime) == 16);

class Clock {
 public:
  virtual ~Clock() = default;
  // Milliseconds since the system started, wrapping at 2^32.
  virtual std::uint32_t GetTickCount() = 0;
  virtual SystemTime GetLocalTime() = 0;
  virtual SystemTime GetSystemTime() = 0;
  // FILETIME values: 100 ns units since 1601-01-01.
  virtual bool FileTimeToLocalFileTime(std::uint64_t utc, std::uint64_t* local) = 0;
  virtual bool LocalFileTimeToFileTime(std::uint64_t local, std::uint64_t* utc) = 0;
};

inline Clock& sysClock() { return Use<Clock>(); }

// Pure calendar arithmetic, the same on both targets.
bool FileTimeToSystemTime(std::uint64_t fileTime, SystemTime* st);
// False for a record that IsCalendarRecord refuses or that lies outside 1601..30827.
bool SystemTimeToFileTime(const SystemTime& st, std::uint64_t* fileTime);
// True when the record names a day of the proleptic Gregorian calendar, year 1 or
// later, and a time of that day (the day of week is not read).
bool IsCalendarRecord(const SystemTime& st);

}  // namespace plat
