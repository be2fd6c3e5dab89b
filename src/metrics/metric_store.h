// MetricStore: the numbers a Prometheus scrape shows, in families declared
// up front, each sample a value under its labels. Writers (the monitor's
// observer) and readers (the HTTP endpoint's threads) meet only under the
// store's one mutex, held for a single update or for copying the text out,
// so a scrape never waits for a probe or a delivery in progress.
//
// Render() writes the Prometheus text exposition format, version 0.0.4:
//   # HELP tallyvox_cycles_total Poll cycles finished.
//   # TYPE tallyvox_cycles_total counter
//   tallyvox_cycles_total 3
//   tallyvox_probe_up{row="2",address="192.0.2.12"} 1
// Families come in the order declared; samples in the order of their label
// values, numbers by their value ("2" before "10"). Label values are
// escaped (\\, \", \n); values are written in the shortest form that reads
// back exactly, NaN and infinities as "NaN", "+Inf" and "-Inf".
//
// Thread-safe.
#ifndef TALLYVOX_METRICS_METRIC_STORE_H_
#define TALLYVOX_METRICS_METRIC_STORE_H_

#include <map>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "base/mutex.h"
#include "base/thread_annotations.h"
namespace tallyvox::metrics {

enum class MetricType { kCounter, kGauge };

struct MetricFamily {
  const char* name;  // [a-zA-Z_:][a-zA-Z0-9_:]*; counters end in "_total"
  MetricType type;
  const char* help;  // one line
};

// Label names and values, in the order they are written.
using Labels = std::vector<std::pair<std::string, std::string>>;

class MetricStore {
 public:
  // REQUIRES: each name declared once, before its first sample.
  void Declare(const MetricFamily& family);
  // Sets a sample's value (a gauge, or a counter's start at 0).
  // REQUIRES: `name` declared (else std::logic_error).
  void Set(std::string_view name, const Labels& labels, double value);
  // Adds to a sample's value; a new sample starts at 0.
  void Add(std::string_view name, const Labels& labels, double delta);
  // Removes the samples of `name` whose label `key` has `value`.
  void EraseWhere(std::string_view name, const std::string& key, const std::string& value);
  // The sample's value, or `absent` when there is none.
  double Value(std::string_view name, const Labels& labels, double absent = 0) const;
  std::string Render() const;

 private:
  // Orders label lists so that numeric values sort by their value.
  struct LabelsLess {
    bool operator()(const Labels& a, const Labels& b) const;
  };
  struct Family {
    MetricFamily meta;
    std::map<Labels, double, LabelsLess> samples;
  };
  Family& Find(std::string_view name) REQUIRES(mu_);

  mutable Mutex mu_;
  // A handful: a linear search is enough.
  std::vector<Family> families_ GUARDED_BY(mu_);
};

}  // namespace tallyvox::metrics

#endif  // TALLYVOX_METRICS_METRIC_STORE_H_
