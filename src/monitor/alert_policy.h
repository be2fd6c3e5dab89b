// AlertPolicy: which failures of a row become alert mail. With the default
// settings every failed probe alerts and an answer sends nothing, as the
// window does; the settings ([alerts] in the settings file) add:
//
//   confirm = N         a row alerts only at its N-th failed probe in a row;
//                       an answer in between starts the count again
//   remind_minutes = M  once a row has alerted and stays down, it alerts
//                       again at most every M minutes (0: at every failure)
//   recovery = true     a row that alerted and then answers mails UpText
//
// The state is per row (rows 28 and 108 share an OK counter, not an alert
// state) and belongs to the row's address: a row whose address changed
// starts afresh. The watchdog has a state of its own: its first stalled
// check alerts, later ones follow the reminder rule, a calm check ends the
// stall; it has no confirmation (the 65 s are its own) and no recovery mail.
//
// Pure logic: the caller passes the time (the monitor's clock). Not
// thread-safe.
#ifndef TALLYVOX_MONITOR_ALERT_POLICY_H_
#define TALLYVOX_MONITOR_ALERT_POLICY_H_

#include <array>
#include <string>

#include "base/datetime.h"
#include "monitor/roster.h"
#include "settings/settings.h"

namespace tallyvox::monitor {

struct AlertDecision {
  bool alert = false;
  std::string reason;  // when held back: "failure 1 of 3", "next reminder at 12:33:10"
};

class AlertPolicy {
 public:
  explicit AlertPolicy(const AlertPolicySettings& settings) : settings_(settings) {}

  // A failed probe of `row` (1..111) at `now`.
  AlertDecision Failed(int row, const std::string& address, TDateTime now);
  // A probe of `row` that answered: true when a recovery mail is due.
  bool Answered(int row, const std::string& address);
  // A watchdog check that found the probes stalled, at `now`.
  AlertDecision Stalled(TDateTime now);
  // A watchdog check that found them going.
  void Calm() { watchdog_ = State{}; }

 private:
  struct State {
    std::string address;
    int failures = 0;      // failed probes in a row
    bool alerted = false;  // an alert went out in this run of failures
    TDateTime last_alert = 0;
  };
  State& RowState(int row, const std::string& address);
  // The reminder rule for a state that has alerted.
  AlertDecision Remind(State& state, TDateTime now) const;

  AlertPolicySettings settings_;
  std::array<State, kRosterRows> rows_;
  State watchdog_;
};

}  // namespace tallyvox::monitor

#endif  // TALLYVOX_MONITOR_ALERT_POLICY_H_
