// MwServerProcess: an mwserver child process started by a test on loopback
// and stopped by its destructor. The constructor waits (bounded) until the
// server reports that it listens on every address. Give its listeners port 0
// ("--listen 127.0.0.1:0"): the server binds a port of the system's choosing
// and reports it in its ready line, which port() reads back, so no port is
// ever guessed.
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
  // True once the server printed its ready line.
  bool ready() const { return ready_; }
  // The "ip:port" of every address the server listens on, in --listen order
  // (empty until ready).
  const std::vector<std::string>& endpoints() const { return endpoints_; }
  // The port of the first address (0 until ready).
  int port() const;
  std::string Output() const { return process_->Output(); }
  bool WaitForOutput(const std::string& needle,
                     std::chrono::milliseconds timeout = std::chrono::seconds(5)) {
    return process_->WaitForOutput(needle, timeout);
  }
  // Number of log lines containing `needle`.
  int CountLines(const std::string& needle) const;
  bool Running() { return process_->Running(); }
  // The server's process id (for a benchmark that reads its CPU time).
  pid_t pid() const { return process_->pid(); }
  // Stops the server now (the destructor would otherwise).
  void Stop() { process_->Stop(); }

 private:
  std::unique_ptr<ChildProcess> process_;
  bool ready_ = false;
  std::vector<std::string> endpoints_;
};

}  // namespace tallyvox::testing

#endif  // TALLYVOX_TESTS_SUPPORT_MWSERVER_PROCESS_H_
