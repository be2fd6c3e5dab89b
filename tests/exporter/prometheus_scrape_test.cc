// A real Prometheus (Debian's) scraping /probe for a healthy, a refusing and
// a silent middleware server, with the usual relabelling: it reads
// probe_success 1, 0, 0, and every scrape succeeds (up 1), the silent
// server's too, because the probe keeps within the scrape's time-out.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>

#include "exporter/probe_exporter.h"
#include "http/server.h"
#include "support/mwserver_process.h"
#include "support/prometheus_peers.h"
#include "support/support.h"

namespace tallyvox::exporter {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

std::string ScrapeConfig(int exporter_port, const std::vector<std::string>& targets) {
  std::string list;
  for (const std::string& t : targets) list += (list.empty() ? "" : ", ") + ("'" + t + "'");
  return "global:\n"
         "  scrape_interval: 1s\n"
         "  scrape_timeout: 900ms\n"
         "scrape_configs:\n"
         "  - job_name: tallyvox_probe\n"
         "    metrics_path: /probe\n"
         "    static_configs:\n"
         "      - targets: [" +
         list +
         "]\n"
         "    relabel_configs:\n"
         "      - source_labels: [__address__]\n"
         "        target_label: __param_target\n"
         "      - source_labels: [__param_target]\n"
         "        target_label: instance\n"
         "      - target_label: __address__\n"
         "        replacement: 127.0.0.1:" +
         std::to_string(exporter_port) + "\n";
}

TEST(PrometheusScrapeTest, ReadsEachTargetsOutcomeAndEveryScrapeEndsInTime) {
  testing::MwServerProcess healthy({"--listen", "127.0.0.1:0"});
  testing::MwServerProcess silent({"--fault", "silent", "--listen", "127.0.0.1:0"});
  testing::RefusingPort refusing;
  ASSERT_TRUE(healthy.ready() && silent.ready());
  ExporterOptions options;  // a silent server holds a probe for 5 s by itself
  auto exporter = std::make_shared<ProbeExporter>(options);
  http::Router router;
  ProbeExporter::AddRoute(router, exporter);
  http::Server server("127.0.0.1", 0, std::move(router));

  const std::string ok = "127.0.0.1:" + std::to_string(healthy.port());
  const std::string refused = "127.0.0.1:" + std::to_string(refusing.port());
  const std::string quiet = "127.0.0.1:" + std::to_string(silent.port());
  testing::PrometheusServer prometheus(ScrapeConfig(server.port(), {ok, refused, quiet}));

  struct Expected {
    std::string instance;
    std::string success;
  };
  const Expected expected[] = {{ok, "1"}, {refused, "0"}, {quiet, "0"}};
  const auto all_in = [&] {
    for (const Expected& e : expected) {
      if (prometheus.Value("probe_success", e.instance) != e.success) return false;
      if (prometheus.Value("up", e.instance) != "1") return false;
    }
    return true;
  };
  const auto any_scraped = [&] {
    for (const Expected& e : expected) {
      if (!prometheus.Value("up", e.instance).empty()) return true;
    }
    return false;
  };
  // Prometheus hands its targets to the scrapers a few seconds after it
  // starts; from its first scrape on, every target reads right within two
  // scrape intervals.
  const auto start = Clock::now();
  while (!any_scraped() && Clock::now() - start < 15s) std::this_thread::sleep_for(50ms);
  const auto first = Clock::now();
  bool seen = false;
  while (!(seen = all_in()) && Clock::now() - first < 10s) std::this_thread::sleep_for(50ms);
  ASSERT_TRUE(seen) << prometheus.Output();
  const double took = std::chrono::duration<double>(Clock::now() - first).count();
  std::printf("probe_success 1, 0, 0 read %.2f s after the first scrape (interval 1 s)\n", took);
  EXPECT_LE(took, 2.0);
  // The silent server's scrape ended before Prometheus' time-out of 0.9 s,
  // with the reason the scrape's deadline gave.
  const std::string reason =
      prometheus.Value("tallyvox_probe_failure_info{reason=\"no answer within 0.65 s\"}", quiet);
  EXPECT_EQ(reason, "1");
  EXPECT_EQ(prometheus.Value("tallyvox_probe_failure_info{reason=\"connection refused\"}", refused),
            "1");
  EXPECT_EQ(prometheus.Value("tallyvox_probe_failure_info", ok), "");
}

}  // namespace
}  // namespace tallyvox::exporter
