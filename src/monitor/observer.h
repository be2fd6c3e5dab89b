// What the monitor reports beside the view operations, for front ends that
// show more than the window's controls: the console's cycle lines, the
// window's tool tips, metrics. Every hook runs on the monitor's thread, after
// the fact, and defaults to doing nothing. An observer must not block.
#ifndef TALLYVOX_MONITOR_OBSERVER_H_
#define TALLYVOX_MONITOR_OBSERVER_H_

#include <cstdint>
#include <string>
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
  // One alert through one account ("fallback", "quell_brindle",
  // "sorrel_brindle", "erols").
  virtual void AlertDelivered(const std::string& /*account*/, const std::string& /*text*/) {}
  virtual void AlertFailed(const std::string& /*account*/, const std::string& /*text*/,
                           const std::string& /*message*/) {}
  // The watchdog found more than 65 s since the last probe started.
  virtual void WatchdogAlert(const std::string& /*address*/, long long /*seconds*/) {}
  // An exception reached the default handler.
  virtual void HandlerFailed(const std::string& /*message*/) {}

  // An alert an alert policy held back (alert_policy.h): `row` 1..111, or 0
  // for the watchdog; `reason` says why ("failure 1 of 3", "next reminder
  // at 12:33:10").
  virtual void AlertHeldBack(int /*row*/, const std::string& /*text*/,
                             const std::string& /*reason*/) {}
  // An alert no account delivered, kept in the outbox for a later retry;
  // `pending` alerts wait there now.
  virtual void AlertQueued(const std::string& /*text*/, int /*pending*/) {}
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
  void AlertDelivered(const std::string& account, const std::string& text) override {
    for (auto* o : observers_) o->AlertDelivered(account, text);
  }
  void AlertFailed(const std::string& account, const std::string& text,
                   const std::string& message) override {
    for (auto* o : observers_) o->AlertFailed(account, text, message);
  }
  void WatchdogAlert(const std::string& address, long long seconds) override {
    for (auto* o : observers_) o->WatchdogAlert(address, seconds);
  }
  void HandlerFailed(const std::string& message) override {
    for (auto* o : observers_) o->HandlerFailed(message);
  }
  void AlertHeldBack(int row, const std::string& text, const std::string& reason) override {
    for (auto* o : observers_) o->AlertHeldBack(row, text, reason);
  }
  void AlertQueued(const std::string& text, int pending) override {
    for (auto* o : observers_) o->AlertQueued(text, pending);
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
