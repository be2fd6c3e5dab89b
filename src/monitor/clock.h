// The monitor's clock: full local timestamps (date and time of day), so the
// watchdog measures elapsed time across midnight. Tests inject their own.
#ifndef TALLYVOX_MONITOR_CLOCK_H_
#define TALLYVOX_MONITOR_CLOCK_H_

#include "base/datetime.h"

namespace tallyvox::monitor {

class Clock {
 public:
  virtual ~Clock() = default;
  // The current local date and time.
  virtual TDateTime Now() = 0;
};

class SystemClock : public Clock {
 public:
  TDateTime Now() override { return tallyvox::Now(); }
};

// The time-of-day part of a timestamp (date part zero).
TDateTime TimeOfDayPart(TDateTime value);

// Whole seconds between two timestamps, truncated toward zero. The
// difference is first rounded to milliseconds, the clock's resolution, so
// that 66.000 s is never taken for 65.999... s.
int64_t ElapsedWholeSeconds(TDateTime from, TDateTime to);

}  // namespace tallyvox::monitor

#endif  // TALLYVOX_MONITOR_CLOCK_H_
