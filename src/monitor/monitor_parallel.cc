// The parallel poll cycle ([polling] parallel > 1): the monitor's thread
// starts each ticked row's probe as a worker becomes free, with the same
// steps as a sequential row up to the audit write, and applies each result
// as it comes back (monitor.h).
#include <chrono>
#include <exception>
#include <string>
#include <utility>

#include "monitor/monitor.h"
#include "monitor/post_call.h"
#include "monitor/time_text.h"

namespace tallyvox::monitor {
namespace {

using SteadyClock = std::chrono::steady_clock;

}  // namespace

void Monitor::SetParallel(int count, ProbeChannelSource* source) {
  if (count == parallel_ && source == source_) return;
  workers_.reset();  // idle: ends its threads; new ones at the next cycle
  flights_.clear();
  ended_.clear();
  parallel_ = count;
  source_ = source;
}

void Monitor::WhenIdle(std::function<void()> work) {
  if (!parallel_cycle_ && ProbesInFlight() == 0) {
    work();
    return;
  }
  when_idle_.push_back(std::move(work));
}

void Monitor::TransportFailed(const std::string& message) {
  if (ProbeWorkers::NoteTransportError(message)) return;
  NoteTransportError(message);
  MwTCPIPClientTransport1Exception();
}

void Monitor::StartParallelCycle() {
  if (!workers_) {
    // One posted call carries every result that ended before it runs.
    workers_ = std::make_unique<ProbeWorkers>(parallel_, probe_, *source_,
                                              [this] { PostCall(this, [this] { ApplyEnded(); }); });
    flights_.assign(static_cast<size_t>(parallel_), InFlightProbe{});
  }
  cycle_running_ = true;
  parallel_cycle_ = std::make_unique<ParallelCycle>();
  parallel_cycle_->event.start = clock_.Now();
  parallel_cycle_->event.parallel = parallel_;
  parallel_cycle_->started = SteadyClock::now();
  EndDispatchOnError([&] {
    audit_.OpenAuditTable();
    workers_->PrepareCycle();
  });
  Pump();
}

void Monitor::Pump() {
  while (parallel_cycle_ && parallel_cycle_->dispatching) {
    stop_.ThrowIfStopped();
    ParallelCycle& cycle = *parallel_cycle_;
    if (cycle.next >= Roster::Rows().size()) {
      cycle.dispatching = false;
      break;
    }
    const ServerEntry& entry = Roster::Rows()[cycle.next];
    if (!view_.CheckBoxChecked(entry.check_box)) {
      ++cycle.next;
      ++cycle.event.skipped;
      ProbeEvent skipped;
      skipped.row = entry.row;
      skipped.address = view_.EditText(entry.edit);
      skipped.outcome = ProbeEvent::Outcome::kSkipped;
      observers_.ProbeFinished(skipped);
      continue;
    }
    const int slot = workers_->FreeSlot(entry.row == 1);
    if (slot < 0) break;  // the next result starts it
    ++cycle.next;
    EndDispatchOnError([&] { StartProbe(entry, slot); });
  }
  MaybeEndCycle();
}

void Monitor::StartProbe(const ServerEntry& entry, int slot) {
  // Row 1 keeps the main channel's pooled connections, as in a sequential
  // cycle, and leaves its pool active.
  const bool first_row = entry.row == 1;
  const RowRef row{entry.row, entry.label, view_.EditText(entry.edit)};
  view_.SetRowColour(row, TColour::clRed);
  view_.SetRowText(row, "Checking..." + LongTimeText(clock_.Now()));
  view_.RepaintLabel(entry.label);
  workers_->Channel(slot).AimProbe(row.address, /*fresh=*/!first_row);
  view_.SetRowColour(row, TColour::clBlack);
  last_probe_start_ = clock_.Now();
  last_probed_address_ = row.address;
  pulse_.ProbeStarted(row.address);
  audit_.RecordProbe(row.address, TimeOfDayPart(last_probe_start_));
  flights_[static_cast<size_t>(slot)] = InFlightProbe{&entry, row, last_probe_start_};
  workers_->Start(slot, /*release=*/!first_row);
  observers_.ProbesInFlight(workers_->InFlight());
}

ProbeEvent Monitor::WorkerEvent(const RowRef& row, TDateTime start, const ProbeResult& result) {
  ProbeEvent probe;
  probe.row = row.row;
  probe.address = row.address;
  probe.start = start;
  probe.seconds = result.seconds;
  if (result.failed) {
    probe.outcome = ProbeEvent::Outcome::kFailed;
    probe.reason = FailureReason(result.message, result.transport_error);
  }
  return probe;
}

void Monitor::ApplyEnded() {
  if (!workers_) return;
  for (EndedProbe& ended : workers_->TakeResults()) ended_.push_back(std::move(ended));
  // One result at a time, each a handler of its own; a message box that one
  // opens may apply the next ones in its loop, still in the order they
  // ended.
  while (!ended_.empty() && !stop_.Requested()) {
    const EndedProbe ended = std::move(ended_.front());
    ended_.pop_front();
    Handle([&] { ProbeDone(ended.slot, ended.result); });
  }
}

void Monitor::ProbeDone(int slot, const ProbeResult& result) {
  if (!workers_ || !workers_->Busy(slot)) return;
  const InFlightProbe flight = std::exchange(flights_[static_cast<size_t>(slot)], {});
  workers_->Finished(slot);
  observers_.ProbesInFlight(workers_->InFlight());
  // The transport's failure shows on the indicator before the row's outcome.
  if (result.transport_failed) {
    NoteTransportError(result.transport_error);
    MwTCPIPClientTransport1Exception();
  }
  ProbeEvent probe = WorkerEvent(flight.row, flight.start, result);
  if (parallel_cycle_) {
    ++parallel_cycle_->event.rows;
    if (probe.failed()) ++parallel_cycle_->event.failed;
  }
  EndDispatchOnError([&] {
    ApplyResult(*flight.entry, flight.row, &probe);
    if (slot == 0 && connect_waiting_) {
      connect_waiting_ = false;
      Button2Click();
    }
  });
  Pump();
}

void Monitor::EndDispatchOnError(const std::function<void()>& step) {
  try {
    step();
  } catch (const MonitorStopped&) {
    throw;
  } catch (const std::exception& e) {
    EndDispatch(e.what());
    throw;
  }
}

void Monitor::EndDispatch(const std::string& error) {
  if (!parallel_cycle_) return;
  parallel_cycle_->dispatching = false;
  if (!parallel_cycle_->event.ended_by_error) {
    parallel_cycle_->event.ended_by_error = true;
    parallel_cycle_->event.error = error;
  }
  MaybeEndCycle();
}

void Monitor::MaybeEndCycle() {
  if (!parallel_cycle_ || parallel_cycle_->dispatching || workers_->InFlight() > 0) return;
  CycleEvent cycle = parallel_cycle_->event;
  cycle.seconds =
      std::chrono::duration<double>(SteadyClock::now() - parallel_cycle_->started).count();
  cycle.end = clock_.Now();
  parallel_cycle_.reset();
  cycle_running_ = false;
  observers_.CycleFinished(cycle);
  auto work = std::move(when_idle_);
  when_idle_.clear();
  for (auto& w : work) w();
  alerts_.CycleEnded(cycle);
}

}  // namespace tallyvox::monitor
