#include "assembly/assembly.h"

#include "monitor/interval.h"

namespace tallyvox::monitor {
namespace {

MonitorObserver* Listed(ObserverList& list, MonitorObserver* observer) {
  if (observer != nullptr) list.Add(observer);
  return &list;
}

}  // namespace

void MonitorAssembly::BindTransportFailures(MwProbeChannel& channel, Monitor* m, StopSignal* s) {
  // A transport failure caused by a stop request is not the server's.
  channel.MwTCPIPClientTransport1.OnException = [m, s](mw::TMwCustomClient*, mw::TMwRequestStates,
                                                       mw::TMwRequestStates&,
                                                       const std::exception& e) {
    if (s->Requested()) return;
    m->TransportFailed(e.what());
  };
}

std::unique_ptr<ProbeChannel> MonitorAssembly::ChannelSource::NewChannel() {
  auto channel = std::make_unique<MwProbeChannel>(settings_);
  BindTransportFailures(*channel, monitor_, &stop_);
  return channel;
}

MonitorAssembly::MonitorAssembly(const Settings& settings, View& view, StopSignal& stop,
                                 MonitorObserver* observer, Clock* clock)
    : stop_(stop),
      mail_(settings.mail),
      channels_(settings.probe, monitor_for_channels_, stop),
      probe_(settings.probe),
      audit_(settings.audit_folder, settings.audit_table),
      mail_delivery_(settings.mail, stop),
      dispatch_(settings.alerts, mail_delivery_, view, clock != nullptr ? *clock : system_clock_,
                stop, Listed(observers_, observer)),
      monitor_(view, probe_, audit_, dispatch_, clock != nullptr ? *clock : system_clock_, stop,
               &observers_) {
  dispatch_.SetTestAddress(settings.mail.test_address);
  if (!settings.alerts.alertmanager.empty()) {
    alertmanager_ = std::make_unique<AlertmanagerFeed>(
        settings.alerts.alertmanager, settings.alerts.instance, alert_post_, &observers_);
    dispatch_.SetAlertmanager(alertmanager_.get());
  }
  Monitor* m = &monitor_;
  monitor_for_channels_ = m;
  BindTransportFailures(probe_, m, &stop);
  monitor_.SetParallel(settings.probe.parallel, &channels_);
  monitor_.SetGroupBeeps(settings.alerts.grouping.group);
  // With parallel probing, no delivery holds the probes' results.
  dispatch_.DeliverFromWorker(settings.probe.parallel > 1);
  probe_.qUFile7.BeforeOpen = [m](mw::TMwClientQuery&) { m->qUFile7BeforeOpen(); };
  probe_.qUFile7.AfterOpen = [m](mw::TMwClientQuery&) { m->qUFile7AfterOpen(); };
  probe_.qZipCodes.BeforeOpen = [m](mw::TMwClientQuery&) { m->qZipCodesBeforeOpen(); };
  probe_.qZipCodes.AfterOpen = [m](mw::TMwClientQuery&) { m->qZipCodesAfterOpen(); };
}

void MonitorAssembly::Reconfigure(const Settings& settings) {
  // The channels change only while no probe runs on a worker.
  monitor_.WhenIdle([this, probe = settings.probe] {
    probe_.Reconfigure(probe);
    channels_.Reconfigure(probe);
    monitor_.SetParallel(1, nullptr);  // the workers' channels are made afresh
    monitor_.SetParallel(probe.parallel, &channels_);
    dispatch_.DeliverFromWorker(probe.parallel > 1);
  });
  audit_.Relocate(settings.audit_folder, settings.audit_table);
  // With the delivery worker, from its next delivery on; this thread does not
  // wait for the one under way.
  dispatch_.BetweenDeliveries([this, mail = settings.mail] { mail_delivery_.Reconfigure(mail); });
  dispatch_.SetGrouping(settings.alerts.grouping);
  monitor_.SetGroupBeeps(settings.alerts.grouping.group);
  dispatch_.SetTestAddress(settings.mail.test_address);
  mail_ = settings.mail;
  if (stall_guard_ != nullptr) stall_guard_->Reconfigure(settings.mail);
  if (monitor_.Timer1().Enabled()) monitor_.Timer1().SetInterval(ParseInterval(settings.interval));
}

void MonitorAssembly::GuardStalls(const StallGuardOptions& options) {
  stall_guard_ =
      std::make_unique<StallGuard>(monitor_.Pulse(), options, mail_, dispatch_.outbox(), stop_);
  monitor_.StartPulse(PulsePeriod(options.limit));
}

}  // namespace tallyvox::monitor
