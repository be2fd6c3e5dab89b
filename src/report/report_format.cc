#include "report/report_format.h"

#include <cstdio>
#include <ctime>

#include "base/json_string.h"
#include "base/text.h"

namespace tallyvox::report {
namespace {

std::string Fixed(double value, int decimals) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.*f", decimals, value);
  return buf;
}

// A CSV field: quoted when it holds a comma, a quote or a line break.
std::string Csv(const std::string& text) {
  if (text.find_first_of(",\"\r\n") == std::string::npos) return text;
  std::string out = "\"";
  for (char c : text) {
    if (c == '"') out += '"';
    out += c;
  }
  return out + "\"";
}

std::string OutageText(const Outage& o) {
  return LocalTimeText(o.start_ms) + " to " +
         (o.ongoing ? "now (ongoing)" : LocalTimeText(o.end_ms)) + " (" + Fixed(o.seconds(), 0) +
         " s)";
}

std::string Text(const Report& r, bool detail) {
  std::string out = "Tallyvox report from " + LocalTimeText(r.since_ms) + " to " +
                    LocalTimeText(r.until_ms) + " (" + r.database + ")\n";
  if (r.rows.empty()) return out + "no probes in this period\n";
  char line[512];
  std::snprintf(line, sizeof line, "%4s  %-20s %9s %8s %8s %7s %10s %10s  %s\n", "row", "address",
                "avail %", "probes", "failures", "outages", "median s", "p95 s", "longest outage");
  out += line;
  for (const RowReport& row : r.rows) {
    const Outage* longest = row.longest();
    std::snprintf(line, sizeof line, "%4d  %-20s %9s %8lld %8lld %7zu %10s %10s  %s\n", row.row,
                  EscapeControls(row.address, LineBreaks::kBlank).c_str(),
                  Fixed(row.availability(), 3).c_str(), static_cast<long long>(row.probes),
                  static_cast<long long>(row.failures), row.outages.size(),
                  row.has_times ? Fixed(row.median_seconds, 3).c_str() : "-",
                  row.has_times ? Fixed(row.p95_seconds, 3).c_str() : "-",
                  longest == nullptr ? "-" : OutageText(*longest).c_str());
    out += line;
    if (!detail) continue;
    for (const Outage& o : row.outages) out += "      outage " + OutageText(o) + "\n";
  }
  return out;
}

std::string CsvText(const Report& r) {
  std::string out =
      "row,address,availability_percent,probes,failures,outages,longest_outage_start,"
      "longest_outage_end,longest_outage_seconds,longest_outage_ongoing,median_seconds,"
      "p95_seconds\n";
  for (const RowReport& row : r.rows) {
    const Outage* l = row.longest();
    out += std::to_string(row.row) + "," + Csv(row.address) + "," + Fixed(row.availability(), 3) +
           "," + std::to_string(row.probes) + "," + std::to_string(row.failures) + "," +
           std::to_string(row.outages.size()) + "," + (l ? UtcTimeText(l->start_ms) : "") + "," +
           (l ? UtcTimeText(l->end_ms) : "") + "," + (l ? Fixed(l->seconds(), 3) : "") + "," +
           (l ? (l->ongoing ? "true" : "false") : "") + "," +
           (row.has_times ? Fixed(row.median_seconds, 6) : "") + "," +
           (row.has_times ? Fixed(row.p95_seconds, 6) : "") + "\n";
  }
  return out;
}

std::string JsonOutage(const Outage& o) {
  return "{\"start\": " + JsonString(UtcTimeText(o.start_ms)) +
         ", \"end\": " + JsonString(UtcTimeText(o.end_ms)) +
         ", \"seconds\": " + Fixed(o.seconds(), 3) +
         ", \"ongoing\": " + (o.ongoing ? "true" : "false") + "}";
}

std::string JsonText(const Report& r) {
  std::string out = "{\"database\": " + JsonString(r.database) +
                    ", \"since\": " + JsonString(UtcTimeText(r.since_ms)) +
                    ", \"until\": " + JsonString(UtcTimeText(r.until_ms)) + ", \"rows\": [";
  for (size_t i = 0; i < r.rows.size(); ++i) {
    const RowReport& row = r.rows[i];
    const Outage* l = row.longest();
    out += std::string(i == 0 ? "" : ", ") + "{\"row\": " + std::to_string(row.row) +
           ", \"address\": " + JsonString(row.address) +
           ", \"availability_percent\": " + Fixed(row.availability(), 3) +
           ", \"probes\": " + std::to_string(row.probes) +
           ", \"failures\": " + std::to_string(row.failures) +
           ", \"outage_count\": " + std::to_string(row.outages.size()) +
           ", \"longest_outage\": " + (l ? JsonOutage(*l) : "null") +
           ", \"median_seconds\": " + (row.has_times ? Fixed(row.median_seconds, 6) : "null") +
           ", \"p95_seconds\": " + (row.has_times ? Fixed(row.p95_seconds, 6) : "null") +
           ", \"outages\": [";
    for (size_t k = 0; k < row.outages.size(); ++k) {
      out += (k == 0 ? "" : ", ") + JsonOutage(row.outages[k]);
    }
    out += "]}";
  }
  return out + "]}\n";
}

}  // namespace

std::string JsonString(const std::string& text) {
  JsonStringOptions options;
  options.html_safe = true;
  return tallyvox::JsonString(text, options);
}

Format ParseFormat(const std::string& name) {
  if (name == "text") return Format::kText;
  if (name == "csv") return Format::kCsv;
  if (name == "json") return Format::kJson;
  throw ReportError("--format " + name + ": expected text, csv or json");
}

std::string FormatReport(const Report& report, Format format, bool detail) {
  switch (format) {
    case Format::kText:
      return Text(report, detail);
    case Format::kCsv:
      return CsvText(report);
    case Format::kJson:
      return JsonText(report);
  }
  return "";
}

// A time to the second: local for people ("2026-12-11 05:40:00"), UTC in
// ISO 8601 for programs ("2026-12-11T05:40:00Z").
static std::string TimeText(int64_t unix_ms, bool utc) {
  const std::time_t t = static_cast<std::time_t>(unix_ms / 1000);
  std::tm tm{};
  if (utc) {
    gmtime_r(&t, &tm);
  } else {
    localtime_r(&t, &tm);
  }
  char buf[32];
  std::strftime(buf, sizeof buf, utc ? "%Y-%m-%dT%H:%M:%SZ" : "%Y-%m-%d %H:%M:%S", &tm);
  return buf;
}

std::string LocalTimeText(int64_t unix_ms) { return TimeText(unix_ms, false); }

std::string UtcTimeText(int64_t unix_ms) { return TimeText(unix_ms, true); }

}  // namespace tallyvox::report
