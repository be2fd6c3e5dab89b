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
#ifndef TALLYVOX_ASSEMBLY_RUNNER_H_
#define TALLYVOX_ASSEMBLY_RUNNER_H_

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "assembly/assembly.h"
#include "assembly/stall_guard.h"
#include "base/mutex.h"
#include "base/thread_annotations.h"
#include "monitor/stop.h"

class QThread;

namespace tallyvox::monitor {

// The programs' stop: shuts down every socket in use (net/socket_registry.h),
// so that a blocked probe or mail delivery fails at once. A StopSignal built
// with it stops as the runner's does.
void ShutDownSockets();

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
  // REQUIRES: assembly_ set.
  void Queue(std::function<void(MonitorAssembly&)> call) REQUIRES(mu_);

  Build build_;
  std::optional<StallGuardOptions> guard_;
  Started started_;
  StopSignal stop_{ShutDownSockets};
  std::unique_ptr<Thread> thread_;
  Mutex mu_;
  // Set once the start-up function has run.
  MonitorAssembly* assembly_ GUARDED_BY(mu_) = nullptr;
  std::vector<std::function<void(MonitorAssembly&)>> pending_ GUARDED_BY(mu_);
  // Stored (release) as the last thing Run does; loaded (acquire) once the
  // thread is known to have finished. A thread that ended before the wait
  // is found finished by a flag under a QMutex, which ThreadSanitizer does
  // not see; this pair makes all that the monitor thread did happen before
  // what follows Stop (and a true Finished), to the tool as it does in fact.
  std::atomic<bool> ran_out_{false};
};

}  // namespace tallyvox::monitor

#endif  // TALLYVOX_ASSEMBLY_RUNNER_H_
