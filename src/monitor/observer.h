// What the monitor reports beside the view operations, for front ends that
// show more than the window's controls: the console's cycle lines, the
// window's tool tips, metrics. Every hook runs on the monitor's thread, after
// the fact, and defaults to doing nothing. An observer must not block.
//
// The events are plain copyable values that carry their identity (the row,
// the address, the account): an observer never needs to parse display text,
// and one that is a queue to another thread (a history writer, a status
// page) copies them as they come. Probe events come in the order probes
// finish.
#ifndef TALLYVOX_MONITOR_OBSERVER_H_
#define TALLYVOX_MONITOR_OBSERVER_H_

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "base/datetime.h"

namespace tallyvox::monitor {

struct ProbeReport {
  int row = 0;
  std::string address;
  TDateTime start = 0;  // full local timestamp of the probe's start
  double seconds = 0;   // how long RunProbe took
  bool ok = false;
  std::string message;  // the exception's message of a failed probe
  // The transport failure the probe met on the way ("Read Timeout"), whose
  // message the final "Connection lost." hides; empty when there was none.
  std::string transport_error;
  int32_t ok_number = 0;  // the number the status line shows after "OK" (0 on failure)
};

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

  static AlertEvent Delivered(int row, std::string text, std::string account) {
    return {Outcome::kDelivered, row, std::move(text), std::move(account), {}, {}, 0};
  }
  static AlertEvent Failed(int row, std::string text, std::string account, std::string error) {
    return {Outcome::kFailed, row, std::move(text), std::move(account), std::move(error), {}, 0};
  }
  static AlertEvent HeldBack(int row, std::string text, std::string reason) {
    return {Outcome::kHeldBack, row, std::move(text), {}, {}, std::move(reason), 0};
  }
  static AlertEvent Queued(int row, std::string text, int pending) {
    return {Outcome::kQueued, row, std::move(text), {}, {}, {}, pending};
  }
};

struct CycleReport {
  int rows = 0;    // rows probed
  int failed = 0;  // of them failed
  double seconds = 0;
  bool ended_by_error = false;  // a step outside the probe raised
  std::string error;            // its message
};

class MonitorObserver {
 public:
  virtual ~MonitorObserver() = default;
  virtual void ProbeFinished(const ProbeReport&) {}
  virtual void CycleFinished(const CycleReport&) {}
  // A cycle asked to start while another waits in a message box.
  virtual void CycleSkipped() {}
  // What became of an alert (above).
  virtual void AlertReported(const AlertEvent& /*event*/) {}
  // The watchdog found more than 65 s since the last probe started.
  virtual void WatchdogAlert(const std::string& /*address*/, long long /*seconds*/) {}
  // An exception reached the default handler.
  virtual void HandlerFailed(const std::string& /*message*/) {}

  // The number of alerts waiting in the outbox, after every change.
  virtual void OutboxChanged(int /*pending*/) {}
  // A line of the outbox's log: retries, alerts dropped past the bound,
  // files moved aside, folders that cannot be written.
  virtual void OutboxLog(const std::string& /*line*/) {}
};

// Forwards every hook to the observers added, in order. Not thread-safe: add
// observers before the monitor runs.
class ObserverList : public MonitorObserver {
 public:
  void Add(MonitorObserver* observer) { observers_.push_back(observer); }
  void ProbeFinished(const ProbeReport& r) override {
    for (auto* o : observers_) o->ProbeFinished(r);
  }
  void CycleFinished(const CycleReport& r) override {
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
  void OutboxChanged(int pending) override {
    for (auto* o : observers_) o->OutboxChanged(pending);
  }
  void OutboxLog(const std::string& line) override {
    for (auto* o : observers_) o->OutboxLog(line);
  }

 private:
  std::vector<MonitorObserver*> observers_;
};

}  // namespace tallyvox::monitor

#endif  // TALLYVOX_MONITOR_OBSERVER_H_
