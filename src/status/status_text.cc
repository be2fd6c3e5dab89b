#include "status/status_text.h"

#include <cmath>
#include <cstdio>
#include <ctime>

namespace tallyvox::status {

std::string HtmlEscape(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (unsigned char c : text) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      case '\'':
        out += "&#39;";
        break;
      default:
        if ((c < 0x20 && c != '\t') || c == 0x7F) {
          out += "\xEF\xBF\xBD";
        } else {
          out += static_cast<char>(c);
        }
    }
  }
  return out;
}

std::string IsoUtc(int64_t unix_ms) {
  const std::time_t t = static_cast<std::time_t>(unix_ms / 1000);
  std::tm tm{};
  gmtime_r(&t, &tm);
  char buf[40];
  const size_t n = std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%S", &tm);
  std::snprintf(buf + n, sizeof buf - n, ".%03dZ", static_cast<int>(unix_ms % 1000));
  return buf;
}

std::string ShortLocal(int64_t unix_ms, int64_t now_ms) {
  const std::time_t t = static_cast<std::time_t>(unix_ms / 1000);
  const std::time_t now = static_cast<std::time_t>(now_ms / 1000);
  std::tm tm{}, today{};
  localtime_r(&t, &tm);
  localtime_r(&now, &today);
  const bool same_day = tm.tm_year == today.tm_year && tm.tm_yday == today.tm_yday;
  char buf[32];
  std::strftime(buf, sizeof buf, same_day ? "%H:%M:%S" : "%Y-%m-%d %H:%M:%S", &tm);
  return buf;
}

std::string SecondsText(double seconds) {
  if (!(seconds >= 0)) return "-";
  char buf[32];
  const double ms = seconds * 1000;
  if (ms < 0.95) {  // under a millisecond: its tenths ("0.4 ms"), never "0 ms" for a probe
    std::snprintf(buf, sizeof buf, "%.1f ms", ms);
  } else if (ms < 999.5) {  // what rounds to 1000 ms is shown as "1.000 s"
    std::snprintf(buf, sizeof buf, "%.0f ms", ms);
  } else {
    std::snprintf(buf, sizeof buf, "%.3f s", seconds);
  }
  return buf;
}

std::string PercentText(double percent) {
  if (std::isnan(percent)) return "-";
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.3f %%", percent);
  return buf;
}

}  // namespace tallyvox::status
