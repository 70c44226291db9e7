// TDateTime, the day count of the form descriptions and the events, and its
// conversions from and to the system's time records. Every component converts
// through these; none counts days itself.
#pragma once

#include <cfloat>
#include <cstdint>

#include "platform/Clock.h"

namespace nolt {

// Days since 30 December 1899; the fraction is the time of day.
using TDateTime = double;

// Dates are compared for equality (the newer-only checks), so every intermediate
// result must be rounded to double as on 64-bit builds. x87 arithmetic keeps 80-bit
// intermediates and makes a date unequal to itself once stored: the 32-bit Windows
// build computes with SSE2 (-msse2 -mfpmath=sse).
static_assert(FLT_EVAL_METHOD == 0, "floating-point intermediates must be rounded to their type");

// A calendar record -> TDateTime: the day number of its date plus the fraction of
// the day of its time, to the millisecond. False, and nothing written, for a record
// that names no calendar day and time (plat::IsCalendarRecord).
bool SystemTimeToDateTime(const plat::SystemTime& st, TDateTime* value);

// A FILETIME (100 ns units since 1601) -> TDateTime in the time base of the input:
// a UTC file time stays UTC. Parts of a millisecond are dropped. False for a value
// past the calendar's end.
bool FileTimeToDateTime(std::uint64_t fileTime, TDateTime* value);
// The same with 0 for a value that has no date.
TDateTime FileTimeToDateTime(std::uint64_t fileTime);

// The DOS date and time of an archive entry as a calendar record: year 1980 +
// date bits 9-15, month bits 5-8, day bits 0-4; hour time bits 11-15, minute bits
// 5-10, seconds twice bits 0-4. The record is not checked: month 0 or 62 seconds
// come out as they stand, and the conversions above refuse them.
plat::SystemTime DosDateTimeToSystemTime(std::uint16_t date, std::uint16_t time);
// The DOS date and time as TDateTime; 0 when they name no calendar day and time.
TDateTime DosDateTimeToDateTime(std::uint16_t date, std::uint16_t time);

// TDateTime -> calendar record, rounded to the nearest millisecond. False for a
// value before 1601 or past the calendar's end.
bool DateTimeToSystemTime(TDateTime value, plat::SystemTime* st);

}  // namespace nolt
