// Gate: holds each probe (or any wait keyed by a name) until the test opens
// its name, from any thread; a wait gives up after 10 s.
#ifndef TALLYVOX_TESTS_SUPPORT_GATE_H_
#define TALLYVOX_TESTS_SUPPORT_GATE_H_

#include <chrono>
#include <set>
#include <string>

#include "base/mutex.h"
#include "base/thread_annotations.h"

namespace tallyvox::testing {

class Gate {
 public:
  void Open(const std::string& name) EXCLUDES(mu_) {
    MutexLock lock(&mu_);
    open_.insert(name);
    cv_.SignalAll();
  }
  // False when `name` was not opened within 10 s.
  bool Wait(const std::string& name) EXCLUDES(mu_) {
    MutexLock lock(&mu_);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (open_.count(name) == 0) {
      if (!cv_.WaitUntil(&mu_, deadline)) return false;
    }
    return true;
  }

 private:
  Mutex mu_;
  CondVar cv_;
  std::set<std::string> open_ GUARDED_BY(mu_);
};

}  // namespace tallyvox::testing

#endif  // TALLYVOX_TESTS_SUPPORT_GATE_H_
