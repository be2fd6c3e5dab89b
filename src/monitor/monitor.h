// Monitor: the logic of the main window. It owns the roster's counters, the
// last probe's start and address, the three timers, and the handlers by
// their component and event names; it reaches the window only through the
// View, the servers through the ProbeChannel, the audit table through the
// AuditLog and the mail accounts through the AlertSender.
//
// Threading: a Monitor and its timers belong to one thread with a Qt event
// loop (runner.h starts one; tests use their own). Every handler runs there,
// one at a time, to completion, except that a modal box (View::ShowMessage,
// View::ShowErrorBox) runs a nested loop in which timer ticks and posted
// calls are delivered.
//
// Handlers raise what their steps raise. Handle() wraps a handler in the
// application's default exception handler (an error box with the message);
// timer ticks go through it, and front ends call handlers through it.
//
// Decisions beyond the window's own behaviour:
//   - A poll cycle asked to start while another is suspended in a message box
//     is skipped (CycleSkipped), not nested; a watchdog check still runs.
//   - LastProbeStart keeps the full timestamp, so the watchdog measures the
//     time across midnight; boxes and lists still show times of day.
//   - A negative polling interval is refused like a non-integer text.
//   - A stop request (stop.h) unwinds the running handler with
//     MonitorStopped: a probe or delivery that the stop broke shows nothing
//     and alerts nobody.
//   - With SetParallel(n > 1) a cycle runs up to n probes at once on
//     workers (probe_workers.h), each on a channel of its own. The handler
//     that starts the cycle returns once the first probes are handed over;
//     each result comes back as a posted call and is applied here, in the
//     order the probes end, with the same steps as a sequential row; the
//     cycle ends (CycleFinished) when its last result is applied. The
//     "Checking..." steps and the audit write still run here, as each probe
//     starts.
//   - The monitor publishes its progress (Pulse(), pulse.h) for the stall
//     guard, which watches it from another thread: a beat when a handler
//     starts or ends and when a probe starts, and, once StartPulse ran, on
//     every tick of the pulse timer.
#ifndef TALLYVOX_MONITOR_MONITOR_H_
#define TALLYVOX_MONITOR_MONITOR_H_

#include <QObject>
#include <QTimer>
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "base/datetime.h"
#include "monitor/clock.h"
#include "monitor/observer.h"
#include "monitor/probe_workers.h"
#include "monitor/pulse.h"
#include "monitor/roster.h"
#include "monitor/seams.h"
#include "monitor/stop.h"
#include "monitor/view.h"

namespace tallyvox::monitor {

// A timer of the window: enabled flag and interval as the window keeps them.
// An enabled timer with interval 0 never fires. Ticks do not pile up.
class WindowTimer {
 public:
  WindowTimer(QObject* owner, int interval_ms, std::function<void()> on_tick);
  bool Enabled() const { return enabled_; }
  void SetEnabled(bool enabled);
  int Interval() const { return interval_; }
  // A running timer starts its period afresh.
  void SetInterval(int interval_ms);
  // For tests: whether the underlying timer would fire.
  bool Running() const { return timer_.isActive(); }

 private:
  void Apply();
  QTimer timer_;
  bool enabled_ = false;
  int interval_ = 0;
};

class Monitor : public QObject {
 public:
  static constexpr int kWatchdogLimitSeconds = 65;
  static constexpr int kBeepsPerFailure = 7;

  // Every reference must outlive the Monitor. The observer may be null.
  Monitor(View& view, ProbeChannel& probe, AuditLog& audit, AlertSender& alerts, Clock& clock,
          StopSignal& stop, MonitorObserver* observer = nullptr);
  ~Monitor() override;

  // ---- The poll cycle ----
  void DoPoll();
  void ResetOkCounters() { counters_.Reset(); }

  // ---- Polling control, watchdog and heartbeat ----
  void Button1Click();
  void Timer1Timer();
  void Timer2Timer();
  void DoPoll2();
  void Timer3Timer();
  void FormShow();
  void Button2Click();
  void Button4Click();
  void MwTCPIPClientTransport1Exception();
  // The transport's exception behind MwTCPIPClientTransport1Exception, kept
  // for the probe's report only.
  void NoteTransportError(const std::string& message) { transport_error_ = message; }
  void qZipCodesBeforeOpen();
  void qUFile7BeforeOpen();
  void qZipCodesAfterOpen();
  void qUFile7AfterOpen();

  // ---- Alert dispatch ----
  void SendError(const std::string& text) { alerts_.SendError(text); }
  void Button3Click() { alerts_.SendTestMail(); }

  // Runs `handler` under the default exception handler: an exception shows
  // the error box (ErrorBoxText of its message) and is not raised further;
  // MonitorStopped and any handler after a stop request do nothing.
  void Handle(const std::function<void()>& handler);

