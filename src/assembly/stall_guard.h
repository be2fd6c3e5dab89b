// StallGuard: watches the monitor thread from a thread of its own and mails
// "IP " + address + " Is Not Responding!" when that thread stops making
// progress, which the window's watchdog (Monitor::DoPoll2) cannot do: it runs
// on the thread it watches, so whatever holds that thread (a mail server
// that never answers the final "." of DATA) holds the watchdog too.
//
// Stalled: no beat of the monitor's pulse (pulse.h) for longer than the
// limit (Monitor::kWatchdogLimitSeconds, 65 s, in the programs). The pulse
// beats when a handler starts or ends, when a probe starts and on every tick
// of the pulse timer, so a long cycle whose probes keep starting (111 rows
// failing after their connect time-out, minutes in all) is no stall, nor is
// a message box waiting for the operator (its loop ticks the timer); a
// handler held in one network wait past the limit is.
//
// Once per stall the guard:
//   - logs "stall guard: the monitor thread has made no progress for 65.3 s"
//     (StallLog) and tells the listeners (StallChecked, again on every check
//     while it lasts: metrics tallyvox_monitor_stalled and
//     tallyvox_monitor_stalled_seconds);
//   - mails the alert, subject "Server Down!", with the last probed address
//     (the watchdog's text), through the alert accounts whose boxes are
//     ticked (the alert dispatch's account choice, alerts/account_choice.h,
//     over the boxes of the InputStore) on mail components of its own built
//     from the same mail settings, one delivery bounded as every alert's
//     (adapters/smtp_delivery.h);
//     no message box, each outcome logged;
//   - when no account delivered it and the settings have an outbox, adds it
//     there (Outbox::AddFromElsewhere), for the monitor's retry to send
//     later; with no alert account ticked it sends and keeps nothing.
// When the monitor beats again the guard logs "stall guard: the monitor
// thread makes progress again after 130.2 s", reports not stalled, and
// re-arms for the next stall.
//
// The guard never calls into the monitor. It reads the pulse (atomic) and
// the InputStore (thread-safe), and shares only the outbox with the monitor
// thread, under the outbox's own lock (outbox.h). Its deliveries run on a
// second thread of its own, so checks go on while a delivery waits.
//
// Stopping: a stop request (stop.h) shuts down every socket, the guard's
// included, and the guard finds no stall once it is requested; the
// destructor wakes and joins both threads. REQUIRES: the stop was requested
// before the guard is destroyed while a delivery may be under way (else the
// destructor waits for it, kMailDeliveryBoundMs at most per account).
#ifndef TALLYVOX_ASSEMBLY_STALL_GUARD_H_
#define TALLYVOX_ASSEMBLY_STALL_GUARD_H_

#include <chrono>
#include <deque>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "base/mutex.h"
#include "base/thread_annotations.h"
#include "monitor/monitor.h"
#include "monitor/pulse.h"
#include "monitor/stop.h"
#include "monitor/view.h"

namespace tallyvox::monitor {

// Only named here: the guard holds an Outbox by pointer and delivers through an
// SmtpDelivery inside stall_guard.cc, so its users need neither header.
class Outbox;
class SmtpDelivery;

// What the stall guard reports. Called on the guard's threads: an
// implementation must be thread-safe and must not block. Each defaults to
// doing nothing.
class StallListener {
 public:
  virtual ~StallListener() = default;
  // Whether the monitor thread is stalled, and for how long (seconds since
  // its last progress): when a stall is found, on every check while it
  // lasts, and once with false and the stall's whole length when it ends.
  virtual void StallChecked(bool /*stalled*/, double /*seconds*/) {}
  // One delivery of the guard's alert through one account.
  virtual void StallAlertSent(const std::string& /*account*/, bool /*delivered*/) {}
  // One line of the guard's log, starting "stall guard: ".
  virtual void StallLog(const std::string& /*line*/) {}
};

struct StallGuardOptions {
  std::chrono::milliseconds limit{std::chrono::seconds(Monitor::kWatchdogLimitSeconds)};
  // The account boxes, only read. REQUIRES: set; outlives the guard.
  InputStore* inputs = nullptr;
  // Each outlives the guard.
  std::vector<StallListener*> listeners;
};

// How often the guard checks the pulse, and how often the monitor's pulse
// timer should beat, for a limit: a tenth and a quarter of it, at most a
// second each.
std::chrono::milliseconds StallCheckPeriod(std::chrono::milliseconds limit);
std::chrono::milliseconds PulsePeriod(std::chrono::milliseconds limit);

class StallGuard {
 public:
  // Starts both threads. `outbox` may be null (no outbox); it, the pulse and
  // the stop signal outlive the guard.
  StallGuard(const MonitorPulse& pulse, const StallGuardOptions& options, const MailSettings& mail,
             Outbox* outbox, StopSignal& stop);
  ~StallGuard();
  StallGuard(const StallGuard&) = delete;
  StallGuard& operator=(const StallGuard&) = delete;

  // Thread-safe. New mail settings (a reloaded settings file), for the
  // deliveries that start after it.
  void Reconfigure(const MailSettings& mail) EXCLUDES(mu_);

 private:
  using Clock = MonitorPulse::Clock;

  void Watch();
  void CheckOnce(bool* stalled, Clock::time_point* last_beat_seen);
  void MailLoop();
  void Deliver(SmtpDelivery& mail, const std::string& text);
  // Logs one delivery's outcome and tells the listeners.
  void Report(int account, const Delivery& delivery, const std::string& text);
  void Keep(const std::string& text, const std::vector<int>& accounts);
  void Log(const std::string& line);

  const MonitorPulse& pulse_;
  const std::chrono::milliseconds limit_;
  InputStore& inputs_;
  const std::vector<StallListener*> listeners_;
  Outbox* const outbox_;
  StopSignal& stop_;

  Mutex mu_;
  CondVar wake_;
  bool ending_ GUARDED_BY(mu_) = false;
  // Alert texts waiting for the mail thread.
  std::deque<std::string> alerts_ GUARDED_BY(mu_);
  MailSettings mail_ GUARDED_BY(mu_);  // the settings the next delivery uses
  // mail_ changed since the mail thread read it.
  bool mail_changed_ GUARDED_BY(mu_) = false;

  std::thread watcher_;
  std::thread mailer_;
};

}  // namespace tallyvox::monitor

#endif  // TALLYVOX_ASSEMBLY_STALL_GUARD_H_
