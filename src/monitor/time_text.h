// Times as the operator sees them: the time of day in the long time format of
// the user's locale (LC_TIME: hours, minutes and seconds with the locale's
// separators and, for a 12-hour clock, its AM/PM marker), and ISO 8601
// timestamps with the UTC offset for machine-read lines.
#ifndef TALLYVOX_MONITOR_TIME_TEXT_H_
#define TALLYVOX_MONITOR_TIME_TEXT_H_

#include <string>

#include "base/datetime.h"

namespace tallyvox::monitor {

// The time-of-day part of `value` in the locale's long time format ("%X").
std::string LongTimeText(TDateTime value);

// "2025-06-24T13:05:09.250+02:00" for a local timestamp.
std::string IsoTimestamp(TDateTime local);

// General floating-point text with up to 15 significant digits ("0.5",
// "1.15740740740741E-5").
std::string GeneralFloatText(double value);

}  // namespace tallyvox::monitor

#endif  // TALLYVOX_MONITOR_TIME_TEXT_H_
