#include "base/datetime.h"

#include <chrono>
#include <cmath>

namespace tallyvox {
namespace {

// Days from 0000-03-01 style civil algorithm (Howard Hinnant's days_from_civil).
int64_t DaysFromCivil(int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

void CivilFromDays(int64_t z, int* year, int* month, int* day) {
  z += 719468;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const unsigned doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const int64_t y = static_cast<int64_t>(yoe) + era * 400;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  *day = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  *month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  *year = static_cast<int>(y + (*month <= 2));
}

constexpr int64_t kEpochDaysFromUnix = -25569;  // 1899-12-30 relative to 1970-01-01

}  // namespace

double EncodeDate(int year, int month, int day) {
  return static_cast<double>(
      DaysFromCivil(year, static_cast<unsigned>(month), static_cast<unsigned>(day)) -
      kEpochDaysFromUnix);
}

double EncodeTime(int hour, int minute, int second, int millisecond) {
  const int64_t ms = ((hour * 60LL + minute) * 60LL + second) * 1000LL + millisecond;
  return static_cast<double>(ms) / kMillisecondsPerDay;
}

DateTimeParts DecodeDateTime(TDateTime value) {
  DateTimeParts parts;
  double whole = std::trunc(value);
  double fraction = std::fabs(value - whole);
  int64_t ms = std::llround(fraction * kMillisecondsPerDay);
  if (ms >= static_cast<int64_t>(kMillisecondsPerDay)) {
    ms -= static_cast<int64_t>(kMillisecondsPerDay);
    whole += value < 0 ? -1 : 1;
  }
  CivilFromDays(static_cast<int64_t>(whole) + kEpochDaysFromUnix, &parts.year, &parts.month,
                &parts.day);
  parts.millisecond = static_cast<int>(ms % 1000);
  parts.second = static_cast<int>(ms / 1000 % 60);
  parts.minute = static_cast<int>(ms / 60000 % 60);
  parts.hour = static_cast<int>(ms / 3600000);
  return parts;
}

TDateTime LocalDateTimeFromUnix(std::time_t seconds, int milliseconds) {
  std::tm local{};
  localtime_r(&seconds, &local);
  return EncodeDate(local.tm_year + 1900, local.tm_mon + 1, local.tm_mday) +
         EncodeTime(local.tm_hour, local.tm_min, local.tm_sec, milliseconds);
}

namespace {

// mktime's result for the local time of `value`; *local is completed by it.
std::time_t MakeLocalTime(TDateTime value, std::tm* local) {
  const DateTimeParts p = DecodeDateTime(value);
  *local = std::tm{};
  local->tm_year = p.year - 1900;
  local->tm_mon = p.month - 1;
  local->tm_mday = p.day;
  local->tm_hour = p.hour;
  local->tm_min = p.minute;
  local->tm_sec = p.second;
  local->tm_isdst = -1;
  local->tm_wday = -1;  // stays -1 only when mktime fails
  return std::mktime(local);
}

}  // namespace

std::time_t UnixFromLocalDateTime(TDateTime value) {
  std::tm local;
  return MakeLocalTime(value, &local);
}

bool LocalTmFromDateTime(TDateTime value, std::tm* local) {
  // -1 is also the valid instant one second before 1970; tm_wday tells them apart.
  return MakeLocalTime(value, local) != static_cast<std::time_t>(-1) || local->tm_wday != -1;
}

TDateTime Now() {
  using namespace std::chrono;
  const auto now = system_clock::now().time_since_epoch();
  const auto ms = duration_cast<milliseconds>(now).count();
  return LocalDateTimeFromUnix(static_cast<std::time_t>(ms / 1000), static_cast<int>(ms % 1000));
}

TDateTime TimeOfDay() {
  const TDateTime now = Now();
  return now - std::trunc(now);
}

}  // namespace tallyvox
