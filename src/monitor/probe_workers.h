// ProbeWorkers: the threads that run a cycle's probes at once ([polling]
// parallel > 1). Each worker has a probe channel of its own (transport,
// pool, session, query): slot 0 runs on the monitor's own channel, so that
// row 1 keeps the pooled connections of the "Connect" button and of earlier
// cycles; the others on channels from a ProbeChannelSource.
//
// The monitor's thread aims a free worker's channel and writes the audit
// record; Start then hands the probe over. The worker runs only the blocking
// part, RunProbe (and ReleaseProbe unless the aim kept the pool), and calls
// `done` with the result on its own thread; the monitor posts that back to
// its thread (PostCall), where everything the operator sees is applied.
//
// A probe on a worker reaches the network through its channel's sockets,
// which the socket registry holds like every other: a stop shuts them down,
// so a worker's probe ends at once and the destructor's join is short.
//
// Threading: everything but `done` and NoteTransportError runs on the
// monitor's thread. Invariant: a channel is used by one thread at a time,
// the monitor's while its slot is free, its worker's while it is busy (the
// hand-over goes through the worker's mutex).
#ifndef TALLYVOX_MONITOR_PROBE_WORKERS_H_
#define TALLYVOX_MONITOR_PROBE_WORKERS_H_

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "monitor/seams.h"

namespace tallyvox::monitor {

// What a worker's probe came to.
struct ProbeResult {
  bool failed = false;
  std::string message;            // the exception's message, when failed
  bool transport_failed = false;  // the transport's OnException ran
  std::string transport_error;    // its message
  double seconds = 0;             // how long RunProbe took
};

class ProbeWorkers {
 public:
  // Runs on the worker's thread once its probe ended.
  using Done = std::function<void(int slot, const ProbeResult& result)>;

  // `count` workers (REQUIRES: 1 <= count): slot 0 on `main`, the others
  // on channels from `source`. `main` and `source` must outlive this.
  ProbeWorkers(int count, ProbeChannel& main, ProbeChannelSource& source, Done done);
  // Ends every worker and waits for it: a probe in flight runs to its end
  // (at once after a stop, its sockets shut down); its result is dropped.
  ~ProbeWorkers();
  ProbeWorkers(const ProbeWorkers&) = delete;
  ProbeWorkers& operator=(const ProbeWorkers&) = delete;

  int Size() const { return static_cast<int>(workers_.size()); }
  int InFlight() const { return in_flight_; }
  bool Busy(int slot) const;
  // A free slot (0 when `main_channel`: row 1's), or -1 when there is none.
  int FreeSlot(bool main_channel) const;
  // REQUIRES: the slot is free.
  ProbeChannel& Channel(int slot);
  // Hands the aimed probe of `slot` to its worker; `release`: ReleaseProbe
  // after it. REQUIRES: the slot is free.
  void Start(int slot, bool release);
  // The monitor took the slot's result: the slot is free again.
  void Finished(int slot);

  // Called from a transport's OnException: on a worker's thread, keeps the
  // failure with that worker's probe and returns true; false elsewhere.
  static bool NoteTransportError(const std::string& message);

 private:
  class Worker;
  const Done done_;  // the workers refer to it
  std::vector<std::unique_ptr<ProbeChannel>> owned_;
  std::vector<std::unique_ptr<Worker>> workers_;
  std::vector<bool> busy_;
  int in_flight_ = 0;
};

}  // namespace tallyvox::monitor

#endif  // TALLYVOX_MONITOR_PROBE_WORKERS_H_
