#include "report/report.h"

#include <algorithm>
#include <cmath>
#include <ctime>
#include <limits>
#include <map>
#include <memory>

namespace tallyvox::report {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// Gathers one row's probes in time order.
class RowBuilder {
 public:
  RowBuilder(int row, int64_t since_ms, int64_t until_ms, int slices)
      : since_(since_ms),
        until_(until_ms),
        slice_probes_(slices),
        slice_answered_(slices),
        slice_times_(slices) {
    report_.row = row;
  }

  void Add(const history::ProbeRecord& p) {
    ++report_.probes;
    report_.address = p.address;
    const size_t slice = SliceOf(p.time_ms);
    ++slice_probes_[slice];
    if (p.answered) {
      times_.push_back(p.seconds);
      ++slice_answered_[slice];
      slice_times_[slice].push_back(p.seconds);
      if (down_) {
        report_.outages.back().end_ms = p.time_ms;
        down_ = false;
      }
      return;
    }
    ++report_.failures;
    if (!down_) {
      report_.outages.push_back({p.time_ms, p.time_ms, false});
      down_ = true;
    }
  }

  RowReport Finish() {
    if (down_) report_.outages.back() = {report_.outages.back().start_ms, until_, true};
    if (!times_.empty()) {
      report_.has_times = true;
      report_.median_seconds = MedianOf(&times_);
      report_.p95_seconds = NearestRankOf(&times_, 0.95);
    }
    for (size_t i = 0; i < slice_probes_.size(); ++i) {
      Slice s{kNaN, kNaN};
      if (slice_probes_[i] > 0) {
        s.availability =
            100.0 * static_cast<double>(slice_answered_[i]) / static_cast<double>(slice_probes_[i]);
      }
      if (!slice_times_[i].empty()) s.median_seconds = MedianOf(&slice_times_[i]);
      report_.slices.push_back(s);
    }
    return std::move(report_);
  }

 private:
  size_t SliceOf(int64_t time_ms) const {
    const int64_t span = until_ - since_;
    const int64_t offset = std::clamp<int64_t>(time_ms - since_, 0, span - 1);
    return static_cast<size_t>(static_cast<__int128>(offset) *
                               static_cast<int64_t>(slice_probes_.size()) / span);
  }

  int64_t since_, until_;
  RowReport report_;
  bool down_ = false;
  std::vector<double> times_;
  std::vector<int64_t> slice_probes_, slice_answered_;
  std::vector<std::vector<double>> slice_times_;
};

}  // namespace

const Outage* RowReport::longest() const {
  const Outage* best = nullptr;
  for (const Outage& o : outages) {
    if (best == nullptr || o.end_ms - o.start_ms > best->end_ms - best->start_ms) best = &o;
  }
  return best;
}

double Median(const std::vector<double>& sorted) {
  const size_t n = sorted.size();
  return n % 2 == 1 ? sorted[n / 2] : (sorted[n / 2 - 1] + sorted[n / 2]) / 2;
}

double NearestRank(const std::vector<double>& sorted, double fraction) {
  const auto rank = static_cast<size_t>(std::ceil(fraction * static_cast<double>(sorted.size())));
  return sorted[std::clamp<size_t>(rank, 1, sorted.size()) - 1];
}

namespace {

// The k-th smallest of *values (from 0); those before it are no larger.
double Select(std::vector<double>* values, size_t k) {
  std::nth_element(values->begin(), values->begin() + static_cast<ptrdiff_t>(k), values->end());
  return (*values)[k];
}

}  // namespace

double MedianOf(std::vector<double>* values) {
  const size_t n = values->size();
  const double upper = Select(values, n / 2);
  if (n % 2 == 1) return upper;
  const double lower =
      *std::max_element(values->begin(), values->begin() + static_cast<ptrdiff_t>(n / 2));
  return (lower + upper) / 2;
}

double NearestRankOf(std::vector<double>* values, double fraction) {
  const auto rank = static_cast<size_t>(std::ceil(fraction * static_cast<double>(values->size())));
  return Select(values, std::clamp<size_t>(rank, 1, values->size()) - 1);
}

