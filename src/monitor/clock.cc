#include "monitor/clock.h"

#include <cmath>
#include <cstdint>

namespace tallyvox::monitor {

TDateTime TimeOfDayPart(TDateTime value) {
  // Days before 1899-12-30 carry a positive fraction too (see base/datetime.h).
  return std::fabs(value - std::trunc(value));
}

int64_t ElapsedWholeSeconds(TDateTime from, TDateTime to) {
  const int64_t ms = std::llround(std::fabs(to - from) * kMillisecondsPerDay);
  return ms / 1000;
}

}  // namespace tallyvox::monitor
