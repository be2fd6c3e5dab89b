// Mutex, MutexLock and CondVar: std::mutex and std::condition_variable with
// the annotations of base/thread_annotations.h, so clang checks (with
// -Wthread-safety) that every member marked GUARDED_BY(mu_) is reached only
// with mu_ held. ThreadSanitizer sees the standard types underneath.
//
//   Mutex mu_;
//   CondVar cv_;
//   bool ready_ GUARDED_BY(mu_) = false;
//   ...
//   MutexLock lock(&mu_);
//   while (!ready_) cv_.Wait(&mu_);
#ifndef TALLYVOX_BASE_MUTEX_H_
#define TALLYVOX_BASE_MUTEX_H_

#include <chrono>
#include <condition_variable>
#include <mutex>

#include "base/thread_annotations.h"

namespace tallyvox {

class CAPABILITY("mutex") Mutex {
 public:
  Mutex() = default;
  Mutex(const Mutex&) = delete;
  Mutex& operator=(const Mutex&) = delete;

  void Lock() ACQUIRE() { mu_.lock(); }
  void Unlock() RELEASE() { mu_.unlock(); }
  bool TryLock() TRY_ACQUIRE(true) { return mu_.try_lock(); }
  // Tells the analysis that the caller holds the lock (a callback run under
  // it); checks nothing at run time.
  void AssertHeld() const ASSERT_CAPABILITY(this) {}

 private:
  friend class CondVar;
  std::mutex mu_;
};

// Holds a Mutex for its scope.
class SCOPED_CAPABILITY MutexLock {
 public:
  explicit MutexLock(Mutex* mu) ACQUIRE(mu) : mu_(mu) { mu_->Lock(); }
  ~MutexLock() RELEASE() { mu_->Unlock(); }
  MutexLock(const MutexLock&) = delete;
  MutexLock& operator=(const MutexLock&) = delete;

 private:
  Mutex* const mu_;
};

// A condition variable. Every wait REQUIRES the mutex it names held, the
// same one for all waits of one CondVar; it is released while waiting and
// held again on return, so the analysis checks the callers.
class CondVar {
 public:
  CondVar() = default;
  CondVar(const CondVar&) = delete;
  CondVar& operator=(const CondVar&) = delete;

  void Wait(Mutex* mu) REQUIRES(mu) {
    std::unique_lock<std::mutex> lock(mu->mu_, std::adopt_lock);
    cv_.wait(lock);
    lock.release();
  }
  // False when `deadline` passed first (a spurious wake-up may return true).
  bool WaitUntil(Mutex* mu, std::chrono::steady_clock::time_point deadline) REQUIRES(mu) {
    std::unique_lock<std::mutex> lock(mu->mu_, std::adopt_lock);
    const bool woken = cv_.wait_until(lock, deadline) == std::cv_status::no_timeout;
    lock.release();
    return woken;
  }
  bool WaitFor(Mutex* mu, std::chrono::steady_clock::duration timeout) REQUIRES(mu) {
    return WaitUntil(mu, std::chrono::steady_clock::now() + timeout);
  }
  void Signal() { cv_.notify_one(); }
  void SignalAll() { cv_.notify_all(); }

 private:
  std::condition_variable cv_;
};

}  // namespace tallyvox

#endif  // TALLYVOX_BASE_MUTEX_H_
