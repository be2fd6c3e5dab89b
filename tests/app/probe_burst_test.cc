// /probe under a burst beside a polling monitor: `tallyvox --headless
// --metrics` polling four rows every second takes 100 scrapes at once, half
// to a silent server with a scrape time-out of 1 s. Every scrape is answered
// within its time-out or with 503, the roster's cycles go on at their pace,
// and the process's descriptors and memory come back down.
#include <gtest/gtest.h>
#include <httplib.h>

#include <chrono>
#include <future>
#include <regex>
#include <string>
#include <vector>

#include "support/app_fixture.h"
#include "support/mwserver_process.h"
#include "support/peer_port.h"
#include "support/prometheus_text.h"

namespace tallyvox::monitor::testing {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using tallyvox::testing::ChildProcess;
using tallyvox::testing::MwServerProcess;

constexpr int kBurst = 100;

struct Scrape {
  int status = 0;
  double seconds = 0;
  std::string body;
};

Scrape Get(int port, const std::string& path, const char* timeout = nullptr) {
  httplib::Client client("127.0.0.1", port);
  client.set_connection_timeout(5s);
  client.set_read_timeout(10s);
  httplib::Headers headers;
  if (timeout != nullptr) headers.emplace("X-Prometheus-Scrape-Timeout-Seconds", timeout);
  const auto start = Clock::now();
  auto r = client.Get(path, headers);
  Scrape s;
  s.seconds = std::chrono::duration<double>(Clock::now() - start).count();
  if (r) {
    s.status = r->status;
    s.body = r->body;
  }
  return s;
}

double Sample(int port, const std::string& name) {
  tallyvox::testing::Exposition e;
  std::string error;
  const Scrape s = Get(port, "/metrics");
  EXPECT_TRUE(tallyvox::testing::ParseExposition(s.body, &e, &error)) << error;
  return e.samples[name];
}

// The seconds of every "cycle: 4 rows, 0 failed, S s" line.
std::vector<double> CycleSeconds(const std::string& output) {
  std::vector<double> seconds;
  static const std::regex cycle(R"(cycle: 4 rows, 0 failed, ([0-9.]+) s)");
  for (std::sregex_iterator it(output.begin(), output.end(), cycle), end; it != end; ++it) {
    seconds.push_back(std::stod((*it)[1]));
  }
  return seconds;
}

TEST_F(AppTest, ABurstOfProbeScrapesIsAnsweredInTimeAndTheCyclesGoOn) {
  MwServerProcess servers({"--quiet", "--listen", "127.0.3.1-127.0.3.4:0"});
  MwServerProcess silent({"--fault", "silent", "--listen", "127.0.0.1:0"});
  ASSERT_TRUE(servers.ready() && silent.ready());
  AppSetup a;
  a.interval = "1000";
  a.probe_port = servers.port();
  for (int row = 1; row <= 4; ++row) a.rows.push_back({row, "127.0.3." + std::to_string(row)});
  const std::string path = WriteSettings(a);
  ChildProcess app({Tallyvox(), "--headless", "--metrics", "127.0.0.1:0", "--config", path});
  ASSERT_TRUE(app.WaitForOutput("cycle: 4 rows", 20s)) << app.Output();
  const int port =
      tallyvox::testing::ReportedPort(app.Output(), "tallyvox: serving /metrics on 127.0.0.1:");
  ASSERT_GT(port, 0) << app.Output();
  const double fds_before = Sample(port, "process_open_fds");
  const size_t cycles_before = CycleSeconds(app.Output()).size();

  const std::string healthy = "/probe?target=127.0.3.1:" + std::to_string(servers.port());
  const std::string quiet = "/probe?target=127.0.0.1:" + std::to_string(silent.port());
  std::vector<std::future<Scrape>> scrapes;
  for (int i = 0; i < kBurst; ++i) {
    scrapes.push_back(std::async(std::launch::async,
                                 [&, i] { return Get(port, i % 2 == 0 ? healthy : quiet, "1"); }));
  }
  int answered = 0, busy = 0;
  for (int i = 0; i < kBurst; ++i) {
    SCOPED_TRACE(i);
    const Scrape s = scrapes[static_cast<size_t>(i)].get();
    if (s.status == 503) {
      ++busy;
      continue;
    }
    ASSERT_EQ(s.status, 200) << s.body;
    EXPECT_LE(s.seconds, 1.0 + kToolSeconds);
    EXPECT_NE(s.body.find(i % 2 == 0 ? "probe_success 1" : "probe_success 0"), std::string::npos)
        << s.body;
    ++answered;
  }
  EXPECT_GT(answered, 0);
  std::printf("%d answered, %d answered 503\n", answered, busy);

  // The cycles went on, each as short as before.
  ASSERT_TRUE(WaitUntil([&] { return CycleSeconds(app.Output()).size() >= cycles_before + 2; }, 5s))
      << app.Output();
  for (double seconds : CycleSeconds(app.Output())) EXPECT_LT(seconds, 0.5) << app.Output();
  // The burst's connections are gone again.
  EXPECT_TRUE(WaitUntil([&] { return Sample(port, "process_open_fds") <= fds_before + 4; }, 5s))
      << Sample(port, "process_open_fds") << " descriptors, " << fds_before << " before";
  app.Stop();
}

}  // namespace
}  // namespace tallyvox::monitor::testing
