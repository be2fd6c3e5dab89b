// Test peers end with the test process that started them, even when it is
// killed before it can stop them (ctest's time-out, a crash): a test process
// of this suite starts mwserver and is killed with SIGKILL; the server must
// stop listening.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include "support/mwserver_process.h"
#include "support/peer_port.h"
#include "support/support.h"

namespace tallyvox::testing {
namespace {

using namespace std::chrono_literals;

constexpr char kListening[] = "test peer listening on 127.0.36.1:";
// Set in the environment of the test process that the test kills.
constexpr char kVictim[] = "TALLYVOX_TEST_PEERS_VICTIM";

TEST(TestPeers, EndWithTheTestProcessThatStartedThemWhenItIsKilled) {
  if (std::getenv(kVictim) != nullptr) {
    // The test process to be killed: it starts a server and waits.
    MwServerProcess server({"--listen", "127.0.36.1:0"});
    ASSERT_TRUE(server.ready()) << server.Output();
    std::printf("%s%d\n", kListening, server.port());
    std::fflush(stdout);
    std::this_thread::sleep_for(60s);
    return;
  }
  char self[PATH_MAX];
  const ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
  ASSERT_GT(n, 0);
  self[n] = '\0';
  ChildProcess test(
      {self, "--gtest_filter=TestPeers.EndWithTheTestProcessThatStartedThemWhenItIsKilled"},
      {{kVictim, "1"}});
  ASSERT_TRUE(test.WaitForOutput(kListening, 20s)) << test.Output();
  int port = 0;
  for (int i = 0; i < 100 && port == 0; ++i) {
    port = ReportedPort(test.Output(), kListening);
    if (port == 0) std::this_thread::sleep_for(10ms);
  }
  ASSERT_GT(port, 0) << test.Output();
  ASSERT_TRUE(WaitForTcpPort("127.0.36.1", port, 1s));

  ::kill(test.pid(), SIGKILL);
  test.Stop();
  // The server's port stops taking connections once its group is killed.
  bool ended = false;
  for (int i = 0; i < 100 && !ended; ++i) {
    ended = !WaitForTcpPort("127.0.36.1", port, 50ms);
    if (!ended) std::this_thread::sleep_for(50ms);
  }
  EXPECT_TRUE(ended) << "mwserver on 127.0.36.1:" << port << " outlived its test process";
}

}  // namespace
}  // namespace tallyvox::testing
