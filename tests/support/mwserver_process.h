// MwServerProcess: an mwserver child process started by a test on loopback
// and stopped by its destructor. The constructor waits (bounded) until the
// server reports that it listens on every address.
#ifndef TALLYVOX_TESTS_SUPPORT_MWSERVER_PROCESS_H_
#define TALLYVOX_TESTS_SUPPORT_MWSERVER_PROCESS_H_

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "support/support.h"

namespace tallyvox::testing {

// The mwserver binary of this build.
std::string MwServerPath();

class MwServerProcess {
 public:
  // `args` are mwserver's arguments (--listen ... and options).
  explicit MwServerProcess(std::vector<std::string> args,
                           std::chrono::milliseconds startup = std::chrono::seconds(10));
  // True once the server printed "mwserver ready".
  bool ready() const { return ready_; }
  std::string Output() const { return process_->Output(); }
  bool WaitForOutput(const std::string& needle,
                     std::chrono::milliseconds timeout = std::chrono::seconds(5)) {
    return process_->WaitForOutput(needle, timeout);
  }
  // Number of log lines containing `needle`.
  int CountLines(const std::string& needle) const;
  bool Running() { return process_->Running(); }
  // Stops the server now (the destructor would otherwise).
  void Stop() { process_->Stop(); }

 private:
  std::unique_ptr<ChildProcess> process_;
  bool ready_ = false;
};

}  // namespace tallyvox::testing

#endif  // TALLYVOX_TESTS_SUPPORT_MWSERVER_PROCESS_H_
