// Time arithmetic that every floor needs and no system provides: the FILETIME
// epoch and the days of the proleptic Gregorian calendar.
#pragma once

#include <cstdint>

namespace nolt {

// FILETIME counts 100 ns ticks from 1601-01-01 UTC.
inline constexpr std::uint64_t kFileTimeTicksPerSecond = 10000000ull;
// Seconds, and ticks, from 1601-01-01 to 1970-01-01.
inline constexpr std::uint64_t kUnixEpochFileTimeSeconds = 11644473600ull;
inline constexpr std::uint64_t kUnixEpochFileTime = kUnixEpochFileTimeSeconds * kFileTimeTicksPerSecond;

// Days since 1970-01-01 of a date: (1970, 1, 1) -> 0, (1969, 12, 31) -> -1.
std::int64_t DaysFromCivil(std::int64_t y, unsigned m, unsigned d);
// The date of a day since 1970-01-01.
void CivilFromDays(std::int64_t days, std::int64_t* y, unsigned* m, unsigned* d);

}  // namespace nolt
