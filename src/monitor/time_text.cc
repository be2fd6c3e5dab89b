#include "monitor/time_text.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>

#include "monitor/clock.h"

namespace tallyvox::monitor {

std::string LongTimeText(TDateTime value) {
  const DateTimeParts p = DecodeDateTime(TimeOfDayPart(value));
  std::tm tm{};
  tm.tm_hour = p.hour;
  tm.tm_min = p.minute;
  tm.tm_sec = p.second;
  tm.tm_mday = 1;
  tm.tm_year = 100;
  char buf[64];
  const size_t n = std::strftime(buf, sizeof buf, "%X", &tm);
  return std::string(buf, n);
}

std::string IsoTimestamp(TDateTime local) {
  std::tm tm{};
  const DateTimeParts p = DecodeDateTime(local);
  long offset = 0;
  if (LocalTmFromDateTime(local, &tm)) offset = tm.tm_gmtoff;
  char buf[48];
  const long minutes = std::labs(offset) / 60;
  std::snprintf(buf, sizeof buf, "%04d-%02d-%02dT%02d:%02d:%02d.%03d%c%02ld:%02ld", p.year, p.month,
                p.day, p.hour, p.minute, p.second, p.millisecond, offset < 0 ? '-' : '+',
                minutes / 60, minutes % 60);
  return buf;
}

std::string GeneralFloatText(double value) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.15G", value);
  return buf;
}

}  // namespace tallyvox::monitor
