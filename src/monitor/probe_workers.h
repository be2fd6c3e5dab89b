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
// the aim kept the pool), and keeps the result; `wake` (on the worker's or
// the supervisor's thread) tells the monitor, which posts that to its
// thread (PostCall), where TakeResults returns every result kept, in the
// order the probes ended, and everything the operator sees is applied.
//
// What a probe costs is its own work; the hand-overs between threads (a
// sleeping thread woken, a switch of cores) come to a few per cycle, not a
// few per probe:
// - A few workers while probes are quick: each worker running a probe
//   takes the next queued one as it ends, without sleeping, so an idle
//   worker is woken (or a thread started) only for probes queued beyond
//   those, and no more than `base_threads` run at once. A roster of
//   healthy servers runs on those few, its probes queued ahead of them.
// - One per probe as soon as probes are slow: while probes wait in the
//   queue, a supervising thread marks each running probe that has run
//   `slow` or longer (a silent or blackholed server waiting out its
//   time-out, a distant one); while any is marked, every queued probe is
//   given a worker of its own (an idle one, else a new thread, up to
//   `count`). A site-wide outage has a thread per probe in flight within
//   two `slow` of its cycle's start.
// - Results in batches: a worker that keeps a result wakes the monitor only
//   when at most `low_water` probes are left in the queue, so that the
//   monitor refills it before the workers run dry; the supervisor wakes it
//   for a result kept `slow` ago and not yet taken. One posted call
//   carries every result that ended meanwhile.
// Nothing is built before it is needed: a channel is made the first time
// its slot is used, threads (with small stacks) as above. Both stay until
// the workers are destroyed; an idle worker sleeps until it is given a
// probe.
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

#include <chrono>
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
  // Runs on a worker's or the supervisor's thread when results are kept
  // and no wake is pending (one since the last TakeResults).
  using Wake = std::function<void()>;

  struct Options {
    // Workers given queued probes while none is slow. Invariant: >= 1.
    int base_threads = DefaultBaseThreads();
    // A probe running this long is slow; a result kept this long is due.
    // Long next to a probe of a server that answers (a tenth of a
    // millisecond on this host, one or two on a local network, even with
    // the cores busy), short next to a time-out.
    std::chrono::microseconds slow{10000};
    // A kept result wakes the monitor when at most this many probes are
    // queued; a negative value: as many as base_threads.
    int low_water = -1;
  };
  // The cores there are, plus two for the probes that wait on the network.
  static int DefaultBaseThreads();

  // At most `count` probes at once (REQUIRES: 1 <= count): slot 0 on
  // `main`, the others on channels from `source`. `main` and `source` must
  // outlive this.
  ProbeWorkers(int count, ProbeChannel& main, ProbeChannelSource& source, Wake wake);
  ProbeWorkers(int count, ProbeChannel& main, ProbeChannelSource& source, Wake wake,
               Options options);
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
  // The results kept since the last call, in the order the probes ended
  // (also those no wake announced yet). Their slots stay busy until
  // Finished.
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
  using Clock = std::chrono::steady_clock;
  struct Job {
    int slot = 0;
    ProbeChannel* channel = nullptr;  // the slot's (channels_ grows meanwhile)
    bool release = false;
  };
  // A worker thread's loop: runs queued probes until the workers end.
  void Work(Thread& self) EXCLUDES(mu_);
  ProbeResult Probe(const Job& job);
  // Gives queued probes no worker will take to idle workers or new
  // threads, as many as the rules above allow.
  void Dispatch() REQUIRES(mu_);
  // Keeps a worker's result; true when the caller is to run `wake_`.
  bool Keep(EndedProbe ended) REQUIRES(mu_);
  // The supervising thread's loop: marks slow probes and wakes the monitor
  // for results due, until the workers end.
  void Supervise(Thread& self) EXCLUDES(mu_);
  // One look at the running probes and the results; returns when the next
  // look is due (Clock::time_point::max(): nothing to watch) and sets
  // *wake when the caller is to run `wake_`.
  Clock::time_point Look(Clock::time_point now, bool* wake) REQUIRES(mu_);
  // Wakes the supervisor when it sleeps with nothing to watch.
  void Watch() REQUIRES(mu_);
  // Workers neither running a probe nor idle: about to take one.
  int Between() const REQUIRES(mu_);

  const int count_;
  const Options options_;
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
  std::deque<Job> jobs_ GUARDED_BY(mu_);
  std::vector<EndedProbe> results_ GUARDED_BY(mu_);
  bool woken_ GUARDED_BY(mu_) = false;         // `wake` ran since the last TakeResults
  Clock::time_point kept_at_ GUARDED_BY(mu_);  // when results_ stopped being empty
  // Idle workers, the last to go idle at the back (its cache is warmest).
  std::vector<Thread*> idle_ GUARDED_BY(mu_);
  int running_ GUARDED_BY(mu_) = 0;  // workers running a probe
  // By slot, while its probe runs on a worker: since when, and whether the
  // supervisor marked it slow.
  struct Running {
    Clock::time_point since;
    bool slow = false;
  };
  std::vector<Running> running_since_ GUARDED_BY(mu_);
  int slow_ GUARDED_BY(mu_) = 0;  // probes marked slow
  bool quit_ GUARDED_BY(mu_) = false;
  bool supervisor_asleep_ GUARDED_BY(mu_) = false;  // waiting with nothing to watch
  // Last: their threads end before the rest goes.
  std::unique_ptr<Thread> supervisor_ GUARDED_BY(mu_);
  std::vector<std::unique_ptr<Thread>> threads_ GUARDED_BY(mu_);
};

}  // namespace tallyvox::monitor

#endif  // TALLYVOX_MONITOR_PROBE_WORKERS_H_
