#include "monitor/probe_workers.h"

#include <exception>
#include <thread>

#include "base/mutex.h"
#include "base/thread_annotations.h"

namespace tallyvox::monitor {
namespace {

// The result of the probe the current worker thread runs; null on every
// other thread.
thread_local ProbeResult* t_current = nullptr;

}  // namespace

class ProbeWorkers::Worker {
 public:
  Worker(int slot, ProbeChannel& channel, const Done& done)
      : slot_(slot), channel_(channel), done_(done), thread_([this] { Run(); }) {}
  ~Worker() {
    {
      MutexLock lock(&mu_);
      quit_ = true;
    }
    cv_.SignalAll();
    thread_.join();
  }
  ProbeChannel& channel() { return channel_; }
  void Start(bool release) EXCLUDES(mu_) {
    {
      MutexLock lock(&mu_);
      release_ = release;
      job_ = true;
    }
    cv_.SignalAll();
  }

 private:
  void Run() EXCLUDES(mu_) {
    for (;;) {
      bool release = false;
      {
        MutexLock lock(&mu_);
        while (!job_ && !quit_) cv_.Wait(&mu_);
        if (quit_) return;
        job_ = false;
        release = release_;
      }
      done_(slot_, Probe(release));
    }
  }

  ProbeResult Probe(bool release) {
    ProbeResult result;
    t_current = &result;
    const auto started = std::chrono::steady_clock::now();
    try {
      channel_.RunProbe();
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
    if (release) channel_.ReleaseProbe();
    return result;
  }

  const int slot_;
  ProbeChannel& channel_;
  const Done& done_;
  Mutex mu_;
  CondVar cv_;
  bool job_ GUARDED_BY(mu_) = false;
  bool release_ GUARDED_BY(mu_) = false;
  bool quit_ GUARDED_BY(mu_) = false;
  std::thread thread_;  // last: starts once the rest is built
};

ProbeWorkers::ProbeWorkers(int count, ProbeChannel& main, ProbeChannelSource& source, Done done)
    : done_(std::move(done)), busy_(static_cast<size_t>(count), false) {
  for (int slot = 0; slot < count; ++slot) {
    ProbeChannel* channel = &main;
    if (slot > 0) {
      owned_.push_back(source.NewChannel());
      channel = owned_.back().get();
    }
    workers_.push_back(std::make_unique<Worker>(slot, *channel, done_));
  }
}

ProbeWorkers::~ProbeWorkers() {
  // The workers go first: their threads use the channels.
  workers_.clear();
}

bool ProbeWorkers::Busy(int slot) const { return busy_[static_cast<size_t>(slot)]; }

int ProbeWorkers::FreeSlot(bool main_channel) const {
  if (main_channel) return Busy(0) ? -1 : 0;
  // The main channel last: row 1 and the "Connect" button want it.
  for (int slot = 1; slot < Size(); ++slot) {
    if (!Busy(slot)) return slot;
  }
  return Busy(0) ? -1 : 0;
}

ProbeChannel& ProbeWorkers::Channel(int slot) {
  return workers_[static_cast<size_t>(slot)]->channel();
}

void ProbeWorkers::Start(int slot, bool release) {
  busy_[static_cast<size_t>(slot)] = true;
  ++in_flight_;
  workers_[static_cast<size_t>(slot)]->Start(release);
}

void ProbeWorkers::Finished(int slot) {
  if (!Busy(slot)) return;
  busy_[static_cast<size_t>(slot)] = false;
  --in_flight_;
}

bool ProbeWorkers::NoteTransportError(const std::string& message) {
  if (t_current == nullptr) return false;
  t_current->transport_failed = true;
  t_current->transport_error = message;
  return true;
}

}  // namespace tallyvox::monitor
