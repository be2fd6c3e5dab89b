#include "monitor/probe_workers.h"

#include <pthread.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>

namespace tallyvox::monitor {
namespace {

// A probe's deepest stack is a few kilobytes of the middleware client and
// the socket layer; the sanitizers' builds need several times more.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr size_t kStackBytes = size_t{4} << 20;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
constexpr size_t kStackBytes = size_t{4} << 20;
#else
constexpr size_t kStackBytes = size_t{512} << 10;
#endif
#else
constexpr size_t kStackBytes = size_t{512} << 10;
#endif

// The result of the probe the current worker thread runs; null on every
// other thread.
thread_local ProbeResult* t_current = nullptr;

}  // namespace

// A thread of the workers with a small stack (a plain thread reserves
// 8 MiB of address space; 111 of them would reserve almost 1 GiB), and a
// condition of its own, so that giving an idle worker a probe wakes that
// worker alone.
class ProbeWorkers::Thread {
 public:
  using Loop = void (ProbeWorkers::*)(Thread&);
  Thread(ProbeWorkers& owner, Loop loop, const char* name)
      : owner_(owner), loop_(loop), name_(name) {
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setstacksize(&attr, kStackBytes);
    const int error = pthread_create(&thread_, &attr, &Thread::Run, this);
    pthread_attr_destroy(&attr);
    if (error != 0) {
      throw std::runtime_error(std::string("cannot start a probe worker: ") + std::strerror(error));
    }
  }
  ~Thread() { pthread_join(thread_, nullptr); }
  Thread(const Thread&) = delete;
  Thread& operator=(const Thread&) = delete;

  // Waited on with the owner's mutex held; `called` says why it woke.
  CondVar cv;
  bool called = false;

