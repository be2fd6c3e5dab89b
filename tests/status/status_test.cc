// The status page's parts: the board's rows and "since", escaping of texts
// that come from elsewhere, the routes (read-only, bad queries refused) over
// a real history database.
#include "status/status_page.h"

#include <gtest/gtest.h>

#include "history/history_db.h"
#include "status/status_text.h"
#include "support/support.h"

namespace tallyvox::status {
namespace {

using monitor::ProbeEvent;
using tallyvox::testing::TempDir;

constexpr int64_t kT0 = 1750000000000;

ProbeEvent Probe(int row, ProbeEvent::Outcome outcome, int64_t start_ms,
                 std::string address = "10.0.0.1") {
  ProbeEvent e;
  e.row = row;
  e.address = std::move(address);
  e.outcome = outcome;
  e.start = LocalDateTimeFromUnix(start_ms / 1000, static_cast<int>(start_ms % 1000));
  e.seconds = 0.125;
  e.reason = outcome == ProbeEvent::Outcome::kFailed ? "Connection lost. (Read Timeout)" : "";
  return e;
}

TEST(StatusBoardTest, SinceMovesOnlyWhenTheStateChangesAndUntickedRowsGo) {
  StatusBoard board(60000);
  board.ProbeFinished(Probe(3, ProbeEvent::Outcome::kAnswered, kT0));
  board.ProbeFinished(Probe(3, ProbeEvent::Outcome::kAnswered, kT0 + 60000));
  board.ProbeFinished(Probe(4, ProbeEvent::Outcome::kFailed, kT0 + 10));
  StatusSnapshot s = board.Snapshot();
  ASSERT_EQ(s.rows.size(), 2u);
  EXPECT_TRUE(s.rows[0].up);
  EXPECT_EQ(s.rows[0].since_ms, kT0);
  EXPECT_EQ(s.rows[0].last_probe_ms, kT0 + 60000);
  EXPECT_FALSE(s.rows[1].up);
  EXPECT_EQ(s.rows[1].reason, "Connection lost. (Read Timeout)");

  board.ProbeFinished(Probe(3, ProbeEvent::Outcome::kFailed, kT0 + 120000));
  board.ProbeFinished(Probe(4, ProbeEvent::Outcome::kSkipped, kT0 + 120010));
  board.OutboxChanged(2);
  s = board.Snapshot();
  ASSERT_EQ(s.rows.size(), 1u);
  EXPECT_EQ(s.rows[0].since_ms, kT0 + 120000);
  EXPECT_EQ(s.outbox_pending, 2);
  // The last failure's reason stays after the row answers again.
  board.ProbeFinished(Probe(3, ProbeEvent::Outcome::kAnswered, kT0 + 180000));
  EXPECT_EQ(board.Snapshot().rows[0].reason, "Connection lost. (Read Timeout)");
  EXPECT_EQ(board.Snapshot().rows[0].since_ms, kT0 + 180000);
}

// Addresses and reasons come from the settings and from servers: whatever
// they hold reads as text in the HTML and stays inside its JSON string.
// Fast probes read in milliseconds (never "0.000 s"), slow ones in seconds,
// with no jump at the boundaries.
TEST(StatusPageTest, ResponseTimesReadInMillisecondsUnderASecond) {
  struct Case {
    double seconds;
    const char* text;
  };
  for (const Case& c : {Case{0.0, "0.0 ms"}, Case{0.00004, "0.0 ms"}, Case{0.00043, "0.4 ms"},
                        Case{0.00094, "0.9 ms"}, Case{0.00096, "1 ms"}, Case{0.003, "3 ms"},
                        Case{0.0126, "13 ms"}, Case{0.9994, "999 ms"}, Case{0.9996, "1.000 s"},
                        Case{1.2044, "1.204 s"}, Case{65.5, "65.500 s"}, Case{-1, "-"}}) {
    SCOPED_TRACE(c.seconds);
    EXPECT_EQ(SecondsText(c.seconds), c.text);
  }
}

TEST(StatusPageTest, TextsFromElsewhereAreEscapedInHtmlAndJson) {
  auto board = std::make_shared<StatusBoard>(0);
  const std::string hostile = "<script>alert(\"x\")</script>&'\x1b";
  ProbeEvent e = Probe(7, ProbeEvent::Outcome::kFailed, kT0, hostile);
  e.reason = hostile;
  board->ProbeFinished(e);
  TempDir dir;
  StatusPage page(board, dir.File("none.sqlite"), [] { return kT0 + 1000; });
  const PageData data = page.Gather();
  EXPECT_NE(data.history_error.find("none.sqlite"), std::string::npos);
  const std::string html = RenderHtml(data);
  EXPECT_EQ(html.find("<script>alert"), std::string::npos) << html;
  EXPECT_NE(html.find("&lt;script&gt;alert(&quot;x&quot;)&lt;/script&gt;&amp;&#39;\xEF\xBF\xBD"),
            std::string::npos)
      << html;
  const std::string json = RenderJson(data);
  EXPECT_EQ(json.find("<"), std::string::npos) << json;
  EXPECT_NE(json.find(R"("\u003cscript\u003ealert(\"x\")\u003c/script\u003e\u0026'\u001b")"),
            std::string::npos)
      << json;
  EXPECT_EQ(JsonString("a\"b\\c\n"), R"("a\"b\\c\u000a")");
}

class StatusRoutesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    history::HistoryDb db(path_);
    history::HistoryBatch batch;
    // Row 2: answers through the week but one failure an hour ago at most
    // (of 4 in the last day); row 5: one failure, 30 minutes ago.
    for (int i = 0; i < 4; ++i) {
      batch.probes.push_back({kNow - (5 + i) * 3600000LL, 2, "10.0.0.2", true, 0.01, ""});
    }
    batch.probes.push_back({kNow - 3 * 86400000LL, 2, "10.0.0.2", false, 2.0, "refused"});
    batch.probes.push_back({kNow - 30 * 60000LL, 5, "10.0.0.5", false, 2.0, "refused"});
    batch.probes.push_back({kNow - 20 * 60000LL, 5, "10.0.0.5", true, 0.5, ""});
    db.Write(batch);
    board_->ProbeFinished(
        Probe(2, ProbeEvent::Outcome::kAnswered, kNow - 5 * 3600000LL, "10.0.0.2"));
    board_->ProbeFinished(
        Probe(5, ProbeEvent::Outcome::kAnswered, kNow - 20 * 60000LL, "10.0.0.5"));
    AddStatusRoutes(router_, std::make_shared<StatusPage>(board_, path_, [] { return kNow; }));
  }

