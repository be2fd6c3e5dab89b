#include "base/datetime.h"

#include <gtest/gtest.h>

#include <cstdlib>

namespace tallyvox {
namespace {

struct DateCase {
  int year, month, day;
  double days;
};

TEST(DateTime, EncodesAndDecodesKnownDates) {
  const DateCase cases[] = {
      {1899, 12, 30, 0}, {1899, 12, 31, 1}, {1900, 1, 1, 2}, {1900, 3, 1, 61},
      {1970, 1, 1, 25569}, {2000, 2, 29, 36585}, {1899, 12, 29, -1}, {2026, 12, 10, 46366},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.year * 10000 + c.month * 100 + c.day);
    EXPECT_EQ(EncodeDate(c.year, c.month, c.day), c.days);
    // Before the epoch the time fraction is added away from zero.
    const DateTimeParts p = DecodeDateTime(c.days >= 0 ? c.days + 0.75 : c.days - 0.75);
    EXPECT_EQ(p.year, c.year);
    EXPECT_EQ(p.month, c.month);
    EXPECT_EQ(p.day, c.day);
    EXPECT_EQ(p.hour, 18);
  }
}

TEST(DateTime, TimeFractionRoundTripsToTheMillisecond) {
  const double t = EncodeTime(23, 59, 59, 999);
  const DateTimeParts p = DecodeDateTime(t);
  EXPECT_EQ(p.hour, 23);
  EXPECT_EQ(p.minute, 59);
  EXPECT_EQ(p.second, 59);
  EXPECT_EQ(p.millisecond, 999);
  EXPECT_DOUBLE_EQ(EncodeTime(12, 0, 0, 0), 0.5);
}

TEST(DateTime, LocalConversionFollowsTheTimeZone) {
  const char* old = std::getenv("TZ");
  const std::string saved = old ? old : "";
  setenv("TZ", "America/New_York", 1);
  tzset();
  // 2026-01-15 17:00:00 UTC is 12:00 in New York (UTC-5 in winter).
  const std::time_t instant = 1768496400;
  const TDateTime local = LocalDateTimeFromUnix(instant);
  EXPECT_DOUBLE_EQ(local, EncodeDate(2026, 1, 15) + 0.5);
  EXPECT_EQ(UnixFromLocalDateTime(local), instant);
  if (old) setenv("TZ", saved.c_str(), 1); else unsetenv("TZ");
  tzset();
}

TEST(DateTime, TimeOfDayHasNoDatePart) {
  const TDateTime t = TimeOfDay();
  EXPECT_GE(t, 0.0);
  EXPECT_LT(t, 1.0);
}

}  // namespace
}  // namespace tallyvox
