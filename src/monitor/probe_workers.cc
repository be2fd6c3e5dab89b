#include "monitor/probe_workers.h"

#include <pthread.h>

#include <chrono>
#include <cstring>
#include <exception>
#include <stdexcept>
#include <string>
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

// One worker thread with a small stack (a plain thread reserves 8 MiB of
// address space; 111 of them would reserve almost 1 GiB).
class ProbeWorkers::Thread {
 public:
  explicit Thread(ProbeWorkers& owner) : owner_(owner) {
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

 private:
  static void* Run(void* self) {
    static_cast<Thread*>(self)->owner_.Work();
    return nullptr;
  }
  ProbeWorkers& owner_;
  pthread_t thread_{};
};

ProbeWorkers::ProbeWorkers(int count, ProbeChannel& main, ProbeChannelSource& source, Wake wake)
    : count_(count),
      main_(main),
      source_(source),
      wake_(std::move(wake)),
      busy_(static_cast<size_t>(count), false) {
  channels_.push_back(&main_);
}

ProbeWorkers::~ProbeWorkers() {
  std::vector<std::unique_ptr<Thread>> threads;
  {
    MutexLock lock(&mu_);
    quit_ = true;
    jobs_.clear();
    threads.swap(threads_);
  }
  cv_.SignalAll();
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
  // A worker between two probes (neither probing nor waiting) takes the job
  // without being woken; else a waiting one is woken; a new one starts only
  // when every worker is probing.
  const int between = static_cast<int>(threads_.size()) - running_ - idle_;
  if (static_cast<int>(jobs_.size()) <= between) return;
  if (idle_ > 0) {
    cv_.Signal();
  } else if (static_cast<int>(threads_.size()) < Size()) {
    threads_.push_back(std::make_unique<Thread>(*this));
  }
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

void ProbeWorkers::Work() {
  for (;;) {
    Job job;
    {
      MutexLock lock(&mu_);
      while (jobs_.empty() && !quit_) {
        ++idle_;
        cv_.Wait(&mu_);
        --idle_;
      }
      if (quit_) return;
      job = jobs_.front();
      jobs_.pop_front();
      ++running_;
    }
    ProbeResult result = Probe(job);
    bool wake = false;
    {
      MutexLock lock(&mu_);
      --running_;
      if (quit_) return;  // dropped: nobody takes it any more
      results_.push_back(EndedProbe{job.slot, std::move(result)});
      wake = !std::exchange(woken_, true);
    }
    if (wake) wake_();
  }
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
