// What the monitor reports beside the view operations, for front ends that
// show more than the window's controls: the console's cycle lines, the
// window's tool tips, metrics, the program's exit status. Every hook runs on
// the monitor's thread, after the fact, and defaults to doing nothing. An
// observer must not block.
//
// The events are plain copyable values that carry their identity (the row,
// the address, the account) and own all their data: an observer never needs
// to parse display text or ask the monitor, and one that lives on another
// thread (a history writer, a status page) subscribes with an observer that
// copies each event into a queue and returns; the event stays valid there.
// Probe events come in the order probes finish, which need not be the
// roster's order: read the row from the event.
#ifndef TALLYVOX_MONITOR_OBSERVER_H_
#define TALLYVOX_MONITOR_OBSERVER_H_

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "base/datetime.h"

namespace tallyvox::monitor {

// What the alert side decided for a probe's alert when the probe's result
// was applied. What became of a raised alert (delivered through an account,
// failed, queued in the outbox) follows as AlertEvents with the same row.
struct AlertState {
  enum class Kind {
    kNone,      // no alert: an answer with nothing to recover, or no policy alert
    kRaised,    // the alert goes out (the "Is Down!" or the "Is Up!" mail)
    kHeldBack,  // the policy held it back (reason)
  };
  Kind kind = Kind::kNone;
  std::string reason;  // kHeldBack: "failure 1 of 3", "next reminder at 12:33:10"
};

// One roster row's probe, emitted once when its result is applied (the
// status text written, the alert decided, before it goes out), and once per
// cycle for a row whose box was not ticked (kSkipped, nothing else set but
// row and address).
// It names its row and address itself: with probes finishing in any order,
// no observer may take an event to be about "the last probe".
struct ProbeEvent {
  enum class Outcome { kAnswered, kFailed, kSkipped };
  int row = 0;          // 1..111
  std::string address;  // as probed (as read for a skipped row)
  Outcome outcome = Outcome::kAnswered;
  int32_t count = 0;    // kAnswered: the number the status text shows after "OK"
  TDateTime start = 0;  // full local timestamp of the probe's start
  double seconds = 0;   // how long the probe took
  // kFailed: why, as the tool tip shows it: the exception's message, then in
  // brackets the transport failure behind it when that says more
  // ("Connection lost. (Read Timeout)"); see FailureReason.
  std::string reason;
  std::string status_text;  // what the row's status line shows now ("OK 3", "Problem")
  AlertState alert;

  bool answered() const { return outcome == Outcome::kAnswered; }
  bool failed() const { return outcome == Outcome::kFailed; }
};

// The reason text of a failed probe: `message`, and the transport failure
// behind it in brackets (its white space runs made single blanks) when there
// was one that is not the message itself.
std::string FailureReason(const std::string& message, const std::string& transport_error);

// A failed delivery's error as the lines tell it: the server it went to
// first, "mail.example.net:465: Connection refused.", or the error alone
// when the server is not known.
std::string DeliveryFailureText(const std::string& server, const std::string& error);

// What became of an alert: one delivery through one account, or the policy
// held it back, or it was left waiting in the outbox. A plain value: an
// observer may keep it or pass it to another thread.
struct AlertEvent {
  enum class Outcome { kDelivered, kFailed, kHeldBack, kQueued };
  Outcome outcome = Outcome::kDelivered;
  // The roster row (1..111) whose probe raised the alert; 0 for the
  // watchdog's, the test mail, a caller's SendError and an older alert the
  // outbox delivers.
  int row = 0;
  std::string text;     // the alert's text, "IP 10.0.0.5 Is Down!"
  std::string account;  // kDelivered, kFailed: "fallback", "quell_brindle", ...
  std::string error;    // kFailed: why the account did not take it
  std::string reason;   // kHeldBack: "failure 1 of 3", "next reminder at 12:33:10"
  int pending = 0;      // kQueued: alerts waiting in the outbox now
  // kDelivered, kFailed: the account's mail server, "host:port" ("[host]:port"
  // for an IPv6 address); empty when not known.
  std::string server;

