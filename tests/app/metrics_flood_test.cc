// The metrics endpoint cannot starve the probes: `tallyvox --headless
// --metrics 127.0.0.1:0` under a descriptor limit of 1024 (soft and hard,
// as systemd starts services by default) keeps probing with 1,500 idle
// connections opened to its metrics port, and a scrape still answers. And
// every program raises its soft descriptor limit to the hard one.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <regex>
#include <string>
#include <vector>

#include "base/open_file_limit.h"
#include "support/app_fixture.h"
#include "support/loopback_socket.h"
#include "support/peer_port.h"
#include "support/prometheus_text.h"

namespace tallyvox::monitor::testing {
namespace {

using namespace std::chrono_literals;

constexpr char kServing[] = "tallyvox: serving /metrics on 127.0.0.1:";

// "Max open files  SOFT  HARD  files" of a process, as "SOFT HARD".
std::string OpenFileLimits(pid_t pid) {
  const std::string limits =
      tallyvox::testing::ReadFile("/proc/" + std::to_string(pid) + "/limits");
  std::smatch m;
  if (!std::regex_search(limits, m, std::regex(R"(Max open files\s+(\S+)\s+(\S+))"))) return "";
  return m[1].str() + " " + m[2].str();
}

TEST_F(AppTest, IdleConnectionsToTheMetricsPortDoNotStarveTheProbes) {
  constexpr int kIdle = 1500;
  if (tallyvox::RaiseOpenFileLimit() < kIdle + 200) {
    GTEST_SKIP() << "this process may not open " << kIdle << " connections";
  }
  MwServerProcess servers({"--listen", "127.0.3.1-127.0.3.4:0"});
  ASSERT_TRUE(servers.ready()) << servers.Output();
  AppSetup a;
  a.probe_port = servers.port();
  a.interval = "300";
  a.rows = {{2, "127.0.3.1"}, {3, "127.0.3.2"}, {4, "127.0.3.3"}, {5, "127.0.3.4"}};
  ChildProcess app({"prlimit", "--nofile=1024:1024", Tallyvox(), "--headless", "--config",
                    WriteSettings(a), "--metrics", "127.0.0.1:0"});
  ASSERT_TRUE(app.WaitForOutput("cycle: 4 rows", 20s)) << app.Output();
  EXPECT_EQ(OpenFileLimits(app.pid()), "1024 1024");
  const int port = tallyvox::testing::ReportedPort(app.Output(), kServing);
  ASSERT_GT(port, 0) << app.Output();

  std::vector<int> idle;
  const sockaddr_in addr = tallyvox::testing::LoopbackAddress(port);
  const auto until = std::chrono::steady_clock::now() + 60s;
  for (int i = 0; i < kIdle && std::chrono::steady_clock::now() < until; ++i) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(fd, 0) << i;
    idle.push_back(fd);
    ASSERT_EQ(::connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr), 0) << i;
  }
  ASSERT_EQ(idle.size(), size_t{kIdle});

  // Three more cycles with every connection open (most closed by the server
  // since: the test keeps its ends).
  const int cycles_before = CountContaining(Lines(app.Output()), "cycle: ");
  EXPECT_TRUE(WaitUntil(
      [&] { return CountContaining(Lines(app.Output()), "cycle: ") >= cycles_before + 3; }, 20s))
      << app.Output();
  std::string body;
  EXPECT_EQ(
      RunCommand("curl -sS -f --max-time 10 http://127.0.0.1:" + std::to_string(port) + "/metrics",
                 &body, 20s),
      0)
      << body;
  tallyvox::testing::Exposition e;
  std::string error;
  EXPECT_TRUE(tallyvox::testing::ParseExposition(body, &e, &error)) << error << "\n" << body;
  EXPECT_GE(e.samples["tallyvox_cycles_total"], cycles_before + 3);
  EXPECT_EQ(e.samples["tallyvox_probe_up{row=\"5\",address=\"127.0.3.4\"}"], 1);

  const std::vector<std::string> lines = Lines(app.Output());
  EXPECT_EQ(CountContaining(lines, "cycle: "), CountContaining(lines, "cycle: 4 rows, 0 failed"))
      << app.Output();
  EXPECT_EQ(CountContaining(lines, "Problem"), 0) << app.Output();
  EXPECT_EQ(CountContaining(lines, "Cannot allocate socket"), 0) << app.Output();
  for (const int fd : idle) ::close(fd);
}

TEST_F(AppTest, TheProgramRaisesItsSoftOpenFileLimitToTheHardOne) {
  AppSetup a;
  a.probe_port = 9;
  a.rows = {{2, "127.0.3.9"}};
  ChildProcess app({"prlimit", "--nofile=512:4096", Tallyvox(), "--headless", "--no-poll",
                    "--metrics", "127.0.0.1:0", "--config", WriteSettings(a)});
  ASSERT_TRUE(app.WaitForOutput("serving /metrics", 10s)) << app.Output();
  EXPECT_EQ(OpenFileLimits(app.pid()), "4096 4096");
}

}  // namespace
}  // namespace tallyvox::monitor::testing