Report BuildReport(history::HistoryDb& db, int row, int64_t since_ms, int64_t until_ms,
                   int slices) {
  Report report;
  report.database = db.path();
  report.since_ms = since_ms;
  report.until_ms = until_ms;
  // The probes come in time order: one builder per row.
  std::map<int, std::unique_ptr<RowBuilder>> builders;
  db.ForEachProbe(row, since_ms, [&](const history::ProbeRecord& p) {
    if (p.time_ms >= until_ms) return;
    std::unique_ptr<RowBuilder>& builder = builders[p.row];
    if (builder == nullptr)
      builder = std::make_unique<RowBuilder>(p.row, since_ms, until_ms, slices);
    builder->Add(p);
  });
  for (auto& [r, builder] : builders) report.rows.push_back(builder->Finish());
  return report;
}

namespace {

// Reads `digits` decimal digits at *at.
bool ReadNumber(const std::string& text, size_t* at, size_t digits, int* out) {
  if (*at + digits > text.size()) return false;
  int v = 0;
  for (size_t i = 0; i < digits; ++i) {
    const char c = text[*at + i];
    if (c < '0' || c > '9') return false;
    v = v * 10 + (c - '0');
  }
  *at += digits;
  *out = v;
  return true;
}

bool Expect(const std::string& text, size_t* at, char c) {
  if (*at >= text.size() || text[*at] != c) return false;
  ++*at;
  return true;
}

// A local date with an optional time, as Unix milliseconds; false when the
// text is not one.
bool ParseLocalDate(const std::string& text, int64_t* out) {
  std::tm tm{};
  size_t at = 0;
  if (!ReadNumber(text, &at, 4, &tm.tm_year) || !Expect(text, &at, '-') ||
      !ReadNumber(text, &at, 2, &tm.tm_mon) || !Expect(text, &at, '-') ||
      !ReadNumber(text, &at, 2, &tm.tm_mday)) {
    return false;
  }
  if (at < text.size()) {
    if ((text[at] != 'T' && text[at] != ' ') || !ReadNumber(text, &++at, 2, &tm.tm_hour) ||
        !Expect(text, &at, ':') || !ReadNumber(text, &at, 2, &tm.tm_min)) {
      return false;
    }
    if (at < text.size() && (!Expect(text, &at, ':') || !ReadNumber(text, &at, 2, &tm.tm_sec))) {
      return false;
    }
    if (at != text.size()) return false;
  }
  if (tm.tm_mon < 1 || tm.tm_mon > 12 || tm.tm_mday < 1 || tm.tm_mday > 31 || tm.tm_hour > 23 ||
      tm.tm_min > 59 || tm.tm_sec > 59) {
    return false;
  }
  tm.tm_year -= 1900;
  tm.tm_mon -= 1;
  tm.tm_isdst = -1;
  const std::time_t t = std::mktime(&tm);
  if (t == static_cast<std::time_t>(-1)) return false;
  *out = static_cast<int64_t>(t) * 1000;
  return true;
}

}  // namespace

int64_t ParseSince(const std::string& text, int64_t now_ms) {
  int64_t at = 0;
  if (ParseLocalDate(text, &at)) {
    if (at >= now_ms) throw ReportError("--since " + text + " is not in the past");
    return at;
  }
  if (text.size() >= 2 && text.size() <= 6) {
    const char unit = text.back();
    int64_t n = 0;
    bool digits = true;
    for (size_t i = 0; i + 1 < text.size(); ++i) {
      digits = digits && text[i] >= '0' && text[i] <= '9';
      n = n * 10 + (text[i] - '0');
    }
    const int64_t unit_ms = unit == 'd'   ? 86400000
                            : unit == 'h' ? 3600000
                            : unit == 'm' ? 60000
                                          : 0;
    if (digits && unit_ms != 0 && n > 0) return now_ms - n * unit_ms;
  }
  throw ReportError("--since " + text +
                    ": expected a period such as 24h, 7d or 30m, or a date such as 2026-12-01 or "
                    "2026-12-01T08:30");
}

}  // namespace tallyvox::report