  // ---- State, for front ends and tests ----
  WindowTimer& Timer1() { return timer1_; }
  WindowTimer& Timer2() { return timer2_; }
  WindowTimer& Timer3() { return timer3_; }
  const OkCounters& Counters() const { return counters_; }
  TDateTime LastProbeStart() const { return last_probe_start_; }
  const std::string& LastProbedAddress() const { return last_probed_address_; }
  bool QueryInProgress() const { return query_in_progress_; }
  bool CycleRunning() const { return cycle_running_; }
  StopSignal& Stop() { return stop_; }

  // ---- Parallel probing ----
  // From the next cycle on, up to `count` probes run at once (1: one after
  // another), on the main channel and on channels from `source`. REQUIRES:
  // no probe in flight (call it through WhenIdle); `source` outlives the
  // monitor when count > 1.
  void SetParallel(int count, ProbeChannelSource* source);
  int Parallel() const { return parallel_; }
  // Runs `work` now unless a parallel cycle is running, else once it has
  // ended. For what must not change under a worker's
  // probe (the channels' settings).
  void WhenIdle(std::function<void()> work);
  int ProbesInFlight() const { return workers_ ? workers_->InFlight() : 0; }
  // The transport's OnException, of every channel: on a worker kept with
  // that probe's result (applied with it); else NoteTransportError and
  // MwTCPIPClientTransport1Exception at once.
  void TransportFailed(const std::string& message);

  // With grouped alerts ([alerts] group) a cycle beeps for its first
  // failure only, seven times, once.
  void SetGroupBeeps(bool once_per_cycle) { group_beeps_ = once_per_cycle; }

  // ---- Progress, for the stall guard ----
  const MonitorPulse& Pulse() const { return pulse_; }
  // Beats the pulse every `period` from a timer of this thread (also inside
  // a message box's loop). REQUIRES: called on the monitor's thread.
  void StartPulse(std::chrono::milliseconds period);

 private:
  void RunCycle(CycleEvent* cycle);
  void PollRow(const ServerEntry& entry, CycleEvent* cycle);
  // Runs the aimed probe of `row`; the event without its status and alert.
  ProbeEvent RunProbe(const RowRef& row);
  // Writes the row's status text, has the alert side decide, emits `probe`
  // completed with both, and has the alert side carry out its decision.
  void ApplyResult(const ServerEntry& entry, const RowRef& row, ProbeEvent* probe);
  void QueryOpening(bool opening);
  // The probe's event from a worker's result, before its status and alert.
  ProbeEvent WorkerEvent(const RowRef& row, TDateTime start, const ProbeResult& result);

  // ---- The parallel cycle (monitor_parallel.cc) ----
  struct InFlightProbe {
    const ServerEntry* entry = nullptr;
    RowRef row;
    TDateTime start = 0;
  };
  struct ParallelCycle {
    CycleEvent event;
    std::chrono::steady_clock::time_point started;
    size_t next = 0;          // the next row to reach, an index into Roster::Rows()
    bool dispatching = true;  // false once every row was reached or an error ended it
  };
  void StartParallelCycle();
  // Starts the probes of the rows it reaches while a worker is free, and
  // ends the cycle once every row was reached and no probe is in flight.
  void Pump();
  void StartProbe(const ServerEntry& entry, int slot);
  // Applies the results the workers kept, in the order the probes ended.
  void ApplyEnded();
  void ProbeDone(int slot, const ProbeResult& result);
  // A step outside the probe failed: no further row is reached.
  void EndDispatch(const std::string& error);
  // Runs `step`; what it raises (but a stop) ends the dispatch, then goes on.
  void EndDispatchOnError(const std::function<void()>& step);
  void MaybeEndCycle();
  int64_t WatchdogElapsed(TDateTime now) const;

  View& view_;
  ProbeChannel& probe_;
  AuditLog& audit_;
  AlertSender& alerts_;
  Clock& clock_;
  StopSignal& stop_;
  ObserverList observers_;
  OkCounters counters_;
  TDateTime last_probe_start_ = 0;
  std::string last_probed_address_;
  std::string transport_error_;
  bool query_in_progress_ = false;
  bool cycle_running_ = false;
  WindowTimer timer1_;
  WindowTimer timer2_;
  WindowTimer timer3_;
  MonitorPulse pulse_;
  QTimer pulse_timer_;
  bool group_beeps_ = false;
  bool beeped_in_cycle_ = false;
  int parallel_ = 1;
  ProbeChannelSource* source_ = nullptr;
  std::unique_ptr<ParallelCycle> parallel_cycle_;
  std::vector<InFlightProbe> flights_;  // by worker slot
  std::deque<EndedProbe> ended_;        // results taken, not yet applied
  std::vector<std::function<void()>> when_idle_;
  bool connect_waiting_ = false;  // "Connect" waits for the main channel
  // Last: its workers end before the rest goes.
  std::unique_ptr<ProbeWorkers> workers_;
};

}  // namespace tallyvox::monitor

#endif  // TALLYVOX_MONITOR_MONITOR_H_
