#include "alerts/delivery_queue.h"

#include <utility>

namespace tallyvox::monitor {

DeliveryQueue::DeliveryQueue() : thread_([this] { Run(); }) {}

DeliveryQueue::~DeliveryQueue() {
  {
    MutexLock lock(&mu_);
    quit_ = true;
    jobs_.clear();
  }
  cv_.SignalAll();
  thread_.join();
}

void DeliveryQueue::Post(std::function<void()> job) {
  {
    MutexLock lock(&mu_);
    jobs_.push_back(std::move(job));
  }
  cv_.SignalAll();
}

void DeliveryQueue::Run() {
  for (;;) {
    std::function<void()> job;
    {
      MutexLock lock(&mu_);
      while (jobs_.empty() && !quit_) cv_.Wait(&mu_);
      if (quit_) return;
      job = std::move(jobs_.front());
      jobs_.pop_front();
    }
    job();
  }
}

}  // namespace tallyvox::monitor
