// TDateTime: a point in time as a double. The integral part counts whole days
// since 1899-12-30, the fractional part is the time of day (0.5 = noon). Dates
// before the epoch are negative with a positive time fraction added to the
// whole day (so -1.25 is 1899-12-29 06:00).
#ifndef TALLYVOX_BASE_DATETIME_H_
#define TALLYVOX_BASE_DATETIME_H_

#include <cstdint>
#include <ctime>

namespace tallyvox {

using TDateTime = double;

constexpr double kSecondsPerDay = 86400.0;
constexpr double kMillisecondsPerDay = 86400000.0;

// Days from 1899-12-30 to 1970-01-01.
constexpr double kUnixEpochAsDateTime = 25569.0;

struct DateTimeParts {
  int year = 1899, month = 12, day = 30;
  int hour = 0, minute = 0, second = 0, millisecond = 0;
};

// Whole days since 1899-12-30 for a proleptic Gregorian date.
// REQUIRES: 1 <= month <= 12, 1 <= day <= 31.
double EncodeDate(int year, int month, int day);
// Fraction of a day. REQUIRES: each part within its usual range.
double EncodeTime(int hour, int minute, int second, int millisecond);
DateTimeParts DecodeDateTime(TDateTime value);

// The current local date and time, with millisecond resolution.
TDateTime Now();
// The current local time of day, with a date part of zero.
TDateTime TimeOfDay();
// Converts a UTC instant to local TDateTime using the C library's time zone data.
TDateTime LocalDateTimeFromUnix(std::time_t seconds, int milliseconds = 0);
// Converts a local TDateTime back to a UTC instant (seconds, truncated).
std::time_t UnixFromLocalDateTime(TDateTime value);
// Fills *local with the local date and time of `value` (seconds truncated) and
// lets the C library's time-zone data complete it (tm_wday, tm_isdst,
// tm_gmtoff). Returns false when the time zone could not be applied.
bool LocalTmFromDateTime(TDateTime value, std::tm* local);

}  // namespace tallyvox

#endif  // TALLYVOX_BASE_DATETIME_H_
