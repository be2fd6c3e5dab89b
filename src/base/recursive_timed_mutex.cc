#include "base/recursive_timed_mutex.h"

namespace tallyvox {

bool RecursiveTimedMutex::TryTake(std::thread::id self) {
  if (depth_ != 0 && owner_ != self) return false;
  owner_ = self;
  ++depth_;
  return true;
}

void RecursiveTimedMutex::lock() {
  const std::thread::id self = std::this_thread::get_id();
  std::unique_lock<std::mutex> lock(mutex_);
  released_.wait(lock, [&] { return TryTake(self); });
}

bool RecursiveTimedMutex::try_lock() {
  std::lock_guard<std::mutex> lock(mutex_);
  return TryTake(std::this_thread::get_id());
}

bool RecursiveTimedMutex::try_lock_for(std::chrono::milliseconds timeout) {
  const std::thread::id self = std::this_thread::get_id();
  std::unique_lock<std::mutex> lock(mutex_);
  return released_.wait_for(lock, timeout, [&] { return TryTake(self); });
}

void RecursiveTimedMutex::unlock() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (depth_ == 0 || --depth_ != 0) return;
    owner_ = std::thread::id();
  }
  released_.notify_one();
}

}  // namespace tallyvox
