#include "base/periodic_thread.h"

#include <utility>

namespace tallyvox {

PeriodicThread::PeriodicThread(Period period, Action action)
    : period_(std::move(period)), action_(std::move(action)) {}

PeriodicThread::~PeriodicThread() { Stop(); }

void PeriodicThread::Start() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (stop_ || thread_.joinable()) return;
  thread_ = std::thread([this] { Run(); });
}

void PeriodicThread::Restart() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    ++generation_;
  }
  cv_.notify_all();
}

void PeriodicThread::SetPaused(bool paused) {
  bool wake = false;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    paused_ = paused;
    wake = !paused && sleeping_paused_;
  }
  if (wake) cv_.notify_all();
}

void PeriodicThread::Stop() {
  std::thread thread;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stop_ = true;
    thread = std::move(thread_);
  }
  cv_.notify_all();
  if (thread.joinable()) thread.join();
}

void PeriodicThread::Run() {
  std::unique_lock<std::mutex> lock(mutex_);
  while (!stop_) {
    if (paused_) {
      sleeping_paused_ = true;
      cv_.wait(lock, [this] { return stop_ || !paused_; });
      sleeping_paused_ = false;
      continue;
    }
    const std::chrono::milliseconds period = period_();
    const uint64_t generation = generation_;
    auto woken = [&] { return stop_ || generation_ != generation; };
    if (period <= std::chrono::milliseconds::zero()) {
      cv_.wait(lock, woken);
      continue;
    }
    if (cv_.wait_for(lock, period, woken)) continue;
    if (paused_) continue;
    lock.unlock();
    action_();
    lock.lock();
  }
}

}  // namespace tallyvox
