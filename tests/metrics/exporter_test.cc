// What the endpoint shares with other exporters: the build's version and
// revision, the process_* metrics read from /proc, a landing page at "/"
// that a front end passes in (and may replace), every address for ":PORT",
// and a row unticked on purpose that shows as such instead of as a row whose
// probes stopped.
#include <gtest/gtest.h>
#include <httplib.h>
#include <sys/resource.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "base/datetime.h"
#include "metrics/endpoint.h"
#include "metrics/monitor_metrics.h"
#include "metrics/process_metrics.h"
#include "support/prometheus_text.h"

namespace tallyvox::metrics {
namespace {

using tallyvox::testing::Exposition;

Exposition ParsedText(const std::string& text) {
  Exposition e;
  std::string error;
  EXPECT_TRUE(tallyvox::testing::ParseExposition(text, &e, &error)) << error << "\n" << text;
  return e;
}

monitor::ProbeEvent RowEvent(int row, const std::string& address,
                             monitor::ProbeEvent::Outcome outcome) {
  monitor::ProbeEvent e;
  e.row = row;
  e.address = address;
  e.outcome = outcome;
  e.start = Now();
  return e;
}

TEST(ProcStat, ParsesTheFieldsAfterTheCommandName) {
  // Fields 3.. of /proc/PID/stat: state ppid pgrp session tty tpgid flags
  // minflt cminflt majflt cmajflt utime stime cutime cstime priority nice
  // threads itrealvalue starttime vsize rss ...
  const std::string tail =
      " S 1 2 3 0 -1 4194560 100 0 0 0 250 50 0 0 20 0 4 0 12345 "
      "31457280 2048 18446744073709551615 1 1 0 0 0 0 0 0 0\n";
  struct Case {
    std::string text;
    bool parses;
  };
  const Case cases[] = {
      {"4242 (tallyvox-monito)" + tail, true},
      // A command name may hold blanks and brackets: the last ")" ends it.
      {"4242 (a) (b c) 9 9)" + tail, true},
      {"4242 (x)", false},                                     // nothing after the name
      {"4242 (x) S 1 2 3 0 -1 4194560 100 0 0 0 250", false},  // truncated
      {"4242 (x) S 1 2 3 0 -1 4194560 100 0 0 0 2x0 50 0 0 20 0 4 0 12345 31457280 2048\n",
       false},  // not a number
      {"4242 (x) S 1 2 3 0 -1 4194560 100 0 0 0 -250 50 0 0 20 0 4 0 12345 31457280 2048\n",
       false},                           // negative ticks
      {"4242 x S 1 2 3" + tail, false},  // no command name
      {"", false},
  };
  for (const Case& c : cases) {
    const std::optional<ProcStat> stat = ParseProcStat(c.text);
    EXPECT_EQ(stat.has_value(), c.parses) << c.text;
    if (!stat) continue;
    EXPECT_EQ(stat->cpu_ticks, 300u);
    EXPECT_EQ(stat->start_ticks, 12345u);
    EXPECT_EQ(stat->virtual_bytes, 31457280u);
    EXPECT_EQ(stat->resident_pages, 2048u);
  }
}

TEST(ProcessMetrics, ReportThisProcess) {
  const Exposition e = ParsedText(RenderProcessMetrics());
  const struct {
    const char* name;
    const char* type;
  } families[] = {
      {"process_cpu_seconds_total", "counter"},
      {"process_open_fds", "gauge"},
      {"process_max_fds", "gauge"},
      {"process_virtual_memory_bytes", "gauge"},
      {"process_resident_memory_bytes", "gauge"},
      {"process_start_time_seconds", "gauge"},
  };
  for (const auto& f : families) {
    EXPECT_EQ(e.types.at(f.name), f.type) << f.name;
    EXPECT_FALSE(e.help.at(f.name).empty()) << f.name;
    ASSERT_EQ(e.samples.count(f.name), 1u) << f.name;
  }
  rlimit limit{};
  ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &limit), 0);
  EXPECT_EQ(e.samples.at("process_max_fds"), static_cast<double>(limit.rlim_cur));
  EXPECT_GE(e.samples.at("process_open_fds"), 3);  // at least the standard three
  EXPECT_GT(e.samples.at("process_resident_memory_bytes"), 1 << 20);
  EXPECT_GE(e.samples.at("process_virtual_memory_bytes"),
            e.samples.at("process_resident_memory_bytes"));
  EXPECT_GE(e.samples.at("process_cpu_seconds_total"), 0);
  // This test process started within the last hour, and not in the future.
  const double now =
      std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
  EXPECT_LE(e.samples.at("process_start_time_seconds"), now + 1);
  EXPECT_GT(e.samples.at("process_start_time_seconds"), now - 3600);
}

