#include "monitor/monitor.h"

#include <chrono>
#include <exception>
#include <string>
#include <utility>

#include "monitor/flag_guard.h"
#include "monitor/interval.h"
#include "monitor/time_text.h"

namespace tallyvox::monitor {
namespace {

using SteadyClock = std::chrono::steady_clock;

double SecondsSince(SteadyClock::time_point start) {
  return std::chrono::duration<double>(SteadyClock::now() - start).count();
}

}  // namespace

WindowTimer::WindowTimer(QObject* owner, int interval_ms, std::function<void()> on_tick)
    : interval_(interval_ms) {
  timer_.setTimerType(Qt::PreciseTimer);
  QObject::connect(&timer_, &QTimer::timeout, owner, std::move(on_tick));
}

void WindowTimer::SetEnabled(bool enabled) {
  enabled_ = enabled;
  Apply();
}

void WindowTimer::SetInterval(int interval_ms) {
  interval_ = interval_ms;
  Apply();
}

void WindowTimer::Apply() {
  // QTimer with interval 0 would fire on every pass of the event loop; the
  // window's timer with interval 0 never fires.
  if (enabled_ && interval_ > 0) {
    timer_.start(interval_);  // (re)starts the period
  } else {
    timer_.stop();
  }
}

Monitor::Monitor(View& view, ProbeChannel& probe, AuditLog& audit, AlertSender& alerts,
                 Clock& clock, StopSignal& stop, MonitorObserver* observer)
    : view_(view),
      probe_(probe),
      audit_(audit),
      alerts_(alerts),
      clock_(clock),
      stop_(stop),
      timer1_(this, 60000, [this] { Handle([this] { Timer1Timer(); }); }),
      timer2_(this, 60000, [this] { Handle([this] { Timer2Timer(); }); }),
      timer3_(this, 5000, [this] { Handle([this] { Timer3Timer(); }); }) {
  if (observer != nullptr) observers_.Add(observer);
  QObject::connect(&pulse_timer_, &QTimer::timeout, this, [this] { pulse_.Beat(); });
}

void Monitor::StartPulse(std::chrono::milliseconds period) { pulse_timer_.start(period); }

Monitor::~Monitor() {
  // The workers end before anything their posted results would touch.
  workers_.reset();
}

// ---- The poll cycle ----------------------------------------------------------

void Monitor::DoPoll() {
  if (cycle_running_) {
    observers_.CycleSkipped();
    return;
  }
  beeped_in_cycle_ = false;
  if (parallel_ > 1) return StartParallelCycle();
  FlagGuard running(cycle_running_);
  CycleEvent cycle;
  cycle.start = clock_.Now();
  const auto started = SteadyClock::now();
  const auto finish = [&] {
    cycle.seconds = SecondsSince(started);
    cycle.end = clock_.Now();
    observers_.CycleFinished(cycle);
    alerts_.CycleEnded(cycle);
  };
  try {
    RunCycle(&cycle);
  } catch (const MonitorStopped&) {
    throw;
  } catch (const std::exception& e) {
    cycle.ended_by_error = true;
    cycle.error = e.what();
    finish();
    throw;
  }
  finish();
}

void Monitor::RunCycle(CycleEvent* cycle) {
  audit_.OpenAuditTable();
  probe_.PrepareCycle();
  for (const ServerEntry& entry : Roster::Rows()) {
    stop_.ThrowIfStopped();
    if (view_.CheckBoxChecked(entry.check_box)) {
      PollRow(entry, cycle);
    } else {
      ++cycle->skipped;
      ProbeEvent skipped;
      skipped.row = entry.row;
      skipped.address = view_.EditText(entry.edit);
      skipped.outcome = ProbeEvent::Outcome::kSkipped;
      observers_.ProbeFinished(skipped);
    }
  }
}

void Monitor::PollRow(const ServerEntry& entry, CycleEvent* cycle) {
  // Row 1 keeps the pooled connections (of the connection test or an earlier
  // cycle) and leaves the pool active after its probe.
  const bool first_row = entry.row == 1;
  const RowRef row{entry.row, entry.label, view_.EditText(entry.edit)};
  view_.SetRowColour(row, TColour::clRed);
  view_.SetRowText(row, "Checking..." + LongTimeText(clock_.Now()));
  view_.RepaintLabel(entry.label);
  probe_.AimProbe(row.address, /*fresh=*/!first_row);
  view_.SetRowColour(row, TColour::clBlack);
  last_probe_start_ = clock_.Now();
  last_probed_address_ = row.address;
  pulse_.ProbeStarted(row.address);
  audit_.RecordProbe(row.address, TimeOfDayPart(last_probe_start_));

  ProbeEvent probe = RunProbe(row);
  // A probe broken by a stop request is no outcome of the server's.
  stop_.ThrowIfStopped();
  ++cycle->rows;
  if (probe.failed()) ++cycle->failed;
  ApplyResult(entry, row, &probe);
  if (!first_row) probe_.ReleaseProbe();
}

ProbeEvent Monitor::RunProbe(const RowRef& row) {
  ProbeEvent probe;
  probe.row = row.row;
  probe.address = row.address;
  probe.start = last_probe_start_;
  const auto started = SteadyClock::now();
  transport_error_.clear();
  std::string message;
  try {
    probe_.RunProbe();
  } catch (const std::exception& e) {
    probe.outcome = ProbeEvent::Outcome::kFailed;
    message = e.what();
  } catch (...) {
    probe.outcome = ProbeEvent::Outcome::kFailed;
    message = "Unknown exception";
  }
  probe.seconds = SecondsSince(started);
  if (probe.failed()) probe.reason = FailureReason(message, transport_error_);
  return probe;
}

void Monitor::ApplyResult(const ServerEntry& entry, const RowRef& row, ProbeEvent* probe) {
  if (probe->failed()) {
    probe->status_text =
        entry.problem_shows_time ? "Problem " + LongTimeText(clock_.Now()) : "Problem";
  } else {
    probe->count = counters_.Value(entry.counter);
    probe->status_text = "OK " + std::to_string(probe->count);
    counters_.Increment(entry.counter);
  }
  view_.SetRowText(row, probe->status_text);
  // The alert side decides what it sends, and sends it once the probe's
  // event is out.
  probe->alert = probe->failed() ? alerts_.ProbeFailed(entry.row, row.address)
                                 : alerts_.ProbeAnswered(entry.row, row.address);
  observers_.ProbeFinished(*probe);
  // Grouped alerts beep for the first failure of a cycle only.
  if (probe->failed() && !(group_beeps_ && std::exchange(beeped_in_cycle_, true))) {
    for (int i = 0; i < kBeepsPerFailure; ++i) view_.Beep();
  }
  alerts_.CarryOut(*probe);
}

// ---- Polling control ---------------------------------------------------------

void Monitor::Button1Click() {
  const int32_t interval = ParseInterval(view_.EditText("Edit122"));
  timer1_.SetInterval(interval);
  ResetOkCounters();
  if (timer1_.Enabled()) {
    timer1_.SetEnabled(false);
    timer2_.SetEnabled(false);
    view_.SetButtonCaption("Button1", "Begin Polling");
  } else {
    timer1_.SetEnabled(true);
    timer2_.SetEnabled(true);
    view_.SetButtonCaption("Button1", "Stop Polling");
  }
  DoPoll();  // also when stopping: one last full cycle
}

void Monitor::Timer1Timer() { DoPoll(); }

void Monitor::Timer2Timer() { DoPoll2(); }

int64_t Monitor::WatchdogElapsed(TDateTime now) const {
  return ElapsedWholeSeconds(last_probe_start_, now);
}

void Monitor::DoPoll2() {
  const TDateTime now = clock_.Now();
  view_.AppendListLine("ListBox1", LongTimeText(now));
  view_.AppendListLine("ListBox1", LongTimeText(last_probe_start_));
  const int64_t elapsed = WatchdogElapsed(now);
  const bool stalled = elapsed > kWatchdogLimitSeconds;
  if (stalled) observers_.WatchdogAlert(last_probed_address_, elapsed);
  // The alert side decides whether a stalled check alerts.
  alerts_.WatchdogChecked(last_probed_address_, stalled);
}

void Monitor::Timer3Timer() {
  if (!query_in_progress_) return;
  view_.Beep();
  view_.SetLabelText("Label17", LongTimeText(clock_.Now()));
  view_.RepaintLabel("Label17");
}

void Monitor::QueryOpening(bool opening) {
  query_in_progress_ = opening;
  timer3_.SetEnabled(opening);
}

void Monitor::qZipCodesBeforeOpen() { QueryOpening(true); }
void Monitor::qUFile7BeforeOpen() { QueryOpening(true); }
void Monitor::qZipCodesAfterOpen() { QueryOpening(false); }
void Monitor::qUFile7AfterOpen() { QueryOpening(false); }

void Monitor::FormShow() { last_probe_start_ = clock_.Now(); }

void Monitor::Button2Click() {
  if (workers_ && workers_->Busy(0)) {
    // A worker probes on the main channel: the test runs once it is back.
    connect_waiting_ = true;
    return;
  }
  probe_.PrepareCycle();
  const ServerEntry& entry = Roster::Row(1);
  const RowRef row{1, entry.label, view_.EditText(entry.edit)};
  view_.SetRowText(row, "Checking...");
  view_.RepaintLabel(row.label);
  probe_.AimProbe(row.address, /*fresh=*/false);
  bool failed = false;
  try {
    probe_.RunProbe();
  } catch (...) {
    failed = true;
  }
  stop_.ThrowIfStopped();
  view_.SetRowText(row, failed ? "Problem" : "OK ");
}

void Monitor::Button4Click() {
  const TDateTime now = clock_.Now();
  view_.ShowMessage(GeneralFloatText(now - last_probe_start_));
  view_.ShowMessage(GeneralFloatText(TimeOfDayPart(last_probe_start_)));
  view_.ShowMessage(LongTimeText(last_probe_start_));
  view_.ShowMessage(std::to_string(WatchdogElapsed(now)));
}

void Monitor::MwTCPIPClientTransport1Exception() {
  view_.SetLabelText("Label18", "Problem");
  view_.RepaintLabel("Label18");
}

// ---- The default exception handler ---------------------------------------------

void Monitor::Handle(const std::function<void()>& handler) {
  if (stop_.Requested()) return;
  pulse_.Beat();
  struct EndBeat {
    MonitorPulse& pulse;
    ~EndBeat() { pulse.Beat(); }
  } end_beat{pulse_};
  std::string message;
  try {
    handler();
    return;
  } catch (const MonitorStopped&) {
    return;
  } catch (const std::exception& e) {
    message = e.what();
  } catch (...) {
    message = "Unknown exception";
  }
  if (stop_.Requested()) return;
  observers_.HandlerFailed(message);
  try {
    view_.ShowErrorBox(ErrorBoxText(message));
  } catch (const MonitorStopped&) {
  }
}

}  // namespace tallyvox::monitor
