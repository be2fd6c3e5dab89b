// /probe against real middleware servers (tools/mwserver on loopback): a
// healthy, a refusing and a silent target; the scrape's time-out honoured;
// the bound on probes in flight answered 503 at once; the server's own
// workers free while probes wait; bad targets answered 400.
#include <gtest/gtest.h>
#include <httplib.h>

#include <chrono>
#include <future>
#include <memory>
#include <string>
#include <vector>

#include "exporter/probe_exporter.h"
#include "http/server.h"
#include "support/mwserver_process.h"
#include "support/prometheus_text.h"
#include "support/support.h"

namespace tallyvox::exporter {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using testing::MwServerProcess;

double SecondsSince(Clock::time_point t) {
  return std::chrono::duration<double>(Clock::now() - t).count();
}

struct Answer {
  int status = 0;
  std::string body;
  double seconds = 0;
};

Answer Get(int port, const std::string& path, const std::string& scrape_timeout = "") {
  httplib::Client client("127.0.0.1", port);
  client.set_read_timeout(15s);
  httplib::Headers headers;
  if (!scrape_timeout.empty()) {
    headers.emplace("X-Prometheus-Scrape-Timeout-Seconds", scrape_timeout);
  }
  const auto start = Clock::now();
  auto result = client.Get(path, headers);
  Answer a;
  a.seconds = SecondsSince(start);
  if (result) {
    a.status = result->status;
    a.body = result->body;
  }
  return a;
}

testing::Exposition Parsed(const std::string& text) {
  testing::Exposition e;
  std::string error;
  EXPECT_TRUE(testing::ParseExposition(text, &e, &error)) << error << "\n" << text;
  return e;
}

// An http::Server with /probe and /metrics (to show the workers stay free).
class ProbeRouteTest : public ::testing::Test {
 protected:
  void Serve(ExporterOptions options, http::ServerOptions server_options = {}) {
    exporter_ = std::make_shared<ProbeExporter>(options);
    http::Router router;
    router.Add("GET", "/metrics", [](const http::Request&) {
      http::Response r;
      r.body = "m 1\n";
      return r;
    });
    ProbeExporter::AddRoute(router, exporter_);
    server_ = std::make_unique<http::Server>("127.0.0.1", 0, std::move(router), server_options);
  }
  void TearDown() override {
    server_.reset();
    exporter_.reset();
  }
  int port() const { return server_->port(); }

  MwServerProcess healthy_{{"--listen", "127.0.0.1:0"}};
  MwServerProcess silent_{{"--fault", "silent", "--listen", "127.0.0.1:0"}};
  testing::RefusingPort refusing_;
  std::shared_ptr<ProbeExporter> exporter_;
  std::unique_ptr<http::Server> server_;
};

TEST_F(ProbeRouteTest, AnswersEachTargetsOutcomeAsARowsProbeWould) {
  ASSERT_TRUE(healthy_.ready() && silent_.ready());
  ExporterOptions options;
  options.probe.port = healthy_.port();  // a target without a port gets it
  options.probe.connect_timeout = 2;
  options.probe.request_timeout = 1;
  Serve(options);
  const std::string refusing = "127.0.0.1:" + std::to_string(refusing_.port());
  const std::string silent = "127.0.0.1:" + std::to_string(silent_.port());
  struct Case {
    std::string target;
    std::string scrape_timeout;
    int success;
    std::string reason;
    double at_most;  // seconds until the answer
  };
  const Case cases[] = {
      {"127.0.0.1:" + std::to_string(healthy_.port()), "", 1, "", 2.0},
      {"127.0.0.1", "", 1, "", 2.0},
      {refusing, "", 0, "connection refused", 2.0},
      // The request time-out, 1 s, ends the silent server's probe...
      {silent, "", 0, "read timed out", 2.5},
      // ...or the scrape's time-out less its margin, when that is sooner.
      {silent, "0.8", 0, "no answer within 0.55 s", 0.8},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.target + " " + c.scrape_timeout);
    const Answer a = Get(port(), "/probe?target=" + c.target, c.scrape_timeout);
    ASSERT_EQ(a.status, 200) << a.body;
    EXPECT_LT(a.seconds, c.at_most);
    testing::Exposition e = Parsed(a.body);
    EXPECT_EQ(e.samples["probe_success"], c.success);
    EXPECT_LT(e.samples["probe_duration_seconds"], c.at_most);
    if (c.success == 0) {
      EXPECT_EQ(e.samples.count("tallyvox_probe_failure_info{reason=\"" + c.reason + "\"}"), 1u)
          << a.body;
    } else {
      EXPECT_EQ(e.samples.size(), 2u) << a.body;
    }
  }
  // Each probe made one request of the healthy server, the probe query.
  EXPECT_EQ(healthy_.CountLines("function=\"EXECUTE\""), 2) << healthy_.Output();
}

TEST_F(ProbeRouteTest, BadTargetsAre400AndProbesPastTheBound503AtOnce) {
  ASSERT_TRUE(healthy_.ready() && silent_.ready());
  ExporterOptions options;
  options.max_in_flight = 2;
  options.probe.connect_timeout = 1;
  options.probe.request_timeout = 2;
  http::ServerOptions server_options;
  server_options.workers = 1;
  Serve(options, server_options);
  for (const char* bad : {"/probe", "/probe?target=", "/probe?target=http://127.0.0.1:1/",
                          "/probe?target=127.0.0.1:99999", "/probe?target=a%20b"}) {
    SCOPED_TRACE(bad);
    const Answer a = Get(port(), bad);
    EXPECT_EQ(a.status, 400);
    EXPECT_LT(a.seconds, 1.0);
  }
  // Two silent probes fill the bound; the third is refused at once, and the
  // server's one worker still answers other paths meanwhile.
  const std::string silent = "/probe?target=127.0.0.1:" + std::to_string(silent_.port());
  auto first = std::async(std::launch::async, [&] { return Get(port(), silent); });
  auto second = std::async(std::launch::async, [&] { return Get(port(), silent); });
  const auto until = Clock::now() + 2s;
  while (exporter_->InFlight() < 2 && Clock::now() < until) std::this_thread::sleep_for(10ms);
  ASSERT_EQ(exporter_->InFlight(), 2);
  const Answer refused = Get(port(), silent);
  EXPECT_EQ(refused.status, 503);
  EXPECT_LT(refused.seconds, 0.5);
  const Answer metrics = Get(port(), "/metrics");
  EXPECT_EQ(metrics.body, "m 1\n");
  EXPECT_LT(metrics.seconds, 0.5);
  for (auto* f : {&first, &second}) {
    const Answer a = f->get();
    EXPECT_EQ(a.status, 200);
    EXPECT_EQ(Parsed(a.body).samples["probe_success"], 0);
  }
  // Room again: the workers are kept, one per probe at most in flight.
  EXPECT_EQ(Get(port(), "/probe?target=127.0.0.1:" + std::to_string(healthy_.port())).status, 200);
  EXPECT_LE(exporter_->Workers(), 2);
}

}  // namespace
}  // namespace tallyvox::exporter
