// The seams of the poll cycle: the probe path to the servers, the local
// audit table, the alert side and the mail accounts behind it. The monitor
// calls the first three in a fixed order (monitor.h);
// adapters/probe_channel.h, adapters/audit_log.h and adapters/smtp_delivery.h
// bind them to the middleware client, the audit table and the mail
// accounts, alerts/alert_dispatch.h is the alert side, and tests put fakes
// in their place.
#ifndef TALLYVOX_MONITOR_SEAMS_H_
#define TALLYVOX_MONITOR_SEAMS_H_

#include <exception>
#include <memory>
#include <string>

#include "base/datetime.h"
#include "monitor/observer.h"

namespace tallyvox::monitor {

class ProbeChannel {
 public:
  virtual ~ProbeChannel() = default;
  // Configures the middleware client for a cycle; raises on failure.
  virtual void PrepareCycle() = 0;
  // Points the next probe at `address` (passed on unchanged, may be empty).
  // fresh = true first discards every pooled connection; fresh = false
  // keeps them while they were made for this same address. Raises on failure.
  virtual void AimProbe(const std::string& address, bool fresh) = 0;
  // Sends the probe and returns when the server executed it; raises on any
  // failure, and a raise means the server failed the probe.
  virtual void RunProbe() = 0;
  // Gives up the pooled connections after a probe.
  virtual void ReleaseProbe() = 0;
};

// Probe channels of their own for probes that run at once ([polling]
// parallel): each a transport, pool, session and query of its own, set up
// as the main channel, its transport failures reported as the main one's.
class ProbeChannelSource {
 public:
  virtual ~ProbeChannelSource() = default;
  virtual std::unique_ptr<ProbeChannel> NewChannel() = 0;
};

class AuditLog {
 public:
  virtual ~AuditLog() = default;
  // Opens the audit table when it is not open; raises on failure.
  virtual void OpenAuditTable() = 0;
  // Overwrites the audit record with the address and the probe's start (the
  // time of day, a TDateTime with a zero date part). Raises on failure.
  virtual void RecordProbe(const std::string& address, TDateTime start) = 0;
};

// The alert texts and the subjects of their mail.
inline std::string DownText(const std::string& address) { return "IP " + address + " Is Down!"; }
inline std::string UpText(const std::string& address) { return "IP " + address + " Is Up!"; }
inline std::string NotRespondingText(const std::string& address) {
  return "IP " + address + " Is Not Responding!";
}
inline constexpr char kDownSubject[] = "Server Down!";
inline constexpr char kUpSubject[] = "Server Up!";
// The subjects of a grouped alert that lists several rows.
inline constexpr char kGroupDownSubject[] = "Servers Down!";
inline constexpr char kGroupUpSubject[] = "Servers Up!";

// One alert letter: the subject and the body text.
struct Letter {
  std::string subject = kDownSubject;
  std::string text;
};

// The outcome of one delivery through one account.
struct Delivery {
  bool delivered = false;  // the server took the message
  std::string error;       // why not, when not
  // The server it went to, "host:port" ("[host]:port" for IPv6), for the
  // lines that tell a failure; empty when not known.
  std::string server;
  // Closing the connection failed afterwards (null otherwise).
  std::exception_ptr close_failure;
};

// The mail accounts, which only deliver (adapters/smtp_delivery.h; tests fake
// it). Deciding which accounts, showing and keeping are the alert
// dispatch's.
class MailDelivery {
 public:
  virtual ~MailDelivery() = default;
  // One delivery through NetSMTP<account>. Raises only MonitorStopped (a
  // stop request broke it). REQUIRES: 1 <= account <= 4.
  virtual Delivery Send(int account, const Letter& letter) = 0;
};

// An Alertmanager's alerts API (adapters/alertmanager_post.h; tests fake
// it). Which alerts and when are the alert dispatch's (alerts/alertmanager_feed.h).
class AlertPost {
 public:
  virtual ~AlertPost() = default;
  // POSTs the JSON array `alerts` to `url` + "/api/v2/alerts" and returns
  // empty when it was taken (a 2xx answer), else why not. Blocks for a
  // bounded time; called on the feed's own thread. REQUIRES: `url` is an
  // http:// base URL (base/http_url.h).
  virtual std::string Post(const std::string& url, const std::string& alerts) = 0;
};

// Where the monitor tells what happened that may concern an alert. It
// decides nothing: whether and where an alert goes is the alert dispatch's
// (alerts/alert_dispatch.h), which implements it. `row` is the roster row
// (1..111).
class AlertSender {
 public:
  virtual ~AlertSender() = default;
  // A probe of `row` at `address` failed: decides its alert (the probe
  // event carries the decision) and reports nothing yet.
  virtual AlertState ProbeFailed(int row, const std::string& address) = 0;
  // A probe of `row` at `address` answered: decides the recovery alert, if
  // any, likewise.
  virtual AlertState ProbeAnswered(int row, const std::string& address) = 0;
  // Carries out what ProbeFailed or ProbeAnswered decided for `probe` (its
  // row, address, outcome and alert): reports an alert held back, sends one
  // raised.
  virtual void CarryOut(const ProbeEvent& probe) = 0;
  // A poll cycle ended (also by an error, `cycle.ended_by_error`): alerts
  // gathered over the cycle go out now.
  virtual void CycleEnded(const CycleEvent& cycle) { (void)cycle; }
  // The watchdog checked; `stalled`: more than 65 s since the last probe
  // (at `address`) started.
  virtual void WatchdogChecked(const std::string& address, bool stalled) = 0;
  // The window's SendError: an alert with this text ("Server Down!").
  virtual void SendError(const std::string& text) = 0;
  // The "Email" button: the test alert.
  virtual void SendTestMail() = 0;
};

}  // namespace tallyvox::monitor

#endif  // TALLYVOX_MONITOR_SEAMS_H_
