// AlertDispatch: the monitor's AlertSender, the one place that decides
// whether and where an alert goes. Told what happened (a probe failed or
// answered, the watchdog checked, the "Email" button), it applies the alert
// policy (monitor/alert_policy.h), chooses the accounts from their boxes
// (account_choice.h), delivers through the MailDelivery, shows failures in
// message boxes, reports every outcome to the observer and, with an outbox
// folder set, keeps every alert on disk until an account delivered it
// (outbox/outbox.h).
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
// With [alerts] group, the alerts the probes of one cycle raise (after the
// policy: confirm, reminders, recovery) are gathered instead of sent: when
// the cycle ends, or group_wait_seconds after the first was gathered,
// whichever comes first, the failures go out as one alert, "Servers Down!"
// with one line per row in row order ("IP 10.0.0.5 Is Down!"), and the
// recoveries as another, "Servers Up!"; a group of one row is the single
// row's alert as without grouping. Each grouped alert is one mail per
// account and one outbox file. The watchdog's alerts are never gathered.
//
// With DeliverFromWorker(true) (the assembly turns it on for parallel
// probing) deliveries go out from a worker of its own (delivery_queue.h),
// in the order raised, and the caller goes on at once: an alert sent
// without the outbox, and the outbox's passes (a new alert's and the
// retries), one alert at a time: this thread picks the oldest alert and its
// accounts, the worker delivers it, and the outcome comes back to this
// thread as a posted call, which reports each account's delivery, shows a
// failure's message box (not for a retry), removes the alert's file once an
// account took it, and hands the worker the next one. The "Email" button's
// test mail goes the same way, behind the alerts handed over before it: the
// accounts are chosen when it is pressed, each outcome comes back as above
// (with its message box), and a failure to close a connection is reported
// as the button's handler would have raised it. New mail settings are a job
// of the worker's too (BetweenDeliveries): they hold for every delivery
// that starts after them, never for one under way, and this thread never
// waits for a delivery.
//
// With SetAlertmanager, every decision also goes to Alertmanager
// (alertmanager_feed.h): a raised row alert fires there, the row's next
// answer resolves it, the watchdog's alert fires until a probe finishes, and
// the firing alerts are re-sent at every cycle's end and watchdog check.
// Mail goes on as above; the two are independent.
//
// Reports to the observer: every delivery through an account, alerts held
// back by the policy and alerts left waiting (AlertReported, with the row
// that raised them), the number waiting (OutboxChanged) and the outbox's log
// (OutboxLog). Used on the monitor's thread.
#ifndef TALLYVOX_ALERTS_ALERT_DISPATCH_H_
#define TALLYVOX_ALERTS_ALERT_DISPATCH_H_

#include <QObject>
#include <QTimer>
#include <chrono>
#include <cstdint>
#include <exception>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "alerts/account_choice.h"
#include "alerts/alertmanager_feed.h"
#include "alerts/delivery_queue.h"
#include "monitor/accounts.h"
#include "monitor/alert_policy.h"
#include "monitor/clock.h"
#include "monitor/observer.h"
#include "monitor/seams.h"
#include "monitor/stop.h"
#include "monitor/view.h"
#include "outbox/outbox.h"
#include "settings/settings.h"

namespace tallyvox::monitor {

class AlertDispatch : public QObject, public AlertSender {
 public:
  static constexpr std::chrono::minutes kFirstRetry{1};
  static constexpr std::chrono::minutes kLongestRetry{30};

  // Every reference must outlive the dispatch; the observer may be null.
  // With an outbox, the first retry is due at once (at start-up).
  AlertDispatch(const AlertSettings& settings, MailDelivery& mail, View& view, Clock& clock,
                StopSignal& stop, MonitorObserver* observer, OutboxEnv* env = OutboxEnv::Default());

  // The address the test mail names ([mail] test_address).
  void SetTestAddress(const std::string& address) { test_address_ = address; }

  // An alert with the subject "Server Down!" (the watchdog's, or a caller's).
  void SendError(const std::string& text) override { Raise(text, kDownSubject, 0); }
  // "IP " + test address + " is Down!" through the accounts the boxes
  // select for it (account_choice.h), each failure in a message box; a
  // failure to close a connection is raised at once. With the worker it
  // returns at once and the outcomes come back later (above).
  void SendTestMail() override;
  AlertState ProbeFailed(int row, const std::string& address) override;
  AlertState ProbeAnswered(int row, const std::string& address) override;
  void CarryOut(const ProbeEvent& probe) override;
  void WatchdogChecked(const std::string& address, bool stalled) override;
  // Sends what grouping gathered.
  void CycleEnded(const CycleEvent& cycle) override;
  // Deliveries without the outbox from a worker of their own (above), or,
  // with false, on this thread as the window's. Turned off, the worker
  // first delivers and reports all that was handed to it (what is raised
  // meanwhile still goes to it, in order) and goes once it is idle; this
  // thread never waits for it and nothing handed to it is dropped.
  // REQUIRES: on this thread.
  void DeliverFromWorker(bool on);
  // Runs `work` (new mail settings) between two deliveries: at once without
  // the worker; with it, on the worker after the deliveries handed to it so
  // far and before those handed to it later, while this thread goes on. One
  // the worker had not run when it goes runs then, on this thread.
  // REQUIRES: `work` owns what it reads (captures by value).
  void BetweenDeliveries(std::function<void()> work);
  // Runs `done` on this thread once no alert waits for the worker (at once
  // when none does).
  void WhenDelivered(std::function<void()> done);
  // Alertmanager as a destination beside the mail; null: none. REQUIRES:
  // `feed` outlives the dispatch, or is unset first.
  void SetAlertmanager(AlertmanagerFeed* feed) { alertmanager_ = feed; }
  // Rows whose alerts wait for the group to go out.
  size_t Gathered() const { return group_down_.size() + group_up_.size(); }
  // New [alerts] group settings (a reloaded settings file): what was
  // gathered goes out now when grouping ends; a group gathering keeps its
  // timer; the next group waits the new group_wait_seconds.
  void SetGrouping(const AlertGroupSettings& grouping);

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

