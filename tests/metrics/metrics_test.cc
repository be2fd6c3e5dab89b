// The monitor's metrics: the store's text (checked by a strict reader of
// the exposition format, which is itself shown to refuse broken texts),
// what the monitor's reports make of it, and the HTTP endpoint: answers,
// refusals of oversized requests, bind failures, and scrapes while the
// numbers change.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <httplib.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "base/datetime.h"
#include "metrics/endpoint.h"
#include "metrics/metric_store.h"
#include "metrics/monitor_metrics.h"
#include "support/prometheus_text.h"

namespace tallyvox::metrics {
namespace {

using monitor::AlertEvent;
using tallyvox::testing::Exposition;
using tallyvox::testing::ParseExposition;

Exposition Parsed(const std::string& text) {
  Exposition e;
  std::string error;
  EXPECT_TRUE(ParseExposition(text, &e, &error)) << error << "\n" << text;
  return e;
}

TEST(ExpositionReader, RefusesBrokenTexts) {
  const std::string head = "# TYPE a_total counter\n";
  const std::vector<std::pair<std::string, std::string>> cases = {
      {head + "a_total 1\na_total 2\n", "series twice"},
      {"a 1\n# TYPE a gauge\n", "TYPE of a after its samples"},
      {"# TYPE a gauge\n# TYPE a gauge\n", "second TYPE"},
      {"# TYPE a_total counter\na_total -1\n", "negative counter"},
      {"# TYPE a counter\n", "does not end in _total"},
      {"# TYPE a gauge\na 1\n# TYPE b gauge\nb 1\na 2\n", "not together"},
      {"a{x=\"1\\t\"} 1\n", "bad escape"},
      {"a{x=\"1} 1\n", "label value not closed"},
      {"a{x=\"1\",x=\"2\"} 1\n", "label x twice"},
      {"a{__x=\"1\"} 1\n", "bad label name"},
      {"a one\n", "bad value"},
      {"1a 1\n", "no metric name"},
      {"a 1", "line end"},
      {"# TYPE a gauges\n", "unknown type"},
  };
  for (const auto& [text, fault] : cases) {
    Exposition e;
    std::string error;
    EXPECT_FALSE(ParseExposition(text, &e, &error)) << text;
    EXPECT_NE(error.find(fault), std::string::npos) << text << " -> " << error;
  }
  Exposition e;
  std::string error;
  EXPECT_TRUE(ParseExposition("# a comment\n" + head + "a_total{x=\"q\\\"\\\\\\n\"} 1 123\n\n" +
                                  "b NaN\nc +Inf\nd -1.5e-3\n",
                              &e, &error))
      << error;
  EXPECT_EQ(e.samples.count("a_total{x=\"q\"\\\n\"}"), 1u);
}

TEST(MetricStore, RendersFamiliesInOrderWithEscapedLabelsAndExactValues) {
  MetricStore store;
  store.Declare({"t_rows", MetricType::kGauge, "Rows; a \\ and a\nline."});
  store.Declare({"t_things_total", MetricType::kCounter, "Things."});
  store.Declare({"t_empty", MetricType::kGauge, "Nothing yet."});
  store.Set("t_rows", {{"row", "10"}, {"address", "a\"b\\c\nd"}}, 0.1);
  store.Set("t_rows", {{"row", "2"}, {"address", "x"}}, 1e21);
  store.Set("t_rows", {{"row", "9"}, {"address", "x"}}, -0.0);
  store.Add("t_things_total", {}, 2);
  store.Add("t_things_total", {}, 1);
  store.EraseWhere("t_rows", "row", "9");
  EXPECT_THROW(store.Set("t_undeclared", {}, 1), std::logic_error);
  EXPECT_EQ(store.Render(),
            "# HELP t_rows Rows; a \\\\ and a\\nline.\n"
            "# TYPE t_rows gauge\n"
            "t_rows{row=\"2\",address=\"x\"} 1e+21\n"
            "t_rows{row=\"10\",address=\"a\\\"b\\\\c\\nd\"} 0.1\n"
            "# HELP t_things_total Things.\n"
            "# TYPE t_things_total counter\n"
            "t_things_total 3\n"
            "# HELP t_empty Nothing yet.\n"
            "# TYPE t_empty gauge\n");
  Parsed(store.Render());
}

monitor::ProbeEvent Probe(int row, const std::string& address, bool ok, int32_t ok_number,
                          TDateTime start, double seconds) {
  monitor::ProbeEvent r;
  r.row = row;
  r.address = address;
  r.outcome = ok ? monitor::ProbeEvent::Outcome::kAnswered : monitor::ProbeEvent::Outcome::kFailed;
  r.count = ok_number;
  r.start = start;
  r.seconds = seconds;
  r.reason = ok ? "" : "Connection lost.";
  return r;
}

// A cycle's event; a non-empty `error` ended it.
monitor::CycleEvent Cycle(int rows, int failed, double seconds, const std::string& error = "") {
  monitor::CycleEvent c;
  c.rows = rows;
  c.failed = failed;
  c.seconds = seconds;
  c.ended_by_error = !error.empty();
  c.error = error;
  return c;
}

TEST(MonitorMetrics, FollowTheMonitorsReports) {
  MonitorMetrics m;
  // Before any cycle: the counters at zero, every account listed.
  Exposition e = Parsed(m.store().Render());
  EXPECT_EQ(e.samples.at("tallyvox_cycles_total"), 0);
  EXPECT_EQ(e.samples.at("tallyvox_alerts_sent_total{account=\"sorrel_brindle\"}"), 0);
  EXPECT_EQ(e.samples.at("tallyvox_alert_failures_total{account=\"fallback\"}"), 0);
  EXPECT_EQ(e.types.at("tallyvox_probe_up"), "gauge");
  EXPECT_EQ(e.types.at("tallyvox_watchdog_alerts_total"), "counter");
  EXPECT_EQ(e.samples.at("tallyvox_outbox_pending"), 0);
  EXPECT_EQ(e.types.at("tallyvox_outbox_pending"), "gauge");
  EXPECT_EQ(e.samples.at("tallyvox_alerts_suppressed_total"), 0);
  EXPECT_EQ(e.types.at("tallyvox_alerts_suppressed_total"), "counter");

  const std::time_t unix_start = 1750763109;  // 2025-06-24 11:05:09 UTC
  const TDateTime start = LocalDateTimeFromUnix(unix_start, 250);
  m.ProbeFinished(Probe(2, "192.0.2.12", true, 7, start, 0.004));
  m.ProbeFinished(Probe(5, "192.0.2.15", false, 0, start, 2.5));
  m.AlertReported(AlertEvent::Delivered(5, "IP 192.0.2.15 Is Down!", "erols"));
  m.AlertReported(
      AlertEvent::Failed(5, "IP 192.0.2.15 Is Down!", "quell_brindle", "Connection refused"));
  m.CycleFinished(Cycle(2, 1, 2.75));
  m.CycleFinished(Cycle(0, 0, 0.01, "DbeTable1: cannot open"));
  m.WatchdogAlert("192.0.2.15", 70);
  // Two alerts held back (a row's confirmation, the watchdog's reminder); the
  // outbox filled to 3 and then drained to 1: the gauge follows it down.
  m.AlertReported(AlertEvent::HeldBack(5, "IP 192.0.2.15 Is Down!", "failure 1 of 3"));
  m.AlertReported(
      AlertEvent::HeldBack(0, "IP 192.0.2.15 Is Not Responding!", "next reminder at 13:20:00"));
  for (int pending : {1, 2, 3, 2, 1}) m.OutboxChanged(pending);
  // Row 2 probed again at another address: the old series goes.
  m.ProbeFinished(Probe(2, "192.0.2.99", true, 8, start, 0.005));

  e = Parsed(m.store().Render());
  const std::string row2 = "{row=\"2\",address=\"192.0.2.99\"}";
  const std::string row5 = "{row=\"5\",address=\"192.0.2.15\"}";
  EXPECT_EQ(e.samples.count("tallyvox_probe_up{row=\"2\",address=\"192.0.2.12\"}"), 0u);
  EXPECT_EQ(e.samples.at("tallyvox_probe_up" + row2), 1);
  EXPECT_EQ(e.samples.at("tallyvox_ok_number" + row2), 8);
  EXPECT_EQ(e.samples.at("tallyvox_probe_duration_seconds" + row2), 0.005);
  EXPECT_EQ(e.samples.at("tallyvox_probe_up" + row5), 0);
  EXPECT_EQ(e.samples.at("tallyvox_ok_number" + row5), 0);
  EXPECT_EQ(e.samples.at("tallyvox_probe_duration_seconds" + row5), 2.5);
  EXPECT_DOUBLE_EQ(e.samples.at("tallyvox_last_probe_start_timestamp_seconds" + row5),
                   unix_start + 0.25);
  EXPECT_EQ(e.samples.at("tallyvox_alerts_sent_total{account=\"erols\"}"), 1);
  EXPECT_EQ(e.samples.at("tallyvox_alert_failures_total{account=\"quell_brindle\"}"), 1);
  EXPECT_EQ(e.samples.at("tallyvox_alert_failures_total{account=\"erols\"}"), 0);
  EXPECT_EQ(e.samples.at("tallyvox_cycles_total"), 2);
  EXPECT_EQ(e.samples.at("tallyvox_cycle_errors_total"), 1);
  EXPECT_EQ(e.samples.at("tallyvox_cycle_duration_seconds"), 0.01);
  EXPECT_EQ(e.samples.at("tallyvox_watchdog_alerts_total"), 1);
  EXPECT_EQ(e.samples.at("tallyvox_alerts_suppressed_total"), 2);
  EXPECT_EQ(e.samples.at("tallyvox_outbox_pending"), 1);
}

TEST(MetricsEndpoint, ListenAddresses) {
  const std::vector<std::tuple<std::string, std::string, int>> good = {
      {"127.0.0.1:9741", "127.0.0.1", 9741},
      {"0.0.0.0:0", "0.0.0.0", 0},
      {"[::1]:80", "::1", 80},
      {"localhost:65535", "localhost", 65535},
      {":9741", "", 9741},  // every address
      {"[2001:db8::7]:9741", "2001:db8::7", 9741},
  };
  for (const auto& [text, host, port] : good) {
    const ListenAddress a = ParseListenAddress(text);
    EXPECT_EQ(a.host, host) << text;
    EXPECT_EQ(a.port, port) << text;
  }
  const std::vector<std::pair<std::string, std::string>> bad = {
      {"9741", "no port (a port alone is written :9741)"},
      {"[::1]", "no port after the ]"},
      {"[::1:9741", "an unclosed ["},
      {"::1]:9741", "a ] without its ["},
      {"[]:9741", "no address inside the brackets"},
      {":", "from 0 to 65535"},
      {"127.0.0.1:", "from 0 to 65535"},
      {"127.0.0.1:65536", "from 0 to 65535"},
      {"127.0.0.1:-1", "from 0 to 65535"},
      {"127.0.0.1:80x", "from 0 to 65535"},
      {"::1:80", "brackets"},
  };
  for (const auto& [text, what] : bad) {
    try {
      ParseListenAddress(text);
      ADD_FAILURE() << text;
    } catch (const MetricsEndpointError& e) {
      EXPECT_NE(std::string(e.what()).find("--metrics wants ADDRESS:PORT"), std::string::npos);
      EXPECT_NE(std::string(e.what()).find(what), std::string::npos) << e.what();
    }
  }
}

// Sends raw bytes and returns the status line of the answer (empty when the
// server closed without one).
std::string RawRequest(int port, const std::string& bytes) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(port));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  timeval tv{10, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  std::string answer;
  if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) {
    size_t sent = 0;
    while (sent < bytes.size()) {
      const ssize_t n = ::send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
      if (n <= 0) break;
      sent += static_cast<size_t>(n);
    }
    char buf[4096];
    ssize_t n;
    while (answer.find("\r\n") == std::string::npos && (n = ::recv(fd, buf, sizeof buf, 0)) > 0) {
      answer.append(buf, static_cast<size_t>(n));
    }
  }
  ::close(fd);
  return answer.substr(0, answer.find("\r\n"));
}

