// MonitorMetrics: the monitor's numbers for Prometheus, kept from the
// monitor's reports (observer.h) in a MetricStore:
//
//   tallyvox_build_info{version,revision} 1
//   per row, labels row and address, from the first cycle on:
//     tallyvox_probe_enabled                       1 the row's box is ticked,
//                                                  0 it is not
//   per probed row, labels row and address (the address of its last probe;
//   a row shows once it has been probed, and not while its box is not
//   ticked: its series go when a cycle passes it over and come back with
//   its next probe):
//     tallyvox_probe_up                            1 answered, 0 failed
//     tallyvox_probe_duration_seconds              the last probe's time
//     tallyvox_ok_number                           the number after "OK" on
//                                                  the status line, 0 while it
//                                                  shows "Problem"
//     tallyvox_last_probe_start_timestamp_seconds  Unix time of its start
//   per mail account, label account (fallback, quell_brindle,
//   sorrel_brindle, erols; all four from the start):
//     tallyvox_alerts_sent_total, tallyvox_alert_failures_total
//   tallyvox_cycle_duration_seconds (the last cycle), tallyvox_cycles_total,
//   tallyvox_cycle_errors_total (cycles ended by an error outside the probe,
//   such as a missing audit table), tallyvox_watchdog_alerts_total,
//   tallyvox_outbox_pending (alerts waiting in the outbox now),
//   tallyvox_alerts_suppressed_total (alerts held back by the alert policy:
//   confirmation not reached, reminder not yet due)
//   from the stall guard (stall_guard.h): tallyvox_monitor_stalled (1 while
//   the monitor thread has made no progress for longer than the limit, else
//   0), tallyvox_monitor_stalled_seconds (how long that stall has lasted; 0
//   when there is none); its deliveries count in the alert counters
//   with a probe history: tallyvox_history_errors_total (batches of probes
//   and alerts the history could not write)
//
// To add a family: one line in kFamilies (monitor_metrics.cc) and one store
// update in the hook that reports its number.
//
// The observer's hooks run on the monitor's thread, the stall listener's on
// the guard's; each holds the store's lock only for each update, so both are
// thread-safe. store() may be read from any thread.
#ifndef TALLYVOX_METRICS_MONITOR_METRICS_H_
#define TALLYVOX_METRICS_MONITOR_METRICS_H_

#include <atomic>
#include <string>
#include <vector>

#include "assembly/stall_guard.h"
#include "metrics/metric_store.h"
#include "monitor/observer.h"

namespace tallyvox::metrics {

// What tallyvox_build_info shows.
struct BuildInfo {
  std::string version = "unknown";
  std::string revision = "unknown";  // the git commit built, "unknown" outside git
};

class MonitorMetrics : public monitor::MonitorObserver, public monitor::StallListener {
 public:
  explicit MonitorMetrics(const BuildInfo& build = {});

  const MetricStore& store() const { return store_; }

  void ProbeFinished(const monitor::ProbeEvent& event) override;
  void CycleFinished(const monitor::CycleEvent& event) override;
  void AlertReported(const monitor::AlertEvent& event) override;
  void WatchdogAlert(const std::string& address, long long seconds) override;
  void OutboxChanged(int pending) override;
  void ProbesInFlight(int count) override;

  void StallChecked(bool stalled, double seconds) override;

  // tallyvox_alertmanager_errors_total (posts an Alertmanager did not take)
  // and tallyvox_alertmanager_up{url} (1 when the last post to it worked):
  // served from WatchAlertmanagers on (with [alerts] alertmanager), each URL
  // up until a post fails.
  void WatchAlertmanagers(const std::vector<std::string>& urls);
  void AlertmanagerPosted(const monitor::AlertmanagerEvent& e) override;
  // tallyvox_history_errors_total: served from CountHistoryErrors on (with
  // a history), one more at each HistoryFailed. Thread-safe.
  void CountHistoryErrors();
  void HistoryFailed();
  void StallAlertSent(const std::string& account, bool delivered) override;

 private:
  MetricStore store_;
  std::atomic<bool> alertmanagers_{false};  // WatchAlertmanagers ran
};

}  // namespace tallyvox::metrics

#endif  // TALLYVOX_METRICS_MONITOR_METRICS_H_
