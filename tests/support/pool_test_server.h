// A mwserver child process on a loopback port of the system's choosing, for
// the pool and query tests. The destructor stops it.
#ifndef TALLYVOX_TESTS_SUPPORT_POOL_TEST_SERVER_H_
#define TALLYVOX_TESTS_SUPPORT_POOL_TEST_SERVER_H_

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "support/mwserver_process.h"
#include "support/support.h"

namespace tallyvox::mw::testing {

class PoolTestServer {
 public:
  // `options` are listener options (e.g. {"--rows", "7"}).
  explicit PoolTestServer(std::vector<std::string> options = {},
                          const std::string& ip = "127.0.0.1")
      : ip_(ip) {
    std::vector<std::string> args = {"--listen", ip + ":0"};
    args.insert(args.end(), options.begin(), options.end());
    process_ = std::make_unique<tallyvox::testing::MwServerProcess>(std::move(args));
  }

  bool ready() const { return process_->ready(); }
  const std::string& ip() const { return ip_; }
  int port() const { return process_->port(); }
  std::string Output() const { return process_->Output(); }
  // The number of log lines holding `needle`.
  int CountLines(const std::string& needle) const { return process_->CountLines(needle); }
  // Waits (bounded) until `count` lines hold `needle`; the log is written as
  // requests are answered, so a line may lag behind the client's return.
  bool WaitForLines(const std::string& needle, int count,
                    std::chrono::milliseconds timeout = std::chrono::seconds(5)) const {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < deadline) {
      if (CountLines(needle) >= count) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return CountLines(needle) >= count;
  }
  void Stop() { process_->Stop(); }

 private:
  std::string ip_;
  std::unique_ptr<tallyvox::testing::MwServerProcess> process_;
};

}  // namespace tallyvox::mw::testing

#endif  // TALLYVOX_TESTS_SUPPORT_POOL_TEST_SERVER_H_