  http::Response Get(const std::string& target, const std::string& method = "GET") {
    http::Request request;
    request.method = method;
    request.target = target;
    const size_t q = target.find('?');
    request.path = target.substr(0, q);
    if (q != std::string::npos) {
      request.query = target.substr(q + 1);
      size_t at = request.query.find('&');
      for (size_t from = 0;; from = at + 1, at = request.query.find('&', from)) {
        const std::string pair = request.query.substr(from, at - from);
        const size_t eq = pair.find('=');
        request.params.push_back(
            {pair.substr(0, eq), eq == std::string::npos ? "" : pair.substr(eq + 1)});
        if (at == std::string::npos) break;
      }
    }
    return router_.Route(request);
  }

  static constexpr int64_t kNow = kT0 + 30 * 86400000LL;
  TempDir dir_;
  std::string path_ = dir_.File("h.sqlite");
  std::shared_ptr<StatusBoard> board_ = std::make_shared<StatusBoard>(60000);
  http::Router router_;
};

TEST_F(StatusRoutesTest, StatusAndHistoryComeFromTheBoardAndTheDatabase) {
  const http::Response status = Get("/api/status");
  ASSERT_EQ(status.status, 200);
  EXPECT_EQ(status.content_type, "application/json");
  EXPECT_NE(status.body.find("\"row\": 2, \"address\": \"10.0.0.2\", \"state\": \"up\""),
            std::string::npos)
      << status.body;
  EXPECT_NE(status.body.find("\"availability_24h\": 100.000"), std::string::npos) << status.body;
  EXPECT_NE(status.body.find("\"availability_7d\": 80.000"), std::string::npos) << status.body;
  // Row 5's last hour: its failure and its answer.
  EXPECT_NE(status.body.find("\"sparkline\": [{\"t\": " + std::to_string(kNow - 30 * 60000LL) +
                             ", \"ok\": false, \"s\": 2.000000}, {\"t\": "),
            std::string::npos)
      << status.body;

  const http::Response page = Get("/");
  EXPECT_NE(page.body.find("<tr data-row=\"5\" class=\"up\"><td>5</td><td>10.0.0.5</td>"),
            std::string::npos)
      << page.body;
  EXPECT_NE(page.body.find("<rect x=\"60.0\""), std::string::npos) << page.body;
  bool csp = false;
  for (const auto& h : page.headers) csp = csp || h.name == "Content-Security-Policy";
  EXPECT_TRUE(csp);
  EXPECT_EQ(Get("/status.js").status, 200);

  const http::Response history = Get("/api/history?row=2&since=7d");
  ASSERT_EQ(history.status, 200);
  EXPECT_NE(history.body.find("\"reason\": \"refused\""), std::string::npos) << history.body;
  EXPECT_EQ(Get("/api/history?row=2").body.find("refused"), std::string::npos);  // 1h only
}

TEST_F(StatusRoutesTest, OnlyReadsAndBadQueriesAreRefused) {
  struct Case {
    std::string method, target;
    int status;
  };
  for (const Case& c : std::vector<Case>{{"POST", "/", 405},
                                         {"PUT", "/api/status", 405},
                                         {"DELETE", "/api/history?row=2", 405},
                                         {"HEAD", "/api/status", 200},
                                         {"GET", "/api/history", 400},
                                         {"GET", "/api/history?row=0", 400},
                                         {"GET", "/api/history?row=112", 400},
                                         {"GET", "/api/history?row=2x", 400},
                                         {"GET", "/api/history?row=2&since=yesterday", 400},
                                         {"GET", "/nothing", 404}}) {
    SCOPED_TRACE(c.method + " " + c.target);
    EXPECT_EQ(Get(c.target, c.method).status, c.status);
  }
}

}  // namespace
}  // namespace tallyvox::status