TEST(MonitorMetrics, BuildInfoAndTheRowsTicked) {
  MonitorMetrics m(BuildInfo{"2.4", "0123456789ab"});
  using Outcome = monitor::ProbeEvent::Outcome;
  m.ProbeFinished(RowEvent(2, "192.0.2.12", Outcome::kAnswered));
  m.ProbeFinished(RowEvent(3, "192.0.2.13", Outcome::kSkipped));
  m.ProbeFinished(RowEvent(5, "192.0.2.15", Outcome::kFailed));
  Exposition e = ParsedText(m.store().Render());
  EXPECT_EQ(e.samples.at(R"(tallyvox_build_info{version="2.4",revision="0123456789ab"})"), 1);
  EXPECT_EQ(e.types.at("tallyvox_build_info"), "gauge");
  EXPECT_EQ(e.samples.at(R"(tallyvox_probe_enabled{row="2",address="192.0.2.12"})"), 1);
  EXPECT_EQ(e.samples.at(R"(tallyvox_probe_enabled{row="3",address="192.0.2.13"})"), 0);
  EXPECT_EQ(e.samples.at(R"(tallyvox_probe_enabled{row="5",address="192.0.2.15"})"), 1);
  EXPECT_EQ(e.samples.count(R"(tallyvox_probe_up{row="3",address="192.0.2.13"})"), 0u);

  // Row 2 unticked: its probe's series go, its enabled gauge turns 0; row 5
  // moved while unticked. Ticked again, they come back at their addresses.
  m.ProbeFinished(RowEvent(2, "192.0.2.12", Outcome::kSkipped));
  m.ProbeFinished(RowEvent(5, "192.0.2.55", Outcome::kSkipped));
  e = ParsedText(m.store().Render());
  for (const char* family : {"tallyvox_probe_up", "tallyvox_probe_duration_seconds",
                             "tallyvox_ok_number", "tallyvox_last_probe_start_timestamp_seconds"}) {
    for (const auto& [series, value] : e.samples) {
      EXPECT_NE(series.rfind(std::string(family) + "{", 0), 0u) << series;
    }
  }
  EXPECT_EQ(e.samples.at(R"(tallyvox_probe_enabled{row="2",address="192.0.2.12"})"), 0);
  EXPECT_EQ(e.samples.at(R"(tallyvox_probe_enabled{row="5",address="192.0.2.55"})"), 0);
  EXPECT_EQ(e.samples.count(R"(tallyvox_probe_enabled{row="5",address="192.0.2.15"})"), 0u);
  m.ProbeFinished(RowEvent(5, "192.0.2.55", Outcome::kFailed));
  e = ParsedText(m.store().Render());
  EXPECT_EQ(e.samples.at(R"(tallyvox_probe_enabled{row="5",address="192.0.2.55"})"), 1);
  EXPECT_EQ(e.samples.at(R"(tallyvox_probe_up{row="5",address="192.0.2.55"})"), 0);
}

httplib::Result Get(int port, const std::string& path, const std::string& host = "127.0.0.1") {
  httplib::Client client(host, port);
  client.set_read_timeout(10, 0);
  client.set_connection_timeout(5, 0);
  return client.Get(path);
}

TEST(MetricsEndpoint, PagesBesideMetricsAndTheProcess) {
  MonitorMetrics metrics;
  struct Case {
    std::vector<Page> pages;
    int root_status;
    std::string root_has;
  };
  const auto other = [](const http::Request&) {
    http::Response r;
    r.content_type = "text/html; charset=utf-8";
    r.body = "<p>status page</p>";
    return r;
  };
  const Case cases[] = {
      {{}, 404, ""},
      {{{"/", LandingPage}}, 200, R"(<a href="/metrics">/metrics</a>)"},
      {{{"/", other}}, 200, "<p>status page</p>"},  // another change's page in its place
  };
  for (const Case& c : cases) {
    MetricsEndpoint endpoint({"127.0.0.1", 0}, metrics.store(), [&](http::Router& router) {
      for (const Page& page : c.pages) router.Add("GET", page.path, page.handler);
    });
    auto res = Get(endpoint.Port(), "/");
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, c.root_status);
    if (c.root_status == 200) {
      EXPECT_EQ(res->get_header_value("Content-Type"), "text/html; charset=utf-8");
      EXPECT_NE(res->body.find(c.root_has), std::string::npos) << res->body;
    }
    res = Get(endpoint.Port(), "/metrics");
    ASSERT_TRUE(res);
    const Exposition e = ParsedText(res->body);
    EXPECT_EQ(e.samples.count("process_resident_memory_bytes"), 1u);
    EXPECT_EQ(e.samples.count("tallyvox_cycles_total"), 1u);
  }
}

// ":PORT" binds every address: IPv6 and IPv4 on one socket where the host
// has IPv6 (reached at ::1 and 127.0.0.1), else IPv4 alone; it says which.
TEST(MetricsEndpoint, EveryAddress) {
  MonitorMetrics metrics;
  MetricsEndpoint endpoint(ParseListenAddress(":0"), metrics.store());
  const std::string port = std::to_string(endpoint.Port());
  const std::string address = endpoint.Address();
  const bool dual = address == "[::]:" + port + " (every IPv6 and IPv4 address)";
  EXPECT_TRUE(dual || address == "0.0.0.0:" + port + " (every IPv4 address)") << address;
  auto res = Get(endpoint.Port(), "/metrics");
  ASSERT_TRUE(res);
  EXPECT_EQ(res->status, 200);
  if (dual) {
    res = Get(endpoint.Port(), "/metrics", "::1");
    ASSERT_TRUE(res) << "IPv6 loopback";
    EXPECT_EQ(res->status, 200);
  }
}

}  // namespace
}  // namespace tallyvox::metrics