TEST(MetricsEndpoint, ServesMetricsAndRefusesWhatItWillNotRead) {
  MonitorMetrics metrics;
  metrics.CycleFinished(Cycle(1, 0, 0.5));
  MetricsEndpoint endpoint({"127.0.0.1", 0}, metrics.store());
  ASSERT_GT(endpoint.Port(), 0);
  EXPECT_EQ(endpoint.Address(), "127.0.0.1:" + std::to_string(endpoint.Port()));

  httplib::Client client("127.0.0.1", endpoint.Port());
  client.set_read_timeout(10, 0);
  auto res = client.Get("/metrics");
  ASSERT_TRUE(res);
  EXPECT_EQ(res->status, 200);
  EXPECT_EQ(res->get_header_value("Content-Type"), "text/plain; version=0.0.4; charset=utf-8");
  EXPECT_EQ(Parsed(res->body).samples.at("tallyvox_cycles_total"), 1);
  res = client.Head("/metrics");
  ASSERT_TRUE(res);
  EXPECT_EQ(res->status, 200);
  EXPECT_TRUE(res->body.empty());
  res = client.Get("/");
  ASSERT_TRUE(res);
  EXPECT_EQ(res->status, 404);

  const int port = endpoint.Port();

  // A body past 1 KiB is refused (and thrown away, never kept).
  EXPECT_EQ(RawRequest(port, "POST /metrics HTTP/1.1\r\nHost: x\r\nContent-Length: 2048\r\n\r\n" +
                                 std::string(2048, 'x')),
            "HTTP/1.1 413 Payload Too Large");
  // An endless header line is cut off at the library's 8 KiB.
  const std::string status = RawRequest(
      port, "GET /metrics HTTP/1.1\r\nX-Long: " + std::string(64 * 1024, 'a') + "\r\n\r\n");
  EXPECT_TRUE(status.empty() || status.find(" 200 ") == std::string::npos) << status;
  EXPECT_EQ(RawRequest(port, "NONSENSE\r\n\r\n").substr(0, 12), "HTTP/1.1 400");
  // And it goes on serving.
  res = client.Get("/metrics");
  ASSERT_TRUE(res);
  EXPECT_EQ(res->status, 200);

  // The port is taken now.
  try {
    MetricsEndpoint second({"127.0.0.1", port}, metrics.store());
    ADD_FAILURE() << "bound a port in use";
  } catch (const MetricsEndpointError& e) {
    EXPECT_NE(
        std::string(e.what()).find("cannot serve /metrics on 127.0.0.1:" + std::to_string(port)),
        std::string::npos)
        << e.what();
  }
}

