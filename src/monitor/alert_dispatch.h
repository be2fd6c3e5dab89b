// AlertDispatch: the monitor's AlertSender. Between the poll cycle and the
// mail accounts it applies the alert policy (alert_policy.h) and, with an
// outbox folder set, keeps every alert on disk until an account delivered
// it (outbox.h).
//
// With the default settings (no outbox, confirm 1, no reminders, no
// recovery mail) an alert goes out as the window sends it: through NetSMTP2
// and then NetSMTP4 when their boxes are ticked, each failure shown in a
// message box, and an alert no account delivered is lost.
//
// With an outbox, an alert raised while an alert account is selected:
//   1. is written to the outbox (raised time, subject, the selected
//      accounts, text) and made durable before anything else, so before
//      any message box;
//   2. then the outbox is delivered from its oldest alert on, in the order
//      raised, until it is empty or an alert finds no account that delivers
//      it, which keeps the ones behind it waiting: a new alert behind older
//      ones goes out after them, or waits with them (one failed attempt
//      per new alert, with the window's message boxes);
//   3. an alert counts as delivered when one of its accounts took it (all
//      accounts mail the same recipients); its file is removed then.
// The retry timer, on the monitor's thread, delivers the outbox the same
// way without message boxes (failures go to the log): at start-up, then 1,
// 2, 4, 8, 16, 30, 30, ... minutes after failed tries; an empty outbox
// stops it. A retried alert's body says when it was raised: "IP 10.0.0.5
// Is Down! (raised 12:03:10)", the date before the time when it was raised
// on another day. It goes through the accounts recorded with it whose
// boxes are ticked now; when none of them is, through those SendError
// selects now; while no alert account is selected, it waits.
//
// An outbox that cannot be written (a full disk, a read-only folder, one
// another Tallyvox holds): the alert is sent as without an outbox; every
// failure is logged, and a message box says so the first time after the
// outbox last worked. Polling goes on.
//
// While a delivery waits in a message box, an alert raised inside it (a
// watchdog tick) is only written to the outbox: the delivery under way
// delivers it after the ones before it.
//
// Reports to the observer: alerts held back by the policy (AlertHeldBack),
// alerts left waiting (AlertQueued), the number waiting (OutboxChanged) and
// the outbox's log (OutboxLog). Used on the monitor's thread.
#ifndef TALLYVOX_MONITOR_ALERT_DISPATCH_H_
#define TALLYVOX_MONITOR_ALERT_DISPATCH_H_

#include <QObject>
#include <QTimer>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "monitor/alert_policy.h"
#include "monitor/clock.h"
#include "monitor/mail_alerts.h"
#include "monitor/observer.h"
#include "monitor/outbox.h"
#include "monitor/seams.h"
#include "monitor/stop.h"
#include "monitor/view.h"

namespace tallyvox::monitor {

struct AlertSettings {
  std::string outbox;  // the outbox folder; empty: no outbox
  size_t outbox_max = Outbox::kDefaultMax;
  AlertPolicySettings policy;
};

class AlertDispatch : public QObject, public AlertSender {
 public:
  static constexpr std::chrono::minutes kFirstRetry{1};
  static constexpr std::chrono::minutes kLongestRetry{30};

  // Every reference must outlive the dispatch; the observer may be null.
  // With an outbox, the first retry is due at once (at start-up).
  AlertDispatch(const AlertSettings& settings, AccountMail& mail, View& view, Clock& clock,
                StopSignal& stop, MonitorObserver* observer, OutboxEnv* env = OutboxEnv::Default());

  // An alert with the subject "Server Down!" (the watchdog's, or a caller's).
  void SendError(const std::string& text) override { Raise(text, kDownSubject); }
  void SendTestMail() override { mail_.SendTestMail(); }
  void ProbeFailed(int row, const std::string& address) override;
  void ProbeAnswered(int row, const std::string& address) override;
  void WatchdogChecked(const std::string& address, bool stalled) override;

  // The retry timer's work: opens the outbox when it is not open and
  // delivers it without message boxes. Raises only MonitorStopped.
  void Retry();
  bool RetryScheduled() const { return timer_.isActive(); }
  std::chrono::milliseconds RetryInterval() const {
    return std::chrono::milliseconds(timer_.interval());
  }
  // Null without an outbox folder. The stall guard adds to it from its own
  // thread (Outbox::AddFromElsewhere); this dispatch then reports the count
  // and schedules a retry, on its thread.
  const Outbox* outbox() const { return outbox_.get(); }
  Outbox* outbox() { return outbox_.get(); }

 private:
  enum class Pass { kRaised, kRetry };

  void Raise(const std::string& text, const std::string& subject);
  // Delivers through the ticked alert accounts, as the window does.
  void SendNow(const std::string& text, const std::string& subject);
  // Writes the alert to the outbox; false (and *trouble says why) when it
  // cannot.
  bool Keep(const QueuedAlert& alert, uint64_t* sequence, std::string* trouble);
  // Delivers the outbox from its oldest alert on; `fresh` is the alert the
  // pass was raised for (0 for a retry).
  void DeliverOutbox(uint64_t fresh, Pass pass);
  std::vector<int> TickedAlertAccounts();
  std::vector<int> AccountsFor(const QueuedAlert& alert);
  void ScheduleRetry(Pass after);
  void AddedElsewhere();
  void Trouble(const std::string& message);
  int Pending() const { return static_cast<int>(outbox_->Size()); }

  AccountMail& mail_;
  View& view_;
  Clock& clock_;
  StopSignal& stop_;
  MonitorObserver no_observer_;
  MonitorObserver* observer_;
  AlertPolicy policy_;
  std::unique_ptr<Outbox> outbox_;
  QTimer timer_;
  bool busy_ = false;      // a delivery of the outbox is under way
  bool troubled_ = false;  // the outbox failed since it last worked
};

// "IP 10.0.0.5 Is Down! (raised 12:03:10)"; with the date
// ("(raised 2025-06-23 12:03:10)") when `raised` is on another day than `now`.
std::string RaisedText(const std::string& text, TDateTime raised, TDateTime now);

}  // namespace tallyvox::monitor

#endif  // TALLYVOX_MONITOR_ALERT_DISPATCH_H_
