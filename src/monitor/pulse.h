// MonitorPulse: the progress the monitor thread publishes for the stall
// guard (stall_guard.h), which reads it from its own thread and never calls
// into the monitor.
//
// The monitor beats it whenever it gets on: a handler starts or ends
// (Monitor::Handle), a probe starts, and every period of the pulse timer
// (Monitor::StartPulse), a timer on the monitor thread that also ticks inside
// a message box's nested loop. So a long cycle whose probes keep starting,
// or a box waiting for the operator, keeps beating; a handler blocked in a
// network wait does not.
//
// Thread-safe. Invariant: LastBeat() never goes back.
#ifndef TALLYVOX_MONITOR_PULSE_H_
#define TALLYVOX_MONITOR_PULSE_H_

#include <atomic>
#include <chrono>
#include <string>

#include "base/mutex.h"
#include "base/thread_annotations.h"
namespace tallyvox::monitor {

class MonitorPulse {
 public:
  using Clock = std::chrono::steady_clock;

  // Beats once: a monitor just made counts as progressing.
  MonitorPulse();
  MonitorPulse(const MonitorPulse&) = delete;
  MonitorPulse& operator=(const MonitorPulse&) = delete;

  // The monitor made progress now.
  void Beat();
  // A probe of `address` starts now: a beat, and the address the watchdog's
  // text names.
  void ProbeStarted(const std::string& address);

  Clock::time_point LastBeat() const;
  // The address of the last probe started ("" before the first).
  std::string LastProbedAddress() const;

 private:
  // steady_clock ticks since its epoch; stored with release, loaded with
  // acquire.
  std::atomic<Clock::rep> last_beat_;
  mutable Mutex mu_;  // held only to copy address_
  std::string address_ GUARDED_BY(mu_);
};

}  // namespace tallyvox::monitor

#endif  // TALLYVOX_MONITOR_PULSE_H_
