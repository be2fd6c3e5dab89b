// A second process that opens a table through the engine and holds one record's lock
// until the test lets it go: `dbetool hold`, spawned (never forked from the test, which
// may run threads). Used to show that record locks work between processes.
#ifndef TALLYVOX_TESTS_SUPPORT_LOCK_HOLDER_H_
#define TALLYVOX_TESTS_SUPPORT_LOCK_HOLDER_H_

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>

#include "support/support.h"

namespace tallyvox::testing {

class LockHolder {
 public:
  // Starts dbetool, which locks `record` of `path` and says so, and lets it go after
  // `seconds` ("0.1") when the test does not end it first. ok() tells whether it holds
  // the lock (false when it failed, or after 10 s without an answer).
  LockHolder(const std::string& path, uint32_t record, const std::string& seconds = "600")
      : child_(std::make_unique<ChildProcess>(std::vector<std::string>{
            BinaryDir() + "/tools/dbetool", "hold", path, std::to_string(record), seconds})) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (std::chrono::steady_clock::now() < deadline) {
      if (child_->Output() == "locked\n") {
        ok_ = true;
        return;
      }
      if (!child_->Running()) return;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  }
  LockHolder(const LockHolder&) = delete;
  LockHolder& operator=(const LockHolder&) = delete;

  bool ok() const { return ok_; }
  // What dbetool said ("locked", or why it could not lock).
  std::string Output() const { return child_->Output(); }
  // Ends the process (its locks go with it) and waits for it.
  void Release() { child_->Stop(); }

 private:
  std::unique_ptr<ChildProcess> child_;
  bool ok_ = false;
};

}  // namespace tallyvox::testing

#endif  // TALLYVOX_TESTS_SUPPORT_LOCK_HOLDER_H_
