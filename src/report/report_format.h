// The report as text (a table for people), CSV (one line per row, a header
// line first) or JSON (one object). Text shows local times; CSV and JSON
// UTC times in ISO 8601 ("2026-12-11T03:25:00Z") and seconds as numbers.
// With `detail` (a report of one row) the text lists every outage.
#ifndef TALLYVOX_REPORT_REPORT_FORMAT_H_
#define TALLYVOX_REPORT_REPORT_FORMAT_H_

#include <string>

#include "report/report.h"

namespace tallyvox::report {

enum class Format { kText, kCsv, kJson };

// Throws ReportError for a name other than text, csv, json.
Format ParseFormat(const std::string& name);

std::string FormatReport(const Report& report, Format format, bool detail);

// A JSON string literal (base/json_string.h): " \ and control bytes
// escaped, and < > & as \u00XX so that no text can close a script or open
// a tag wherever the JSON lands (the status page serves it too).
std::string JsonString(const std::string& text);

// "2026-12-11 04:25:00" in local time / "2026-12-11T03:25:00Z".
std::string LocalTimeText(int64_t unix_ms);
std::string UtcTimeText(int64_t unix_ms);

}  // namespace tallyvox::report

#endif  // TALLYVOX_REPORT_REPORT_FORMAT_H_
