// MonitorAssembly: the monitor with the components of the main window built
// from the settings and wired together: the probe channel (its transport's
// OnException and the queries' open events bound to the monitor's
// handlers), the audit log, the mail accounts' delivery behind the alert
// dispatch (policy, account choice, boxes and outbox, alert_dispatch.h) and the system clock; and,
// once GuardStalls ran, the stall guard (stall_guard.h) over the monitor's pulse, with mail
// components of its own from the same settings and the same outbox.
//
// REQUIRES: built, used and destroyed on the thread with the Qt event loop
// that the monitor's timers tick in (runner.h builds it on the monitor
// thread). Only one assembly may live at a time (one TDbeSettings).
#ifndef TALLYVOX_ASSEMBLY_ASSEMBLY_H_
#define TALLYVOX_ASSEMBLY_ASSEMBLY_H_

#include <memory>
#include "alerts/alert_dispatch.h"

#include "adapters/alertmanager_post.h"
#include "adapters/audit_log.h"
#include "adapters/probe_channel.h"
#include "adapters/smtp_delivery.h"
#include "assembly/stall_guard.h"
#include "monitor/clock.h"
#include "monitor/monitor.h"
#include "monitor/observer.h"
#include "monitor/stop.h"
#include "monitor/view.h"
#include "settings/settings.h"

namespace tallyvox::monitor {

class MonitorAssembly {
 public:
  // `observer` may be null; `clock` null means the system clock.
  MonitorAssembly(const Settings& settings, View& view, StopSignal& stop,
                  MonitorObserver* observer = nullptr, Clock* clock = nullptr);
  MonitorAssembly(const MonitorAssembly&) = delete;
  MonitorAssembly& operator=(const MonitorAssembly&) = delete;

  // A reloaded settings file, applied between handlers on the monitor
  // thread so that it holds from the next cycle on: the probe's port and
  // time-outs, the audit table's place, the mail accounts and the message
  // (from the next delivery that starts; with the delivery worker, this
  // thread does not wait for the one under way),
  // the grouping of alerts ([alerts] group, group_wait_seconds; the other
  // [alerts] keys hold from the next start); and, while polling runs, the polling interval (the
  // timer starts its period afresh). The roster and the boxes are the view's inputs, which the
  // front end fills (FillInputs). REQUIRES: settings as LoadSettings returns them (checked).
  void Reconfigure(const Settings& settings);

  // Starts the stall guard and the monitor's pulse timer (PulsePeriod of the
  // limit). REQUIRES: called once, on the monitor thread.
  void GuardStalls(const StallGuardOptions& options);

  Monitor& monitor() { return monitor_; }
  MwProbeChannel& probe() { return probe_; }
  DbeAuditLog& audit() { return audit_; }
  SmtpDelivery& mail() { return mail_delivery_; }
  AlertDispatch& dispatch() { return dispatch_; }
  // Null until GuardStalls.
  StallGuard* stall_guard() { return stall_guard_.get(); }

 private:
  // The probe channels of parallel probes: each built from the probe
  // settings in force, its transport's failures bound as the main one's.
  class ChannelSource : public ProbeChannelSource {
   public:
    ChannelSource(const ProbeSettings& settings, Monitor*& monitor, StopSignal& stop)
        : settings_(settings), monitor_(monitor), stop_(stop) {}
    std::unique_ptr<ProbeChannel> NewChannel() override;
    void Reconfigure(const ProbeSettings& settings) { settings_ = settings; }

   private:
    ProbeSettings settings_;
    Monitor*& monitor_;
    StopSignal& stop_;
  };
  // The OnException of a probe channel's transport.
  static void BindTransportFailures(MwProbeChannel& channel, Monitor* monitor, StopSignal* stop);

  StopSignal& stop_;
  MailSettings mail_;  // for the stall guard
  ObserverList observers_;
  SystemClock system_clock_;
  Monitor* monitor_for_channels_ = nullptr;
  ChannelSource channels_;
  MwProbeChannel probe_;
  DbeAuditLog audit_;
  SmtpDelivery mail_delivery_;
  // [alerts] alertmanager: the posts and the feed behind the dispatch
  // (null without URLs); declared before it, so it goes after it.
  HttpAlertPost alert_post_;
  std::unique_ptr<AlertmanagerFeed> alertmanager_;
  AlertDispatch dispatch_;
  Monitor monitor_;
  // Last: stopped before the outbox and the monitor's pulse it reads go.
  std::unique_ptr<StallGuard> stall_guard_;
};

}  // namespace tallyvox::monitor

#endif  // TALLYVOX_ASSEMBLY_ASSEMBLY_H_
