// Texts of the status page: escapes for HTML and JSON, times.
#ifndef TALLYVOX_STATUS_STATUS_TEXT_H_
#define TALLYVOX_STATUS_STATUS_TEXT_H_

#include <cstdint>
#include <string>

#include "report/report_format.h"

namespace tallyvox::status {

using report::JsonString;

// `text` for an HTML text node or a quoted attribute: & < > " ' escaped,
// control bytes other than tab written as U+FFFD.
std::string HtmlEscape(const std::string& text);
// JSON strings: report::JsonString (report/report_format.h).
// "2026-12-11T03:25:00.250Z".
std::string IsoUtc(int64_t unix_ms);
// "03:25:00" today, "2026-12-10 03:25:00" another day (local time).
std::string ShortLocal(int64_t unix_ms, int64_t now_ms);
// A response time or a cycle's length: "0.4 ms" under a millisecond, "3 ms"
// under a second, "1.840 s" from a second on; "-" when negative.
std::string SecondsText(double seconds);
// "99.931 %", "-" for NaN.
std::string PercentText(double percent);

}  // namespace tallyvox::status

#endif  // TALLYVOX_STATUS_STATUS_TEXT_H_
