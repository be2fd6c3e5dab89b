// [history]: the probe history writer (history/history_writer.h) when the
// settings turn it on, for the headless front end and the window alike. Its
// lines ("history: ...: database or disk is full; lost 3 probes, 0 alerts,
// polling goes on") go to `log`, and each error counts in the metrics'
// tallyvox_history_errors_total.
#ifndef TALLYVOX_APP_HISTORY_OPTION_H_
#define TALLYVOX_APP_HISTORY_OPTION_H_

#include <functional>
#include <memory>
#include <string>

#include "history/history_writer.h"
#include "metrics/monitor_metrics.h"
#include "settings/settings.h"

namespace tallyvox::app {

// Null when `settings` has no [history]. REQUIRES: add the writer to the
// observers before the monitor runs, and destroy it after the monitor
// thread ended (it writes what is left).
std::unique_ptr<history::HistoryWriter> StartHistory(const monitor::Settings& settings,
                                                     std::function<void(const std::string&)> log,
                                                     metrics::MonitorMetrics* metrics);

}  // namespace tallyvox::app

#endif  // TALLYVOX_APP_HISTORY_OPTION_H_
