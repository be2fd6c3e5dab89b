// `tallyvox probe` as a monitoring system runs it: against mwserver healthy,
// silent, erroring, redirecting, closing and trickling, a refusing port, a
// blackholed one (a full accept queue) and an unknown name, with thresholds,
// and with bad arguments. Each run checks the one plugin line (with the
// reason of a failure), the exit status and the time bound.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "support/app_fixture.h"
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

TEST(ProbeCommand, EachFailureSaysWhy) {
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
    std::string args;  // after HOST -p PORT
    std::string text;  // the line after "MW ", "HOST:PORT", up to its end or up to "*"
    int code;
    double at_least;  // seconds
    double at_most;   // seconds
  };
  const std::string times = " --request-timeout 1 --connect-timeout 1";
  const std::vector<Case> cases = {
      {"healthy", 0, times, "OK - @ answered in *", 0, 0, 3},
      // Every wait for response bytes is bounded by the request time-out.
      {"silent", 1, times, "CRITICAL - @: read timed out", 2, 1.0, 3},
      {"error", 2, times, "CRITICAL - @: Table ufile7 is locked*", 2, 0, 3},
      // With no reconnect budget a redirect is not followed, as in a roster row.
      {"redirect", 3, times, "CRITICAL - @: Connection lost.", 2, 0, 3},
      // The server closes at once: with the request still unread its kernel
      // may answer with a reset, so the reason is "connection closed by the
      // server" or "connection reset by peer".
      {"close", 4, times, "CRITICAL - @: connection *", 2, 0, 3},
      // A byte every 0.4 s never lets one wait reach the request time-out:
      // the probe's deadline, connect time-out + request time-out, cuts it
      // off. The deadline counts from the process's start, which the kernel
      // gives in clock ticks (10 ms): the cut may come a tick before 2 s.
      {"trickle", 5, times, "CRITICAL - @: no answer within 2 s", 2, 1.95, 3},
      // -t sets that deadline, as check_tcp's time-out.
      {"trickle -t", 5, " -t 1", "CRITICAL - @: no answer within 1 s", 2, 0.95, 2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string& endpoint = servers.endpoints()[static_cast<size_t>(c.listener)];
    const std::string host = endpoint.substr(0, endpoint.rfind(':'));
    const ProbeRun r = RunProbe(host + " -p " + PortOf(endpoint) + c.args);
    EXPECT_EQ(r.code, c.code) << r.out;
    const auto lines = Lines(r.out);
    ASSERT_EQ(lines.size(), 1u) << r.out;
    std::string want = "MW " + c.text;
    want.replace(want.find('@'), 1, endpoint);
    if (want.back() == '*') {
      EXPECT_EQ(lines[0].rfind(want.substr(0, want.size() - 1), 0), 0u) << lines[0];
    } else {
      EXPECT_EQ(lines[0], want);
    }
    EXPECT_GE(r.seconds, c.at_least);
    EXPECT_LE(r.seconds, c.at_most + kToolSeconds);
  }
  // The probe was the roster's EXECUTE with its DATA.
  EXPECT_GE(servers.CountLines("127.0.6.1:" + PortOf(servers.endpoints()[0]) + " 127.0.0.1:"), 1);
  EXPECT_NE(servers.Output().find("function=\"EXECUTE\""), std::string::npos);
  EXPECT_NE(servers.Output().find("data=\"COMMON\" args=3 arg0=\"select * from ufile7\""),
            std::string::npos);
}

// -w and -c judge the response time (WARNING 1, CRITICAL 2); the perfdata
// carries them and the probe's deadline: time=Xs;W;C;0;T.
TEST(ProbeCommand, ThresholdsJudgeTheResponseTime) {
  MwServerProcess server({"--listen", "127.0.6.9:0"});
  ASSERT_TRUE(server.ready()) << server.Output();
  const std::string at = "127.0.6.9 -p " + std::to_string(server.port());
  const std::string where = "127.0.6.9:" + std::to_string(server.port());
  struct Case {
    std::string args;
    int code;
    std::string state;
    std::string perf_tail;  // after "time=N.NNNNNNs"
  };
  const std::vector<Case> cases = {
      {"", 0, "OK", ";;;0;10"},
      {" -w 0.000001 -c 10", 1, "WARNING", ";0.000001;10;0;10"},
      {" -w 10 -c 0.000001", 2, "CRITICAL", ";10;0.000001;0;10"},
      {" -w 0.000001", 1, "WARNING", ";0.000001;;0;10"},
      {" --warning 20 --critical 30 -t 5", 0, "OK", ";20;30;0;5"},
      {" -c 1.5 --request-timeout 2 --connect-timeout 3", 0, "OK", ";;1.5;0;5"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args);
    const ProbeRun r = RunProbe(at + c.args);
    EXPECT_EQ(r.code, c.code) << r.out;
    const std::string head = "MW " + c.state + " - " + where + " answered in ";
    EXPECT_EQ(r.out.rfind(head, 0), 0u) << r.out;
    const size_t perf = r.out.find(" s | time=");
    ASSERT_NE(perf, std::string::npos) << r.out;
    const size_t unit = r.out.find('s', perf + 10);
    ASSERT_NE(unit, std::string::npos) << r.out;
    EXPECT_EQ(r.out.substr(unit + 1), c.perf_tail + "\n");
  }
}