 private:
  static void* Run(void* self) {
    Thread& thread = *static_cast<Thread*>(self);
    pthread_setname_np(pthread_self(), thread.name_);  // as top -H shows it
    (thread.owner_.*thread.loop_)(thread);
    return nullptr;
  }
  ProbeWorkers& owner_;
  const Loop loop_;
  const char* const name_;
  pthread_t thread_{};
};

int ProbeWorkers::DefaultBaseThreads() {
  return std::max(1, static_cast<int>(std::thread::hardware_concurrency())) + 2;
}

ProbeWorkers::ProbeWorkers(int count, ProbeChannel& main, ProbeChannelSource& source, Wake wake)
    : ProbeWorkers(count, main, source, std::move(wake), Options()) {}

ProbeWorkers::ProbeWorkers(int count, ProbeChannel& main, ProbeChannelSource& source, Wake wake,
                           Options options)
    : count_(count),
      options_(options),
      main_(main),
      source_(source),
      wake_(std::move(wake)),
      busy_(static_cast<size_t>(count), false),
      running_since_(static_cast<size_t>(count)) {
  channels_.push_back(&main_);
}

ProbeWorkers::~ProbeWorkers() {
  std::vector<std::unique_ptr<Thread>> threads;
  std::unique_ptr<Thread> supervisor;
  {
    MutexLock lock(&mu_);
    quit_ = true;
    jobs_.clear();
    threads.swap(threads_);
    supervisor.swap(supervisor_);
    for (auto& thread : threads) thread->cv.SignalAll();
    if (supervisor) supervisor->cv.SignalAll();
  }
  supervisor.reset();
  threads.clear();  // joins them: the channels go only after their threads
}

int ProbeWorkers::Threads() const {
  MutexLock lock(&mu_);
  return static_cast<int>(threads_.size());
}

bool ProbeWorkers::Busy(int slot) const { return busy_[static_cast<size_t>(slot)]; }

int ProbeWorkers::FreeSlot(bool main_channel) const {
  if (main_channel) return Busy(0) ? -1 : 0;
  // The main channel last: row 1 and the "Connect" button want it.
  for (int slot = 1; slot < Channels(); ++slot) {
    if (!Busy(slot)) return slot;
  }
  if (Channels() < Size()) return Channels();
  return Busy(0) ? -1 : 0;
}

void ProbeWorkers::PrepareCycle() {
  prepared_ = true;
  for (ProbeChannel* channel : channels_) channel->PrepareCycle();
}

ProbeChannel& ProbeWorkers::Channel(int slot) {
  while (Channels() <= slot) {
    owned_.push_back(source_.NewChannel());
    channels_.push_back(owned_.back().get());
    if (prepared_) channels_.back()->PrepareCycle();
  }
  return *channels_[static_cast<size_t>(slot)];
}

void ProbeWorkers::Start(int slot, bool release) {
  busy_[static_cast<size_t>(slot)] = true;
  ++in_flight_;
  MutexLock lock(&mu_);
  jobs_.push_back(Job{slot, channels_[static_cast<size_t>(slot)], release});
  Dispatch();
}

int ProbeWorkers::Between() const {
  return static_cast<int>(threads_.size() - idle_.size()) - running_;
}

void ProbeWorkers::Dispatch() {
  // Queued probes no worker between two probes will take.
  int want = static_cast<int>(jobs_.size()) - Between();
  if (want <= 0) return;
  if (slow_ == 0) {
    // Quick probes: each running probe's worker takes one of the queued
    // ones as it ends, without sleeping, so a worker is woken only for
    // probes beyond those, and at most the base are at work; the rest
    // wait their turn while the supervisor watches the running ones.
    want = std::min(want - running_, options_.base_threads - running_ - Between());
    if (want <= 0) {
      Watch();
      return;
    }
  }
  for (; want > 0 && !idle_.empty(); --want) {
    Thread* worker = idle_.back();
    idle_.pop_back();
    worker->called = true;
    worker->cv.Signal();
  }
  if (want <= 0) return;
  if (!supervisor_) {
    supervisor_ = std::make_unique<Thread>(*this, &ProbeWorkers::Supervise, "tv-probe-watch");
  }
  for (; want > 0 && static_cast<int>(threads_.size()) < Size(); --want) {
    try {
      threads_.push_back(std::make_unique<Thread>(*this, &ProbeWorkers::Work, "tv-probe"));
    } catch (const std::runtime_error&) {
      // Out of threads: the workers there are run the queue, one probe
      // after another. Only the first is a must.
      if (threads_.empty()) throw;
      return;
    }
  }
}

void ProbeWorkers::Watch() {
  if (supervisor_asleep_ && supervisor_) supervisor_->cv.Signal();
}

std::vector<EndedProbe> ProbeWorkers::TakeResults() {
  MutexLock lock(&mu_);
  woken_ = false;
  return std::exchange(results_, {});
}

size_t ProbeWorkers::Kept() const {
  MutexLock lock(&mu_);
  return results_.size();
}

void ProbeWorkers::Finished(int slot) {
  if (!Busy(slot)) return;
  busy_[static_cast<size_t>(slot)] = false;
  --in_flight_;
}

bool ProbeWorkers::Keep(EndedProbe ended) {
  if (results_.empty()) kept_at_ = Clock::now();
  results_.push_back(std::move(ended));
  if (woken_) return false;
  const int low_water = options_.low_water < 0 ? options_.base_threads : options_.low_water;
  if (static_cast<int>(jobs_.size()) > low_water) {
    Watch();  // the supervisor wakes the monitor if the queue lasts
    return false;
  }
  woken_ = true;
  return true;
}

void ProbeWorkers::Work(Thread& self) {
  for (;;) {
    Job job;
    {
      MutexLock lock(&mu_);
      while (jobs_.empty() && !quit_) {
        idle_.push_back(&self);
        self.called = false;
        while (!self.called && !quit_) self.cv.Wait(&mu_);
      }
      if (quit_) return;
      job = jobs_.front();
      jobs_.pop_front();
      ++running_;
      running_since_[static_cast<size_t>(job.slot)] = Running{Clock::now(), false};
      // Probes still queued behind this one: the supervisor times it, or a
      // slow probe would hold them (it may have gone to sleep while no probe
      // was running yet).
      if (!jobs_.empty()) Watch();
    }
    ProbeResult result = Probe(job);
    bool wake = false;
    {
      MutexLock lock(&mu_);
      --running_;
      Running& running = running_since_[static_cast<size_t>(job.slot)];
      if (running.slow) --slow_;
      running = Running{};
      if (quit_) return;  // dropped: nobody takes it any more
      wake = Keep(EndedProbe{job.slot, std::move(result)});
    }
    if (wake) wake_();
  }
}

void ProbeWorkers::Supervise(Thread& self) {
  for (;;) {
    {
      MutexLock lock(&mu_);
      if (quit_) return;
      bool wake = false;
      const Clock::time_point next = Look(Clock::now(), &wake);
      if (!wake) {
        supervisor_asleep_ = next == Clock::time_point::max();
        if (supervisor_asleep_) {
          self.cv.Wait(&mu_);
        } else {
          self.cv.WaitUntil(&mu_, next);
        }
        supervisor_asleep_ = false;
        continue;
      }
    }
    wake_();
  }
}

ProbeWorkers::Clock::time_point ProbeWorkers::Look(Clock::time_point now, bool* wake) {
  Clock::time_point next = Clock::time_point::max();
  // Probes that wait for a worker while running ones are slow.
  if (static_cast<int>(jobs_.size()) > Between()) {
    for (Running& running : running_since_) {
      if (running.since == Clock::time_point{} || running.slow) continue;
      if (now - running.since >= options_.slow) {
        running.slow = true;
        ++slow_;
      } else {
        next = std::min(next, running.since + options_.slow);
      }
    }
    if (slow_ > 0) Dispatch();  // every queued probe gets a worker
  }
  if (!results_.empty() && !woken_) {
    if (now - kept_at_ >= options_.slow) {
      woken_ = true;
      *wake = true;
    } else {
      next = std::min(next, kept_at_ + options_.slow);
    }
  }
  return next;
}

ProbeResult ProbeWorkers::Probe(const Job& job) {
  ProbeChannel& channel = *job.channel;
  ProbeResult result;
  t_current = &result;
  const auto started = std::chrono::steady_clock::now();
  try {
    channel.RunProbe();
  } catch (const std::exception& e) {
    result.failed = true;
    result.message = e.what();
  } catch (...) {
    result.failed = true;
    result.message = "Unknown exception";
  }
  result.seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  t_current = nullptr;
  if (job.release) channel.ReleaseProbe();
  return result;
}

bool ProbeWorkers::NoteTransportError(const std::string& message) {
  if (t_current == nullptr) return false;
  t_current->transport_failed = true;
  t_current->transport_error = message;
  return true;
}

}  // namespace tallyvox::monitor
