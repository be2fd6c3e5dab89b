// `tallyvox --headless --metrics 127.0.0.1:0` scraped with curl: after a
// cycle the numbers agree with the status lines, the text passes a strict
// exposition-format reader, a scrape during a silent probe answers at once,
// and SIGTERM still ends the program within a second with a scraper's
// connection open.
#include <gtest/gtest.h>
#include <unistd.h>

#include <csignal>
#include <regex>
#include <string>

#include "support/app_fixture.h"
#include "support/loopback_socket.h"
#include "support/peer_port.h"
#include "support/prometheus_text.h"

namespace tallyvox::monitor::testing {
namespace {

using namespace std::chrono_literals;
using tallyvox::testing::Exposition;

constexpr char kServing[] = "tallyvox: serving /metrics on 127.0.0.1:";

// Scrapes with curl; the parsed text, and how long the scrape took; the text
// itself in *text.
Exposition Scrape(int port, double* seconds = nullptr, std::string* text = nullptr) {
  std::string body;
  const auto start = std::chrono::steady_clock::now();
  const int rc =
      RunCommand("curl -sS -f --max-time 10 http://127.0.0.1:" + std::to_string(port) + "/metrics",
                 &body, 20s);
  if (text != nullptr) *text = body;
  if (seconds != nullptr) {
    *seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  }
  EXPECT_EQ(rc, 0) << body;
  Exposition e;
  std::string error;
  EXPECT_TRUE(tallyvox::testing::ParseExposition(body, &e, &error)) << error << "\n" << body;
  return e;
}

double UnixNow() {
  return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
}

TEST_F(AppTest, MetricsAfterACycleAgreeWithTheStatusLines) {
  MwServerProcess servers({"--listen", "127.0.3.1-127.0.3.2:0"});
  ASSERT_TRUE(servers.ready()) << servers.Output();
  AppSetup a;
  a.probe_port = servers.port();
  // 127.0.3.9 refuses; rows 28 and 108 share one counter.
  a.rows = {{2, "127.0.3.1"}, {5, "127.0.3.9"}, {28, "127.0.3.2"}, {108, "127.0.3.2"}};
  const double before = UnixNow();
  ChildProcess app(
      {Tallyvox(), "--headless", "--config", WriteSettings(a), "--metrics", "127.0.0.1:0"});
  ASSERT_TRUE(app.WaitForOutput("cycle: 4 rows, 1 failed", 20s)) << app.Output();
  const double after = UnixNow();
  const int port = tallyvox::testing::ReportedPort(app.Output(), kServing);
  ASSERT_GT(port, 0) << app.Output();
  std::string text;
  const Exposition e = Scrape(port, nullptr, &text);

  // Prometheus's own linter takes the scrape as it is.
  WriteFile(dir_.File("scrape.txt"), text);
  std::string lint;
  EXPECT_EQ(RunCommand("promtool check metrics < " + dir_.File("scrape.txt"), &lint), 0) << lint;
  EXPECT_EQ(lint, "") << lint;

  // The build, the process, and the rows not ticked.
  std::string revision;
  if (RunCommand(
          "git -C " + tallyvox::testing::SourceDir() + " rev-parse --short=12 HEAD 2>/dev/null",
          &revision) != 0) {
    revision = "unknown";
  }
  revision = revision.substr(0, revision.find('\n'));
  EXPECT_EQ(e.samples.at("tallyvox_build_info{version=\"2.4\",revision=\"" + revision + "\"}"), 1)
      << text;
  EXPECT_GT(e.samples.at("process_resident_memory_bytes"), 0);
  EXPECT_GE(e.samples.at("process_start_time_seconds"), before - 1);
  EXPECT_LE(e.samples.at("process_start_time_seconds"), after);
  EXPECT_EQ(e.samples.at("tallyvox_probe_enabled{row=\"2\",address=\"127.0.3.1\"}"), 1);
  int unticked = 0;
  for (const auto& [series, value] : e.samples) {
    if (series.rfind("tallyvox_probe_enabled{", 0) == 0 && value == 0) ++unticked;
  }
  EXPECT_EQ(unticked, 111 - 4);
  std::string page;
  EXPECT_EQ(RunCommand("curl -sS -f --max-time 10 http://127.0.0.1:" + std::to_string(port) + "/",
                       &page, 20s),
            0);
  EXPECT_NE(page.find("<a href=\"/metrics\">"), std::string::npos) << page;

  // Every status line's outcome, as the metrics show it.
  const std::regex outcome(R"(row (\d+) (\S+): (OK (\d+)|Problem))");
  int rows_seen = 0;
  for (const std::string& line : Lines(app.Output())) {
    std::smatch m;
    if (!std::regex_search(line, m, outcome)) continue;
    ++rows_seen;
    const std::string labels = "{row=\"" + m[1].str() + "\",address=\"" + m[2].str() + "\"}";
    SCOPED_TRACE(line);
    const bool ok = m[4].matched;
    EXPECT_EQ(e.samples.at("tallyvox_probe_up" + labels), ok ? 1 : 0);
    EXPECT_EQ(e.samples.at("tallyvox_ok_number" + labels), ok ? std::stod(m[4].str()) : 0);
    const double start = e.samples.at("tallyvox_last_probe_start_timestamp_seconds" + labels);
    EXPECT_GE(start, before - 1);
    EXPECT_LE(start, after + 1);
    EXPECT_GE(e.samples.at("tallyvox_probe_duration_seconds" + labels), 0);
  }
  EXPECT_EQ(rows_seen, 4);
  EXPECT_EQ(e.samples.at("tallyvox_ok_number{row=\"108\",address=\"127.0.3.2\"}"), 2);
  EXPECT_EQ(e.samples.at("tallyvox_cycles_total"), 1);
  EXPECT_EQ(e.samples.at("tallyvox_cycle_errors_total"), 0);
  std::smatch cycle;
  const std::string out = app.Output();
  ASSERT_TRUE(std::regex_search(out, cycle, std::regex(R"(cycle: 4 rows, 1 failed, ([0-9.]+) s)")));
  EXPECT_NEAR(e.samples.at("tallyvox_cycle_duration_seconds"), std::stod(cycle[1].str()), 0.0006);
  ASSERT_NE(out.find("alert erols: delivered \"IP 127.0.3.9 Is Down!\""), std::string::npos);
  EXPECT_EQ(e.samples.at("tallyvox_alerts_sent_total{account=\"erols\"}"), 1);
  EXPECT_EQ(e.samples.at("tallyvox_alert_failures_total{account=\"erols\"}"), 0);
  EXPECT_EQ(e.samples.at("tallyvox_watchdog_alerts_total"), 0);
  EXPECT_EQ(e.types.at("tallyvox_alerts_sent_total"), "counter");
  EXPECT_EQ(e.types.at("tallyvox_cycle_duration_seconds"), "gauge");
  EXPECT_EQ(e.help.size(), e.types.size());
}

TEST_F(AppTest, ScrapingDuringASilentProbeAnswersAtOnce) {
  // Both on one port, as the roster probes every row on one.
  MwServerProcess healthy({"--listen", "127.0.3.1:0"});
  ASSERT_TRUE(healthy.ready()) << healthy.Output();
  const int probe_port = healthy.port();
  MwServerProcess silent(
      {"--fault", "silent", "--listen", "127.0.3.3:" + std::to_string(probe_port)});
  ASSERT_TRUE(silent.ready()) << silent.Output();
  AppSetup a;
  a.probe_port = probe_port;
  a.request_timeout = 60;
  a.rows = {{2, "127.0.3.1"}, {3, "127.0.3.3"}};
  ChildProcess app(
      {Tallyvox(), "--headless", "--config", WriteSettings(a), "--metrics", "127.0.0.1:0"});
  ASSERT_TRUE(app.WaitForOutput("row 3 127.0.3.3: Checking...", 20s)) << app.Output();
  ASSERT_TRUE(silent.WaitForOutput("no answer", 5s)) << silent.Output();
  const int port = tallyvox::testing::ReportedPort(app.Output(), kServing);
  ASSERT_GT(port, 0) << app.Output();

  double seconds = 0;
  const Exposition e = Scrape(port, &seconds);
  EXPECT_LT(seconds, 1.0);
  EXPECT_EQ(e.samples.at("tallyvox_probe_up{row=\"2\",address=\"127.0.3.1\"}"), 1);
  EXPECT_EQ(e.samples.count("tallyvox_probe_up{row=\"3\",address=\"127.0.3.3\"}"), 0u);
  EXPECT_EQ(e.samples.at("tallyvox_cycles_total"), 0);

  // A scraper that connected and sends nothing does not hold up the end.
  const sockaddr_in addr = tallyvox::testing::LoopbackAddress(port);
  const int idle = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  ASSERT_EQ(::connect(idle, reinterpret_cast<const sockaddr*>(&addr), sizeof addr), 0);
  std::this_thread::sleep_for(100ms);
  const auto start = std::chrono::steady_clock::now();
  ::kill(app.pid(), SIGTERM);
  EXPECT_EQ(app.Wait(3s), 128 + SIGTERM) << app.Output();
  EXPECT_LT(std::chrono::steady_clock::now() - start, 1s + kToolTime);
  ::close(idle);
}

}  // namespace
}  // namespace tallyvox::monitor::testing
