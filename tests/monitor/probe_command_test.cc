// `tallyvox probe` as a monitoring system runs it: against mwserver healthy,
// silent, erroring, redirecting, closing and trickling, a refusing port and a
// blackholed one (a full accept queue), and with bad arguments. Each run
// checks the one plugin line, the exit status and the time bound (connect
// time-out + request time-out + 1 s).
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "monitor/app_fixture.h"
#include "support/loopback_socket.h"

namespace tallyvox::monitor::testing {
namespace {

using namespace std::chrono_literals;
using tallyvox::testing::RefusingPort;

struct ProbeRun {
  int code = -1;
  std::string out;
  double seconds = 0;
};

// Standard output only: the plugin line.
ProbeRun RunProbe(const std::string& args) {
  ProbeRun r;
  const auto start = std::chrono::steady_clock::now();
  r.code = RunCommand(Tallyvox() + " probe " + args + " 2>/dev/null", &r.out, 30s);
  r.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  return r;
}

std::string PortOf(const std::string& endpoint) { return endpoint.substr(endpoint.rfind(':') + 1); }

TEST(ProbeCommand, AgainstServersThatAnswerFailOrStaySilent) {
  // One mwserver, one listener per behaviour.
  MwServerProcess healthy({"--listen", "127.0.6.6:0"});
  ASSERT_TRUE(healthy.ready()) << healthy.Output();
  MwServerProcess servers({"--listen",     "127.0.6.1:0",
                           "--listen",     "127.0.6.2:0",
                           "--fault",      "silent",
                           "--listen",     "127.0.6.3:0",
                           "--fault",      "error",
                           "--error-code", "42",
                           "--error-text", "Table ufile7 is locked",
                           "--listen",     "127.0.6.4:0",
                           "--fault",      "redirect",
                           "--redirect",   "HOST=127.0.6.6;PORT=" + std::to_string(healthy.port()),
                           "--listen",     "127.0.6.5:0",
                           "--fault",      "close",
                           "--listen",     "127.0.6.7:0",
                           "--fault",      "trickle",
                           "--delay",      "400"});
  ASSERT_TRUE(servers.ready()) << servers.Output();
  ASSERT_EQ(servers.endpoints().size(), 6u);

  struct Case {
    const char* name;
    int listener;      // index into the endpoints
    std::string line;  // the expected line, up to its end or up to "*"
    int code;
    double at_least;  // seconds
  };
  const std::vector<Case> cases = {
      {"healthy", 0, "MW OK - 127.0.6.1 answered in *", 0, 0},
      // Every wait for response bytes is bounded by --timeout.
      {"silent", 1, "MW CRITICAL - 127.0.6.2: Connection lost.", 2, 1.0},
      {"error", 2, "MW CRITICAL - 127.0.6.3: Table ufile7 is locked*", 2, 0},
      // With no reconnect budget a redirect is not followed, as in a roster row.
      {"redirect", 3, "MW CRITICAL - 127.0.6.4: Connection lost.", 2, 0},
      {"close", 4, "MW CRITICAL - 127.0.6.5: Connection lost.", 2, 0},
      // A byte every 0.4 s never lets one wait reach --timeout: the command's
      // own budget, connect time-out + request time-out, cuts it off. The
      // budget counts from the process's start, which the kernel gives in
      // clock ticks (10 ms): the cut may come a tick before 2 s.
      {"trickle", 5, "MW CRITICAL - 127.0.6.7: no answer within 2 s", 2, 1.95},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string& endpoint = servers.endpoints()[static_cast<size_t>(c.listener)];
    const std::string host = endpoint.substr(0, endpoint.rfind(':'));
    const ProbeRun r =
        RunProbe(host + " --port " + PortOf(endpoint) + " --timeout 1 --connect-timeout 1");
    EXPECT_EQ(r.code, c.code) << r.out;
    const auto lines = Lines(r.out);
    ASSERT_EQ(lines.size(), 1u) << r.out;
    const std::string& want = c.line;
    if (want.back() == '*') {
      EXPECT_EQ(lines[0].rfind(want.substr(0, want.size() - 1), 0), 0u) << lines[0];
    } else {
      EXPECT_EQ(lines[0], want);
    }
    EXPECT_GE(r.seconds, c.at_least);
    EXPECT_LE(r.seconds, 1 + 1 + 1.0 + kToolSeconds);
  }
  // The healthy answer carries its time as performance data, and the probe
  // was the roster's EXECUTE with its DATA.
  const ProbeRun ok = RunProbe("127.0.6.1 -p " + PortOf(servers.endpoints()[0]));
  EXPECT_NE(ok.out.find(" s | time="), std::string::npos) << ok.out;
  EXPECT_NE(ok.out.find("s;;;0\n"), std::string::npos) << ok.out;
  EXPECT_GE(servers.CountLines("127.0.6.1:" + PortOf(servers.endpoints()[0]) + " 127.0.0.1:"), 2);
  EXPECT_NE(servers.Output().find("function=\"EXECUTE\""), std::string::npos);
  EXPECT_NE(servers.Output().find("data=\"COMMON\" args=3 arg0=\"select * from ufile7\""),
            std::string::npos);
}

// A server's text stays in the text part of its one line: a "|" would start the
// performance data (\x7c), a line break a second line (a blank), an ESC steer the
// terminal that shows it (\x1b).
TEST(ProbeCommand, AServersTextStaysInTheTextPartOfTheLine) {
  MwServerProcess server({"--listen", "127.0.6.8:0", "--fault", "error", "--error-code", "42",
                          "--error-text", "locked | by\x1b[31m you\r\nrc=1|x=2s;;;0"});
  ASSERT_TRUE(server.ready()) << server.Output();
  const ProbeRun r = RunProbe("127.0.6.8 --port " + std::to_string(server.port()));
  EXPECT_EQ(r.code, 2);
  EXPECT_EQ(r.out,
            "MW CRITICAL - 127.0.6.8: locked \\x7c by\\x1b[31m you  rc=1\\x7cx=2s;;;0 (SERVER)\n");
}

TEST(ProbeCommand, RefusedAndBlackholedAddressesStayWithinTheTimeBound) {
  RefusingPort refusing;
  const ProbeRun refused = RunProbe("127.0.0.1 --port " + std::to_string(refusing.port()));
  EXPECT_EQ(refused.code, 2);
  EXPECT_EQ(refused.out, "MW CRITICAL - 127.0.0.1: Connection lost.\n");
  EXPECT_LT(refused.seconds, 5 + 5 + 1.0 + kToolSeconds);

  // A full accept queue: connects hear nothing, as from a blackholed host.
  // The probe's two connect attempts share one deadline, the connect time-out.
  tallyvox::testing::FullAcceptQueue blackhole;
  const std::string port = " --port " + std::to_string(blackhole.port());
  for (const int connect_timeout : {1, 3}) {
    SCOPED_TRACE(connect_timeout);
    const ProbeRun run = RunProbe("127.0.0.1" + port + " --connect-timeout " +
                                  std::to_string(connect_timeout) + " --timeout 1");
    EXPECT_EQ(run.code, 2);
    EXPECT_EQ(run.out, "MW CRITICAL - 127.0.0.1: Connection lost.\n");
    EXPECT_GE(run.seconds, connect_timeout);
    EXPECT_LE(run.seconds, connect_timeout + 1.0 + kToolSeconds);
  }
}

TEST(ProbeCommand, BadArgumentsAreUnknown) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"", "MW UNKNOWN - HOST is required"},
      {"''", "MW UNKNOWN - HOST is empty"},
      {"127.0.0.1 --port 70000", "MW UNKNOWN - --port: Value 70000 not in range 1 to 65535"},
      {"127.0.0.1 --timeout 0", "MW UNKNOWN - --timeout: Value 0 not in range 1 to 3600"},
      {"127.0.0.1 --connect-timeout x", "MW UNKNOWN - --connect-timeout: "},
      {"127.0.0.1 --bogus", "MW UNKNOWN - The following argument was not expected: --bogus"},
  };
  for (const auto& [args, want] : cases) {
    SCOPED_TRACE(args);
    const ProbeRun r = RunProbe(args);
    EXPECT_EQ(r.code, 3);
    const auto lines = Lines(r.out);
    ASSERT_EQ(lines.size(), 1u) << r.out;
    EXPECT_EQ(lines[0].rfind(want, 0), 0u) << lines[0];
  }
}

}  // namespace
}  // namespace tallyvox::monitor::testing
