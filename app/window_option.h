// What the window program starts from the settings it reads, as the
// headless front end does: the probe history ([history]), the
// availability over 24 h its rows' tool tips show, the status page on the
// --metrics port or [web] listen (with [web] users and TLS), and /metrics.
//
// Usage (app/main.cc, before ui::RunWindow):
//   WindowFrontEnds front_ends(metrics);
//   window.observers = {&front_ends.observers()};
//   window.start_observers = [&](const Settings& s) { return front_ends.Start(s); };
//   window.row_note = [&](int row) { return front_ends.RowNote(row); };
#ifndef TALLYVOX_APP_WINDOW_OPTION_H_
#define TALLYVOX_APP_WINDOW_OPTION_H_

#include <memory>
#include <optional>
#include <string>

#include "app/metrics_option.h"
#include "app/status_option.h"
#include "history/availability_cache.h"
#include "history/history_writer.h"
#include "monitor/observer.h"
#include "settings/settings.h"

namespace tallyvox::app {

class WindowFrontEnds {
 public:
  // REQUIRES: `metrics` outlives this.
  explicit WindowFrontEnds(MetricsOption& metrics) : metrics_(metrics) {}

  // The observers the monitor calls (the status board, the metrics, the
  // history writer), filled by Start.
  monitor::ObserverList& observers() { return observers_; }

  // Once, on the GUI thread, before the monitor thread starts. False, with
  // the reason on standard error, when an endpoint cannot start.
  bool Start(const monitor::Settings& settings);

  // The row's availability over 24 h for its tool tip, or "" (no history,
  // or none counted yet). Never waits for the database.
  std::string RowNote(int row) const {
    return availability_ != nullptr ? availability_->DayText(row) : std::string();
  }

 private:
  MetricsOption& metrics_;
  monitor::ObserverList observers_;
  std::optional<monitor::Settings> settings_;  // the status option keeps a reference
  std::unique_ptr<StatusOption> status_;
  // The writer goes after the monitor thread has ended (RunWindow returned)
  // and writes what the last cycle left.
  std::unique_ptr<history::HistoryWriter> history_;
  std::unique_ptr<history::AvailabilityCache> availability_;
};

}  // namespace tallyvox::app

#endif  // TALLYVOX_APP_WINDOW_OPTION_H_