// The positional host and -H alike; -V and -h answer without a probe.
TEST(ProbeCommand, HostnameVersionAndHelp) {
  MwServerProcess server({"--listen", "127.0.6.10:0"});
  ASSERT_TRUE(server.ready()) << server.Output();
  const std::string port = std::to_string(server.port());
  for (const std::string& args :
       {"-H 127.0.6.10 -p " + port, "--hostname 127.0.6.10 --port " + port}) {
    SCOPED_TRACE(args);
    const ProbeRun r = RunProbe(args);
    EXPECT_EQ(r.code, 0) << r.out;
    EXPECT_EQ(r.out.rfind("MW OK - 127.0.6.10:" + port + " answered in ", 0), 0u) << r.out;
  }
  for (const char* version : {"-V", "--version"}) {
    const ProbeRun r = RunProbe(version);
    EXPECT_EQ(r.code, 0);
    EXPECT_EQ(r.out, "tallyvox 2.4\n");
  }
  for (const char* help : {"-h", "--help"}) {
    const ProbeRun r = RunProbe(help);
    EXPECT_EQ(r.code, 0);
    for (const char* option :
         {"-H, --hostname", "-p, --port", "-t, --timeout", "--request-timeout", "--connect-timeout",
          "-w, --warning", "-c, --critical", "-V, --version", "-h, --help"}) {
      EXPECT_NE(r.out.find(option), std::string::npos) << option << " in " << r.out;
    }
  }
}

// A server's text stays in the text part of its one line: a "|" would start the
// performance data (\x7c), a line break a second line (a blank), an ESC steer the
// terminal that shows it (\x1b).
TEST(ProbeCommand, AServersTextStaysInTheTextPartOfTheLine) {
  MwServerProcess server({"--listen", "127.0.6.8:0", "--fault", "error", "--error-code", "42",
                          "--error-text", "locked | by\x1b[31m you\r\nrc=1|x=2s;;;0"});
  ASSERT_TRUE(server.ready()) << server.Output();
  const std::string port = std::to_string(server.port());
  const ProbeRun r = RunProbe("127.0.6.8 --port " + port);
  EXPECT_EQ(r.code, 2);
  EXPECT_EQ(r.out, "MW CRITICAL - 127.0.6.8:" + port +
                       ": locked \\x7c by\\x1b[31m you  rc=1\\x7cx=2s;;;0 (SERVER)\n");
}

TEST(ProbeCommand, RefusedBlackholedAndUnknownAddressesSayWhy) {
  RefusingPort refusing;
  const std::string refused_port = std::to_string(refusing.port());
  const ProbeRun refused = RunProbe("127.0.0.1 --port " + refused_port);
  EXPECT_EQ(refused.code, 2);
  EXPECT_EQ(refused.out, "MW CRITICAL - 127.0.0.1:" + refused_port + ": connection refused\n");
  EXPECT_LT(refused.seconds, 5 + 5 + 1.0 + kToolSeconds);

  // A name that no resolver knows (.invalid is reserved for that).
  const ProbeRun unknown = RunProbe("no-such-host.invalid --port 3000 --connect-timeout 2");
  EXPECT_EQ(unknown.code, 2);
  EXPECT_EQ(unknown.out, "MW CRITICAL - no-such-host.invalid:3000: name not found\n");

  // A full accept queue: connects hear nothing, as from a blackholed host.
  // The probe's two connect attempts share one deadline, the connect time-out.
  tallyvox::testing::FullAcceptQueue blackhole;
  const std::string port = std::to_string(blackhole.port());
  for (const int connect_timeout : {1, 3}) {
    SCOPED_TRACE(connect_timeout);
    const ProbeRun run = RunProbe("127.0.0.1 --port " + port + " --connect-timeout " +
                                  std::to_string(connect_timeout) + " --request-timeout 1");
    EXPECT_EQ(run.code, 2);
    EXPECT_EQ(run.out, "MW CRITICAL - 127.0.0.1:" + port + ": connect timed out\n");
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
      {"-w 1 -c 2 127.0.0.1 x y", "MW UNKNOWN - The following arguments were not expected: x y"},
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
