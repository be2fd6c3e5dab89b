// What /probe takes as its target and what it answers, without a network:
// the target's forms, the Prometheus text of an outcome (a reason from a
// server may hold anything), and the probe's deadline from the scrape's
// time-out.
#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "exporter/probe_exporter.h"
#include "exporter/probe_target.h"
#include "support/prometheus_text.h"

namespace tallyvox::exporter {
namespace {

using namespace std::chrono_literals;

TEST(ProbeTargetTest, TakesHostAndPortAndRefusesEverythingElse) {
  struct Case {
    const char* text;
    const char* host;  // nullptr: refused
    int port;
  };
  const Case cases[] = {
      {"192.0.2.12", "192.0.2.12", 8080},
      {"192.0.2.12:3000", "192.0.2.12", 3000},
      {"app-7.example.net", "app-7.example.net", 8080},
      {"app_7.example.net:1", "app_7.example.net", 1},
      {"[::1]", "::1", 8080},
      {"[2001:db8::7]:65535", "2001:db8::7", 65535},
      {"", nullptr, 0},
      {"http://192.0.2.12:3000", nullptr, 0},
      {"192.0.2.12/metrics", nullptr, 0},
      {"192.0.2.12 :3000", nullptr, 0},
      {" 192.0.2.12", nullptr, 0},
      {"192.0.2.12:", nullptr, 0},
      {":3000", nullptr, 0},
      {"192.0.2.12:0", nullptr, 0},
      {"192.0.2.12:65536", nullptr, 0},
      {"192.0.2.12:+80", nullptr, 0},
      {"192.0.2.12:80:81", nullptr, 0},
      {"192.0.2.12:123456", nullptr, 0},
      {"::1", nullptr, 0},
      {"[::1", nullptr, 0},
      {"[]:80", nullptr, 0},
      {"[::1]x", nullptr, 0},
      {"[::g]", nullptr, 0},
      {"user@host", nullptr, 0},
      {"host\r\nX: y", nullptr, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    ProbeTarget t{"unchanged", 7};
    const std::string error = ParseProbeTarget(c.text, 8080, &t);
    if (c.host == nullptr) {
      EXPECT_FALSE(error.empty());
      EXPECT_EQ(t.host, "unchanged");
    } else {
      EXPECT_EQ(error, "");
      EXPECT_EQ(t.host, c.host);
      EXPECT_EQ(t.port, c.port);
    }
  }
  ProbeTarget t;
  EXPECT_FALSE(ParseProbeTarget(std::string(256, 'a'), 80, &t).empty());
  EXPECT_EQ(ParseProbeTarget(std::string(255, 'a'), 80, &t), "");
}

testing::Exposition Parsed(const std::string& text) {
  testing::Exposition e;
  std::string error;
  EXPECT_TRUE(testing::ParseExposition(text, &e, &error)) << error << "\n" << text;
  return e;
}

TEST(ProbeRenderTest, AnswersSuccessDurationAndOnlyOnAFailureItsReason) {
  ProbeOutcome ok;
  ok.success = true;
  ok.seconds = 0.004213;
  testing::Exposition e = Parsed(RenderProbeOutcome(ok));
  EXPECT_EQ(e.samples.size(), 2u);
  EXPECT_EQ(e.samples["probe_success"], 1);
  EXPECT_DOUBLE_EQ(e.samples["probe_duration_seconds"], 0.004213);
  EXPECT_EQ(e.types["probe_success"], "gauge");

  struct Case {
    std::string reason;
    std::string label;  // as the exposition's reader gives it back
  };
  const Case cases[] = {
      {"connection refused", "connection refused"},
      {"Table \"ufile7\" is locked", "Table \"ufile7\" is locked"},
      {"c:\\apps\\config.dbf", "c:\\apps\\config.dbf"},
      {"line one\r\nline two", "line one  line two"},
      {"esc \x1b[31m red", "esc \\x1b[31m red"},
      {"caf\xe9 (Latin-1)", "caf\\xe9 (Latin-1)"},
      {"caf\xc3\xa9 (UTF-8)", "caf\xc3\xa9 (UTF-8)"},
      {"cut \xe2\x82", "cut \\xe2\\x82"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.reason);
    ProbeOutcome failed;
    failed.seconds = 0.75;
    failed.reason = c.reason;
    const std::string text = RenderProbeOutcome(failed);
    e = Parsed(text);
    EXPECT_EQ(e.samples["probe_success"], 0);
    EXPECT_EQ(e.samples.count("tallyvox_probe_failure_info{reason=\"" + c.label + "\"}"), 1u)
        << text;
    EXPECT_EQ(e.samples.size(), 3u);
  }
}

TEST(ProbeBudgetTest, TheScrapesTimeOutLessAMarginCutsTheProbesOwnDeadline) {
  ExporterOptions options;
  options.probe.connect_timeout = 5;
  options.probe.request_timeout = 3;
  struct Case {
    const char* header;  // nullptr: none sent
    std::chrono::milliseconds budget;
  };
  const Case cases[] = {
      {nullptr, 8000ms}, {"10", 8000ms},  {"8.25", 8000ms}, {"4", 3750ms},     {"1", 750ms},
      {"0.4", 200ms},    {"0.001", 1ms},  {"0", 8000ms},    {"-3", 8000ms},    {"soon", 8000ms},
      {"1s", 8000ms},    {"nan", 8000ms}, {"inf", 8000ms},  {"1e300", 8000ms},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.header == nullptr ? "none" : c.header);
    http::Request r;
    if (c.header != nullptr) r.headers.push_back({"x-prometheus-scrape-timeout-seconds", c.header});
    EXPECT_EQ(ProbeBudget(r, options).count(), c.budget.count());
  }
}

}  // namespace
}  // namespace tallyvox::exporter
