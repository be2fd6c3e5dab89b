// ProbeWorkers: the threads that run a cycle's probes at once ([polling]
// parallel > 1), and the probe channels they run them on. Each probe in
// flight has a channel of its own (transport, pool, session, query), named
// by its slot: slot 0 is the monitor's own channel, so that row 1 keeps the
// pooled connections of the "Connect" button and of earlier cycles; the
// others are channels from a ProbeChannelSource.
//
// The monitor's thread aims a free slot's channel and writes the audit
// record; Start then queues the probe. A worker thread takes it from the
// queue and runs only the blocking part, RunProbe (and ReleaseProbe unless
// the aim kept the pool), and keeps the result; the first result kept
// after TakeResults calls `wake` (on the worker's thread), once, and the
// monitor posts that to its thread (PostCall), where TakeResults returns
// every result kept, in the order the probes ended, and everything the
// operator sees is applied.
//
// What a probe costs is its own work: a worker that ends a probe takes the
// next queued one without sleeping; a sleeping worker is woken only for a
// probe no running worker will take; one posted call carries every result
// that ended meanwhile. Nothing is built before it is needed: a channel is
// made the first time its slot is used, and a worker thread (with a small
// stack) when a probe is queued and no worker is free, up to `count` of
// each; a roster of healthy servers needs a few, a site-wide outage one per
// probe in flight. Both stay until the workers are destroyed.
//
// A probe on a worker reaches the network through its channel's sockets,
// which the socket registry holds like every other: a stop shuts them down,
// so a worker's probe ends at once and the destructor's join is short.
//
// Threading: everything but `wake` and NoteTransportError runs on the
// monitor's thread. Invariant: a channel is used by one thread at a time,
// the monitor's while its slot is free, a worker's while it is busy (the
// hand-over goes through the queue's mutex).
#ifndef TALLYVOX_MONITOR_PROBE_WORKERS_H_
#define TALLYVOX_MONITOR_PROBE_WORKERS_H_

#include <cstddef>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "base/mutex.h"
#include "base/thread_annotations.h"
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

// A probe that ended: its slot and its result.
struct EndedProbe {
  int slot = 0;
  ProbeResult result;
};

class ProbeWorkers {
 public:
  // Runs on a worker's thread when a result is kept and none was waiting to
  // be taken.
  using Wake = std::function<void()>;

  // At most `count` probes at once (REQUIRES: 1 <= count): slot 0 on
  // `main`, the others on channels from `source`. `main` and `source` must
  // outlive this.
  ProbeWorkers(int count, ProbeChannel& main, ProbeChannelSource& source, Wake wake);
  // Ends every worker and waits for it: a probe in flight runs to its end
  // (at once after a stop, its sockets shut down); its result is dropped.
  ~ProbeWorkers();
  ProbeWorkers(const ProbeWorkers&) = delete;
  ProbeWorkers& operator=(const ProbeWorkers&) = delete;

  // The most probes at once.
  int Size() const { return count_; }
  int InFlight() const { return in_flight_; }
  // Channels made and worker threads started so far.
  int Channels() const { return static_cast<int>(channels_.size()); }
  int Threads() const EXCLUDES(mu_);
  bool Busy(int slot) const;
  // A free slot (0 when `main_channel`: row 1's), or -1 when there is none.
  // A slot whose channel is made already comes before a new one.
  int FreeSlot(bool main_channel) const;
  // Prepares the channels made so far for a cycle, and every channel made
  // later as it is made. Raises what a channel's PrepareCycle raises.
  void PrepareCycle();
  // The slot's channel, made now when it is new (and prepared when a cycle
  // was). REQUIRES: 0 <= slot < Size(), the slot is free.
  ProbeChannel& Channel(int slot);
  // Queues the aimed probe of `slot`; `release`: ReleaseProbe after it.
  // REQUIRES: the slot is free and its channel made.
  void Start(int slot, bool release) EXCLUDES(mu_);
  // The results kept since the last call, in the order the probes ended.
  // Their slots stay busy until Finished.
  std::vector<EndedProbe> TakeResults() EXCLUDES(mu_);
  // How many results wait to be taken.
  size_t Kept() const EXCLUDES(mu_);
  // The monitor took the slot's result: the slot is free again.
  void Finished(int slot);

  // Called from a transport's OnException: on a worker's thread, keeps the
  // failure with that worker's probe and returns true; false elsewhere.
  static bool NoteTransportError(const std::string& message);

 private:
  class Thread;
  struct Job {
    int slot = 0;
    ProbeChannel* channel = nullptr;  // the slot's (channels_ grows meanwhile)
    bool release = false;
  };
  // A worker thread's loop: takes queued probes until the workers end.
  void Work() EXCLUDES(mu_);
  ProbeResult Probe(const Job& job);

  const int count_;
  ProbeChannel& main_;
  ProbeChannelSource& source_;
  const Wake wake_;
  // By slot: slot 0 is main_, the others are owned here.
  std::vector<std::unique_ptr<ProbeChannel>> owned_;
  std::vector<ProbeChannel*> channels_;
  std::vector<bool> busy_;
  int in_flight_ = 0;
  bool prepared_ = false;

  mutable Mutex mu_;
  CondVar cv_;
  std::deque<Job> jobs_ GUARDED_BY(mu_);
  std::vector<EndedProbe> results_ GUARDED_BY(mu_);
  bool woken_ GUARDED_BY(mu_) = false;  // `wake` ran since the last TakeResults
  int idle_ GUARDED_BY(mu_) = 0;        // workers waiting for a probe
  int running_ GUARDED_BY(mu_) = 0;     // workers running a probe
  bool quit_ GUARDED_BY(mu_) = false;
  // Last: their threads end before the rest goes.
  std::vector<std::unique_ptr<Thread>> threads_ GUARDED_BY(mu_);
};

}  // namespace tallyvox::monitor

#endif  // TALLYVOX_MONITOR_PROBE_WORKERS_H_