  static AlertEvent Delivered(int row, std::string text, std::string account,
                              std::string server = {}) {
    return {Outcome::kDelivered, row, std::move(text), std::move(account), {}, {}, 0,
            std::move(server)};
  }
  static AlertEvent Failed(int row, std::string text, std::string account, std::string error,
                           std::string server = {}) {
    return {Outcome::kFailed, row, std::move(text), std::move(account), std::move(error), {}, 0,
            std::move(server)};
  }
  static AlertEvent HeldBack(int row, std::string text, std::string reason) {
    return {Outcome::kHeldBack, row, std::move(text), {}, {}, std::move(reason), 0, {}};
  }
  static AlertEvent Queued(int row, std::string text, int pending) {
    return {Outcome::kQueued, row, std::move(text), {}, {}, {}, pending, {}};
  }
};

// One poll cycle, emitted when it ends (also when an error ended it).
struct CycleEvent {
  TDateTime start = 0;  // full local timestamps
  TDateTime end = 0;
  int rows = 0;     // rows probed
  int failed = 0;   // of them failed
  int skipped = 0;  // rows passed over, their box not ticked
  double seconds = 0;
  bool ended_by_error = false;  // a step outside the probe raised
  std::string error;            // its message
  int parallel = 1;             // probes run at once ([polling] parallel)
};

// One Alertmanager's answer to a post of the alerts (AlertmanagerPosted):
// every failure, and the first success after a failure.
struct AlertmanagerEvent {
  std::string url;    // the base URL, as the settings give it
  bool ok = false;    // it took the alerts
  int alerts = 0;     // how many the post carried
  std::string error;  // why it did not take them
};

class MonitorObserver {
 public:
  virtual ~MonitorObserver() = default;
  virtual void ProbeFinished(const ProbeEvent&) {}
  virtual void CycleFinished(const CycleEvent&) {}
  // A cycle asked to start while another waits in a message box.
  virtual void CycleSkipped() {}
  // What became of an alert (above).
  virtual void AlertReported(const AlertEvent& /*event*/) {}
  // The watchdog found more than 65 s since the last probe started.
  virtual void WatchdogAlert(const std::string& /*address*/, long long /*seconds*/) {}
  // An exception reached the default handler.
  virtual void HandlerFailed(const std::string& /*message*/) {}
  // The number of probes running at once changed (parallel probing only).
  virtual void ProbesInFlight(int /*count*/) {}

  // The number of alerts waiting in the outbox, after every change.
  virtual void OutboxChanged(int /*pending*/) {}
  // A line of the outbox's log: retries, alerts dropped past the bound,
  // files moved aside, folders that cannot be written.
  virtual void OutboxLog(const std::string& /*line*/) {}
  // A post to an Alertmanager failed, or worked again after failing.
  virtual void AlertmanagerPosted(const AlertmanagerEvent& /*event*/) {}
};

// Forwards every hook to the observers added, in order. Not thread-safe: add
// observers before the monitor runs.
class ObserverList : public MonitorObserver {
 public:
  void Add(MonitorObserver* observer) { observers_.push_back(observer); }
  void ProbeFinished(const ProbeEvent& r) override {
    for (auto* o : observers_) o->ProbeFinished(r);
  }
  void CycleFinished(const CycleEvent& r) override {
    for (auto* o : observers_) o->CycleFinished(r);
  }
  void CycleSkipped() override {
    for (auto* o : observers_) o->CycleSkipped();
  }
  void AlertReported(const AlertEvent& e) override {
    for (auto* o : observers_) o->AlertReported(e);
  }
  void WatchdogAlert(const std::string& address, long long seconds) override {
    for (auto* o : observers_) o->WatchdogAlert(address, seconds);
  }
  void HandlerFailed(const std::string& message) override {
    for (auto* o : observers_) o->HandlerFailed(message);
  }
  void ProbesInFlight(int count) override {
    for (auto* o : observers_) o->ProbesInFlight(count);
  }
  void OutboxChanged(int pending) override {
    for (auto* o : observers_) o->OutboxChanged(pending);
  }
  void OutboxLog(const std::string& line) override {
    for (auto* o : observers_) o->OutboxLog(line);
  }
  void AlertmanagerPosted(const AlertmanagerEvent& e) override {
    for (auto* o : observers_) o->AlertmanagerPosted(e);
  }

 private:
  std::vector<MonitorObserver*> observers_;
};

}  // namespace tallyvox::monitor

#endif  // TALLYVOX_MONITOR_OBSERVER_H_
