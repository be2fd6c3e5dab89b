#include "status/status_page.h"

#include <chrono>
#include <cmath>
#include <limits>
#include <utility>

#include "history/history_db.h"
#include "report/report.h"
#include "status/status_text.h"

namespace tallyvox::status {
namespace {

constexpr int64_t kHour = 3600000;
constexpr int64_t kDay = 24 * kHour;
// The availability is counted again at most this often.
constexpr int64_t kCountEvery = 60000;
// The most probes one /api/history answer carries (the newest).
constexpr size_t kHistoryCap = 10000;

http::Response Answer(std::string content_type, std::string body) {
  http::Response r;
  r.content_type = std::move(content_type);
  r.body = std::move(body);
  r.headers = {{"Cache-Control", "no-store"}, {"X-Content-Type-Options", "nosniff"}};
  return r;
}

http::Response BadRequest(const std::string& why) {
  http::Response r = Answer("text/plain; charset=utf-8", why + "\n");
  r.status = 400;
  return r;
}

std::map<int, double> Percentages(const std::vector<history::HistoryDb::RowCount>& counts) {
  std::map<int, double> out;
  for (const auto& c : counts) {
    if (c.probes > 0) {
      out[c.row] = 100.0 * static_cast<double>(c.answered) / static_cast<double>(c.probes);
    }
  }
  return out;
}

}  // namespace

StatusPage::StatusPage(std::shared_ptr<const StatusBoard> board, std::string database,
                       std::function<int64_t()> now_ms)
    : board_(std::move(board)), database_(std::move(database)), now_ms_(std::move(now_ms)) {}

int64_t StatusPage::Now() const {
  if (now_ms_) return now_ms_();
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

void StatusPage::CountAvailability(int64_t now, PageData* data) {
  MutexLock lock(&mu_);
  if (counted_at_ == 0 || now - counted_at_ >= kCountEvery || now < counted_at_) {
    history::HistoryDb db(database_, history::HistoryDb::Mode::kReadOnly);
    day_ = Percentages(db.CountByRow(now - kDay));
    week_ = Percentages(db.CountByRow(now - 7 * kDay));
    counted_at_ = now;
  }
  data->availability_24h = day_;
  data->availability_7d = week_;
}

PageData StatusPage::Gather() {
  PageData data;
  data.snapshot = board_->Snapshot();
  data.now_ms = Now();
  try {
    CountAvailability(data.now_ms, &data);
    history::HistoryDb db(database_, history::HistoryDb::Mode::kReadOnly);
    db.ForEachProbe(0, data.now_ms - kHour, [&](const history::ProbeRecord& p) {
      data.sparklines[p.row].push_back({p.time_ms, p.answered, p.seconds});
    });
  } catch (const history::HistoryError& e) {
    data.history_error = e.what();
  }
  return data;
}

http::Response StatusPage::History(const http::Request& request) {
  const std::string* row_text = request.FindParam("row");
  int row = 0;
  if (row_text != nullptr && row_text->size() <= 3) {
    for (char c : *row_text) row = c >= '0' && c <= '9' ? row * 10 + (c - '0') : -1000;
  }
  if (row < 1 || row > 111) return BadRequest("row must be from 1 to 111");
  const std::string* since_text = request.FindParam("since");
  const int64_t now = Now();
  int64_t since = now - kHour;
  if (since_text != nullptr) {
    try {
      since = report::ParseSince(*since_text, now);
    } catch (const report::ReportError& e) {
      return BadRequest(e.what());
    }
  }
  std::vector<history::ProbeRecord> probes;
  try {
    history::HistoryDb db(database_, history::HistoryDb::Mode::kReadOnly);
    db.ForEachProbe(row, since, [&](const history::ProbeRecord& p) {
      if (probes.size() == kHistoryCap) probes.erase(probes.begin());
      probes.push_back(p);
    });
  } catch (const history::HistoryError& e) {
    http::Response r = Answer("text/plain; charset=utf-8", std::string(e.what()) + "\n");
    r.status = 503;
    return r;
  }
  std::string body = "{\"row\": " + std::to_string(row) +
                     ", \"since\": " + JsonString(IsoUtc(since)) + ", \"probes\": [";
  for (size_t i = 0; i < probes.size(); ++i) {
    const history::ProbeRecord& p = probes[i];
    char seconds[32];
    std::snprintf(seconds, sizeof seconds, "%.6f", p.seconds);
    body += std::string(i == 0 ? "" : ", ") + "{\"time\": " + JsonString(IsoUtc(p.time_ms)) +
            ", \"address\": " + JsonString(p.address) +
            ", \"answered\": " + (p.answered ? "true" : "false") + ", \"seconds\": " + seconds +
            ", \"reason\": " + JsonString(p.reason) + "}";
  }
  return Answer("application/json", body + "]}\n");
}

void AddStatusRoutes(http::Router& router, std::shared_ptr<StatusPage> page) {
  router.Add("GET", "/", [page](const http::Request&) {
    http::Response r = Answer("text/html; charset=utf-8", RenderHtml(page->Gather()));
    r.headers.push_back({"Content-Security-Policy",
                         "default-src 'none'; script-src 'self'; connect-src 'self'; "
                         "style-src 'unsafe-inline'; img-src 'self'"});
    return r;
  });
  router.Add("GET", "/status.js", [](const http::Request&) {
    return Answer("text/javascript; charset=utf-8", StatusScript());
  });
  router.Add("GET", "/api/status", [page](const http::Request&) {
    return Answer("application/json", RenderJson(page->Gather()));
  });
  router.Add("GET", "/api/history",
             [page](const http::Request& request) { return page->History(request); });
}

}  // namespace tallyvox::status