TEST(MetricsEndpoint, ScrapesWhileTheNumbersChangeAreWhole) {
  MonitorMetrics metrics;
  MetricsEndpoint endpoint({"127.0.0.1", 0}, metrics.store());
  std::atomic<bool> done{false};
  std::thread monitor([&] {
    for (int i = 0; !done.load() && i < 1000000; ++i) {
      const int row = 1 + i % 111;
      metrics.ProbeFinished(
          Probe(row, "127.0.0." + std::to_string(i % 7), i % 3 != 0, i, Now(), 0.001));
      if (row == 111) metrics.CycleFinished(Cycle(111, 37, 0.1));
    }
  });
  httplib::Client client("127.0.0.1", endpoint.Port());
  client.set_read_timeout(10, 0);
  double last_cycles = 0;
  for (int i = 0; i < 50; ++i) {
    auto res = client.Get("/metrics");
    ASSERT_TRUE(res);
    const Exposition e = Parsed(res->body);
    // Each row shows once, at one address, in each of its four families.
    int up = 0;
    for (const auto& [series, value] : e.samples) up += series.rfind("tallyvox_probe_up{", 0) == 0;
    EXPECT_LE(up, 111);
    EXPECT_GE(e.samples.at("tallyvox_cycles_total"), last_cycles);
    last_cycles = e.samples.at("tallyvox_cycles_total");
  }
  done = true;
  monitor.join();
}

}  // namespace
}  // namespace tallyvox::metrics