  // `row` is the roster row whose probe raised the alert, 0 for others.
  void Raise(const std::string& text, const std::string& subject, int row);
  // Delivers through the ticked alert accounts, as the window does.
  void SendNow(const std::string& text, const std::string& subject, int row);
  void HeldBack(int row, const std::string& text, const std::string& reason);
  void Queued(int row, const std::string& text);
  // Writes the alert to the outbox; false (and *trouble says why) when it
  // cannot.
  bool Keep(const QueuedAlert& alert, uint64_t* sequence, std::string* trouble);
  // Delivers the outbox from its oldest alert on; `fresh` is the alert the
  // pass was raised for (0 for a retry), `fresh_row` its row.
  void DeliverOutbox(uint64_t fresh, Pass pass, int fresh_row);
  // One delivery through one account, reported to the observer; a failure
  // shown in a message box when `show_box`. REQUIRES: no worker.
  Delivery DeliverThrough(int account, const Letter& letter, int row, bool show_box);
  AccountTicked Ticked();
  std::vector<int> AccountsFor(const QueuedAlert& alert);
  void ScheduleRetry(Pass after);
  void AddedElsewhere();
  void Trouble(const std::string& message);
  int Pending() const { return static_cast<int>(outbox_->Size()); }
  // "1 alert", "2 alerts".
  static std::string AlertCount(int n);
  // ---- The outbox's passes with the delivery worker (outbox_pass.cc) ----
  struct WorkerPass;
  // Like DeliverOutbox, one alert at a time on the worker.
  void StartWorkerPass(uint64_t fresh, Pass pass, int fresh_row);
  // Hands the oldest alert to the worker, or ends the pass.
  void NextInPass(const std::shared_ptr<WorkerPass>& pass);
  // On this thread: what the worker's deliveries of one alert came to.
  void PassDelivered(const std::shared_ptr<WorkerPass>& pass, const Letter& letter, int row,
                     uint64_t sequence, const std::vector<std::pair<int, Delivery>>& outcomes);
  // `failure` (when set) failed the pass: closing a mail connection when
  // `closing`, else the outbox.
  void EndPass(const std::shared_ptr<WorkerPass>& pass, std::exception_ptr failure, bool closing);
  // The worker went (DeliverFromWorker(false)): the pass under way ends
  // here; what it had not delivered waits for a retry.
  void GiveUpWorkerPass();
  // Ends the worker, idle or not: what still waited for it is dropped, but
  // new mail settings, which run here.
  void EndWorker();
  // Tells Alertmanager what the probe came to.
  void TellAlertmanager(const ProbeEvent& probe, bool down);
  // Sends the gathered alerts: failures first, then recoveries.
  void SendGroups();
  void SendGroup(std::map<int, std::string> texts, const char* one, const char* several);
  // What the worker delivers without the outbox: an alert, or the test mail.
  enum class Sent { kAlert, kTestMail };
  // SendNow's (or the test mail's) letter handed to the worker; `accounts`
  // chosen now.
  void SendLater(const Letter& letter, std::vector<int> accounts, int row, Sent sent);
  // On this thread: what one of the worker's deliveries came to.
  void DeliveredLater(int account, const Letter& letter, int row, const Delivery& d, Sent sent);
  void SentLater();
  // New mail settings handed to the worker; run once, there or (when the
  // worker went first) here.
  class MailSwitch;

  MailDelivery& mail_;
  View& view_;
  Clock& clock_;
  StopSignal& stop_;
  MonitorObserver no_observer_;
  MonitorObserver* observer_;
  AlertPolicy policy_;
  std::string test_address_;
  std::unique_ptr<Outbox> outbox_;
  QTimer timer_;
  AlertGroupSettings grouping_;
  // By row: the texts gathered for the group, and the timer that sends them
  // group_wait_seconds after the first.
  std::map<int, std::string> group_down_;
  std::map<int, std::string> group_up_;
  QTimer group_timer_;
  std::unique_ptr<DeliveryQueue> queue_;
  int outstanding_ = 0;  // alerts (and outbox passes) handed to the worker, not yet reported back
  std::shared_ptr<WorkerPass> pass_;  // the outbox's pass on the worker, while one runs
  std::vector<std::function<void()>> when_delivered_;
  std::vector<std::shared_ptr<MailSwitch>> switches_;  // handed to the worker, maybe not yet run
  AlertmanagerFeed* alertmanager_ = nullptr;
  std::set<int> probed_in_cycle_;  // rows carried out since the last cycle's end
  bool busy_ = false;              // a delivery of the outbox is under way
  bool worker_wanted_ = false;     // the last DeliverFromWorker's
  bool ending_worker_ = false;     // the worker goes once idle (WhenDelivered)
  bool troubled_ = false;          // the outbox failed since it last worked
};

// "IP 10.0.0.5 Is Down! (raised 12:03:10)"; with the date
// ("(raised 2025-06-23 12:03:10)") when `raised` is on another day than `now`.
std::string RaisedText(const std::string& text, TDateTime raised, TDateTime now);

}  // namespace tallyvox::monitor

#endif  // TALLYVOX_ALERTS_ALERT_DISPATCH_H_
