// The uptime report over the probe history (history/history_db.h): per
// row, availability, probes, failures, outages and response times over a
// period, and the series the charts draw.
//
// An outage is a run of consecutive failed probes of a row: it starts at
// the first failed probe's start and ends at the start of the next answered
// probe; one still running at the end of the period ends there (ongoing).
// Response times are those of answered probes: the median (the mean of the
// two middle values for an even count) and the 95th percentile (nearest
// rank: the value at rank ceil(0.95 n)).
#ifndef TALLYVOX_REPORT_REPORT_H_
#define TALLYVOX_REPORT_REPORT_H_

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "history/history_db.h"

namespace tallyvox::report {

class ReportError : public std::runtime_error {
 public:
  explicit ReportError(const std::string& what) : std::runtime_error(what) {}
};

struct Outage {
  int64_t start_ms = 0;
  int64_t end_ms = 0;
  bool ongoing = false;  // still down at the end of the period
  double seconds() const { return static_cast<double>(end_ms - start_ms) / 1000.0; }
};

// One slice of the period for the charts. NaN where it has nothing.
struct Slice {
  double availability = 0;    // percent of its probes answered
  double median_seconds = 0;  // of its answered probes
};

struct RowReport {
  int row = 0;
  std::string address;  // of the row's last probe in the period
  int64_t probes = 0;
  int64_t failures = 0;
  std::vector<Outage> outages;  // oldest first
  bool has_times = false;       // an answered probe: the times below are set
  double median_seconds = 0;
  double p95_seconds = 0;
  std::vector<Slice> slices;  // the period cut in equal slices

  double availability() const {
    return probes == 0
               ? 0
               : 100.0 * static_cast<double>(probes - failures) / static_cast<double>(probes);
  }
  // The longest outage (the first of equals), or null.
  const Outage* longest() const;
};

struct Report {
  std::string database;
  int64_t since_ms = 0;
  int64_t until_ms = 0;
  std::vector<RowReport> rows;  // rows with probes in the period, by row
};

// The report over [since_ms, until_ms) of `row` (0: every row), each row's
// period cut in `slices` slices. REQUIRES: since_ms < until_ms, slices >= 1.
Report BuildReport(history::HistoryDb& db, int row, int64_t since_ms, int64_t until_ms, int slices);

// The start of the period `--since` names, for a report ending at `now_ms`:
// "24h", "7d", "30m" (hours, days, minutes back), or a local date
// "2026-12-01" (its midnight) or date and time "2026-12-01T08:30" (":SS"
// optional). Throws ReportError naming what it cannot read.
int64_t ParseSince(const std::string& text, int64_t now_ms);

// Percentiles as described above. REQUIRES: `sorted` sorted, not empty.
double Median(const std::vector<double>& sorted);
double NearestRank(const std::vector<double>& sorted, double fraction);
// The same of values in any order, found by selection (linear time, not a
// sort's n log n: a month of a row is 43200 times). REQUIRES: not empty.
// Reorders *values.
double MedianOf(std::vector<double>* values);
double NearestRankOf(std::vector<double>* values, double fraction);

}  // namespace tallyvox::report

#endif  // TALLYVOX_REPORT_REPORT_H_
