// MonitorRunner: runs a monitor on its own thread with its own Qt event loop,
// the same way for every front end. The thread builds the assembly, calls
// the front end's start-up function on it, then handles events (timer ticks,
// posted calls) until it is stopped, and destroys the assembly on its way out.
//
// The caller's thread never waits for the monitor thread, except in Stop,
// and only for the bound it gives.
//
// Usage:
//   MonitorRunner runner([&](StopSignal& stop) {
//     return std::make_unique<MonitorAssembly>(settings, view, stop, &observer);
//   });
//   runner.GuardStalls({limit, &inputs, {&console, &metrics}});  // stall_guard.h
//   runner.Start([](MonitorAssembly* a, const std::string& error) { ... });
//   runner.Post([](Monitor& m) { m.Handle([&] { m.Button1Click(); }); });
//   runner.Stop(std::chrono::milliseconds(900));
#ifndef TALLYVOX_MONITOR_RUNNER_H_
#define TALLYVOX_MONITOR_RUNNER_H_

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "monitor/assembly.h"
#include "monitor/stall_guard.h"
#include "monitor/stop.h"

class QThread;

namespace tallyvox::monitor {

class MonitorRunner {
 public:
  using Build = std::function<std::unique_ptr<MonitorAssembly>(StopSignal& stop)>;
  // Runs on the monitor thread after the build: the assembly, or null and the
  // build's error message.
  using Started = std::function<void(MonitorAssembly* assembly, const std::string& error)>;

  explicit MonitorRunner(Build build);
  // Stops (bounded by a second) when still running.
  ~MonitorRunner();
  MonitorRunner(const MonitorRunner&) = delete;
  MonitorRunner& operator=(const MonitorRunner&) = delete;

  // Runs a stall guard with these options beside the monitor: started on the
  // monitor thread once the assembly is built, before the start-up function,
  // and stopped before the assembly goes. REQUIRES: called before Start.
  void GuardStalls(StallGuardOptions options) { guard_ = std::move(options); }
  // REQUIRES: called once.
  void Start(Started started);
  // Thread-safe. Queues `call` to run on the monitor thread, after the
  // start-up function and in the order posted; dropped after a stop.
  void Post(std::function<void(Monitor&)> call);
  // The same with the whole assembly (for a settings reload).
  void PostToAssembly(std::function<void(MonitorAssembly&)> call);
  // Thread-safe. Requests the stop (stop.h), ends the monitor thread's event
  // loop and waits at most `bound` for the thread to finish. True when it
  // finished; when false the thread is still unwinding and the process
  // should end without waiting for it.
  bool Stop(std::chrono::milliseconds bound);
  bool Finished() const;
  StopSignal& stop() { return stop_; }

 private:
  class Thread;
  // The thread's body; `exec` runs its event loop.
  void Run(const std::function<void()>& exec);
  // REQUIRES: mu_ held, assembly_ set.
  void Queue(std::function<void(MonitorAssembly&)> call);

  Build build_;
  std::optional<StallGuardOptions> guard_;
  Started started_;
  StopSignal stop_;
  std::unique_ptr<Thread> thread_;
  std::mutex mu_;
  MonitorAssembly* assembly_ = nullptr;  // set once the start-up function has run
  std::vector<std::function<void(MonitorAssembly&)>> pending_;
  // Stored (release) as the last thing Run does; loaded (acquire) once the
  // thread is known to have finished. A thread that ended before the wait
  // is found finished by a flag under a QMutex, which ThreadSanitizer does
  // not see; this pair makes all that the monitor thread did happen before
  // what follows Stop (and a true Finished), to the tool as it does in fact.
  std::atomic<bool> ran_out_{false};
};

}  // namespace tallyvox::monitor

#endif  // TALLYVOX_MONITOR_RUNNER_H_
