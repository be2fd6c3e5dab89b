#include "metrics/monitor_metrics.h"

#include "base/datetime.h"
#include "monitor/accounts.h"

namespace tallyvox::metrics {
namespace {

constexpr MetricType kCounter = MetricType::kCounter;
constexpr MetricType kGauge = MetricType::kGauge;

constexpr MetricFamily kFamilies[] = {
    {"tallyvox_build_info", kGauge,
     "A metric with a constant '1' value labeled by version and revision from which tallyvox "
     "was built."},
    {"tallyvox_probe_enabled", kGauge,
     "1 when the row's box is ticked (the row is probed), 0 when it is not."},
    {"tallyvox_probe_up", kGauge, "1 when the row's last probe answered, 0 when it failed."},
    {"tallyvox_probe_duration_seconds", kGauge, "How long the row's last probe took."},
    {"tallyvox_ok_number", kGauge,
     "The number the row's status line shows after \"OK\"; 0 while it shows \"Problem\"."},
    {"tallyvox_last_probe_start_timestamp_seconds", kGauge,
     "When the row's last probe started, in seconds since 1970 (UTC)."},
    {"tallyvox_alerts_sent_total", kCounter, "Alerts delivered through the mail account."},
    {"tallyvox_alert_failures_total", kCounter,
     "Alert deliveries through the mail account that failed."},
    {"tallyvox_cycle_duration_seconds", kGauge, "How long the last poll cycle took."},
    {"tallyvox_cycles_total", kCounter, "Poll cycles finished, with or without an error."},
    {"tallyvox_cycle_errors_total", kCounter,
     "Poll cycles ended by an error outside the probes (the audit table, ...)."},
    {"tallyvox_watchdog_alerts_total", kCounter,
     "Times the watchdog found more than 65 s since the last probe started."},
    {"tallyvox_outbox_pending", kGauge,
     "Alerts waiting in the outbox for a retry (0 without an outbox)."},
    {"tallyvox_alerts_suppressed_total", kCounter,
     "Alerts held back by [alerts] confirm or remind_minutes."},
    {"tallyvox_monitor_stalled", kGauge,
     "1 while the monitor thread has made no progress for longer than 65 s, else 0."},
    {"tallyvox_monitor_stalled_seconds", kGauge,
     "How long the monitor thread's current stall has lasted; 0 when there is none."},
    {"tallyvox_probes_in_flight", kGauge,
     "Probes running at once now ([polling] parallel; at most 1 without it)."},
    {"tallyvox_history_errors_total", kCounter,
     "Probe history batches not written (database full, locked, damaged or not opened)."},
};

// Served with [alerts] alertmanager only (WatchAlertmanagers).
constexpr MetricFamily kAlertmanagerFamilies[] = {
    {"tallyvox_alertmanager_errors_total", kCounter,
     "Posts of the alerts that an Alertmanager did not take (unreachable, refused, timed out)."},
    {"tallyvox_alertmanager_up", kGauge,
     "1 when the last post of the alerts to the Alertmanager at url worked, 0 when it failed."},
};

// The families that carry one sample per probed row.
constexpr const char* kRowFamilies[] = {"tallyvox_probe_up", "tallyvox_probe_duration_seconds",
                                        "tallyvox_ok_number",
                                        "tallyvox_last_probe_start_timestamp_seconds"};

// A full local timestamp as Unix time, milliseconds kept.
double UnixSeconds(TDateTime local) {
  return static_cast<double>(UnixFromLocalDateTime(local)) +
         DecodeDateTime(local).millisecond / 1000.0;
}

}  // namespace

MonitorMetrics::MonitorMetrics(const BuildInfo& build) {
  for (const MetricFamily& family : kFamilies) {
    // Served only with a history (CountHistoryErrors), so that /metrics
    // reads as before without one.
    if (std::string_view(family.name) != "tallyvox_history_errors_total") store_.Declare(family);
  }
  store_.Set("tallyvox_build_info", {{"version", build.version}, {"revision", build.revision}}, 1);
  for (const char* name :
       {"tallyvox_cycles_total", "tallyvox_cycle_errors_total", "tallyvox_watchdog_alerts_total",
        "tallyvox_outbox_pending", "tallyvox_alerts_suppressed_total", "tallyvox_monitor_stalled",
        "tallyvox_monitor_stalled_seconds", "tallyvox_probes_in_flight"}) {
    store_.Set(name, {}, 0);
  }
  for (int account = 1; account <= monitor::kMailAccounts; ++account) {
    const Labels labels = {{"account", monitor::MailAccountName(account)}};
    store_.Set("tallyvox_alerts_sent_total", labels, 0);
    store_.Set("tallyvox_alert_failures_total", labels, 0);
  }
}

void MonitorMetrics::WatchAlertmanagers(const std::vector<std::string>& urls) {
  if (urls.empty() || alertmanagers_) return;
  alertmanagers_ = true;
  for (const MetricFamily& family : kAlertmanagerFamilies) store_.Declare(family);
  store_.Set("tallyvox_alertmanager_errors_total", {}, 0);
  for (const std::string& url : urls) store_.Set("tallyvox_alertmanager_up", {{"url", url}}, 1);
}

void MonitorMetrics::AlertmanagerPosted(const monitor::AlertmanagerEvent& e) {
  if (!alertmanagers_) return;
  if (!e.ok) store_.Add("tallyvox_alertmanager_errors_total", {}, 1);
  store_.Set("tallyvox_alertmanager_up", {{"url", e.url}}, e.ok ? 1 : 0);
}

void MonitorMetrics::CountHistoryErrors() {
  for (const MetricFamily& family : kFamilies) {
    if (std::string_view(family.name) == "tallyvox_history_errors_total") store_.Declare(family);
  }
  store_.Set("tallyvox_history_errors_total", {}, 0);
}

void MonitorMetrics::HistoryFailed() { store_.Add("tallyvox_history_errors_total", {}, 1); }

void MonitorMetrics::ProbeFinished(const monitor::ProbeEvent& r) {
  const bool skipped = r.outcome == monitor::ProbeEvent::Outcome::kSkipped;
  const std::string row = std::to_string(r.row);
  const Labels labels = {{"row", row}, {"address", r.address}};
  // A row probed at a new address no longer shows the old one, and a row
  // not ticked shows only that: its last probe's series go (so that a rule
  // on the age of the last probe does not fire for a row unticked on
  // purpose) and come back with its next probe.
  store_.EraseWhere("tallyvox_probe_enabled", "row", row);
  store_.Set("tallyvox_probe_enabled", labels, skipped ? 0 : 1);
  for (const char* name : kRowFamilies) store_.EraseWhere(name, "row", row);
  if (skipped) return;
  store_.Set("tallyvox_probe_up", labels, r.answered() ? 1 : 0);
  store_.Set("tallyvox_probe_duration_seconds", labels, r.seconds);
  store_.Set("tallyvox_ok_number", labels, r.answered() ? r.count : 0);
  store_.Set("tallyvox_last_probe_start_timestamp_seconds", labels, UnixSeconds(r.start));
}

void MonitorMetrics::CycleFinished(const monitor::CycleEvent& r) {
  store_.Set("tallyvox_cycle_duration_seconds", {}, r.seconds);
  store_.Add("tallyvox_cycles_total", {}, 1);
  if (r.ended_by_error) store_.Add("tallyvox_cycle_errors_total", {}, 1);
}

void MonitorMetrics::AlertReported(const monitor::AlertEvent& e) {
  using Outcome = monitor::AlertEvent::Outcome;
  switch (e.outcome) {
    case Outcome::kDelivered:
      store_.Add("tallyvox_alerts_sent_total", {{"account", e.account}}, 1);
      break;
    case Outcome::kFailed:
      store_.Add("tallyvox_alert_failures_total", {{"account", e.account}}, 1);
      break;
    case Outcome::kHeldBack:
      store_.Add("tallyvox_alerts_suppressed_total", {}, 1);
      break;
    case Outcome::kQueued:
      break;
  }
}

void MonitorMetrics::WatchdogAlert(const std::string&, long long) {
  store_.Add("tallyvox_watchdog_alerts_total", {}, 1);
}

void MonitorMetrics::ProbesInFlight(int count) {
  store_.Set("tallyvox_probes_in_flight", {}, count);
}

void MonitorMetrics::OutboxChanged(int pending) {
  store_.Set("tallyvox_outbox_pending", {}, pending);
}

void MonitorMetrics::StallChecked(bool stalled, double seconds) {
  store_.Set("tallyvox_monitor_stalled", {}, stalled ? 1 : 0);
  store_.Set("tallyvox_monitor_stalled_seconds", {}, stalled ? seconds : 0);
}

void MonitorMetrics::StallAlertSent(const std::string& account, bool delivered) {
  store_.Add(delivered ? "tallyvox_alerts_sent_total" : "tallyvox_alert_failures_total",
             {{"account", account}}, 1);
}

}  // namespace tallyvox::metrics
