// RecursiveTimedMutex: a mutex that its owning thread may lock again (each
// lock needs its unlock) and that other threads may wait for with a time
// limit. Built on std::mutex and std::condition_variable, so waits run on the
// steady clock and every step is visible to ThreadSanitizer (the library's
// timed mutexes wait with calls it does not follow).
//
// Meets the standard Lockable and TimedLockable requirements for durations
// in milliseconds.
#ifndef TALLYVOX_BASE_RECURSIVE_TIMED_MUTEX_H_
#define TALLYVOX_BASE_RECURSIVE_TIMED_MUTEX_H_

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <thread>

namespace tallyvox {

class RecursiveTimedMutex {
 public:
  RecursiveTimedMutex() = default;
  RecursiveTimedMutex(const RecursiveTimedMutex&) = delete;
  RecursiveTimedMutex& operator=(const RecursiveTimedMutex&) = delete;

  void lock();
  // Without waiting: true when free or already held by this thread.
  bool try_lock();
  // Waits at most `timeout` for the mutex.
  bool try_lock_for(std::chrono::milliseconds timeout);
  // REQUIRES: the calling thread holds the mutex.
  void unlock();

 private:
  // True (and held) when free or held by this thread.
  bool TryTake(std::thread::id self);

  std::mutex mutex_;
  std::condition_variable released_;
  std::thread::id owner_;
  size_t depth_ = 0;
};

}  // namespace tallyvox

#endif  // TALLYVOX_BASE_RECURSIVE_TIMED_MUTEX_H_
