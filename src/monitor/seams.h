// The three seams of the poll cycle: the probe path to the servers, the local
// audit table and the alert operation. The monitor calls them in a fixed
// order (monitor.h); probe_channel.h, audit_log.h and mail_alerts.h bind them
// to the middleware client, the audit table and the mail accounts, and tests
// put fakes in their place.
#ifndef TALLYVOX_MONITOR_SEAMS_H_
#define TALLYVOX_MONITOR_SEAMS_H_

#include <string>

#include "base/datetime.h"

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

class AlertSender {
 public:
  virtual ~AlertSender() = default;
  // Delivers an alert text through every selected mail account; returns when
  // each has been tried. A failed delivery is shown in a message box and
  // does not raise; only a failure while closing a mail connection does.
  virtual void SendError(const std::string& text) = 0;
  // The "Email" button: a fixed test alert through the accounts its boxes
  // select, or the fallback account when none is ticked.
  virtual void SendTestMail() = 0;

  // What the poll cycle and the watchdog tell the alert side, so that an
  // alert policy can decide per row. The defaults are the window's own
  // dispatch: every failed probe alerts with DownText, every stalled
  // watchdog check with NotRespondingText, an answer sends nothing.
  // `row` is the roster row (1..111).
  virtual void ProbeFailed(int /*row*/, const std::string& address) {
    SendError(DownText(address));
  }
  virtual void ProbeAnswered(int /*row*/, const std::string& /*address*/) {}
  // `stalled`: more than 65 s since the last probe started.
  virtual void WatchdogChecked(const std::string& address, bool stalled) {
    if (stalled) SendError(NotRespondingText(address));
  }
};

}  // namespace tallyvox::monitor

#endif  // TALLYVOX_MONITOR_SEAMS_H_
