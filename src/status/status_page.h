// The status page: every ticked row (address, state, since when, the last
// failure's reason, the last response time, a sparkline of the last hour,
// availability over 24 h and 7 d), the last cycle and when the next is due,
// and the alerts waiting in the outbox; served read-only on our HTTP server
// (http/router.h):
//
//   GET /             the page, its table rendered by the server (it reads
//                     as a plain table without JavaScript)
//   GET /status.js    the script that refreshes the table from /api/status
//                     every 5 s (the page's Content-Security-Policy admits no
//                     other script)
//   GET /api/status   the same as JSON
//   GET /api/history?row=N[&since=1h]   the row's probes as JSON (since: a
//                     period as `tallyvox report --since` reads it, 1h by
//                     default; at most 10000 probes, the newest)
//
// The live state comes from the StatusBoard, the sparklines and the
// availability from the history database, read-only (the availability is
// counted at most once a minute). A history that cannot be read leaves
// those fields empty and says why; the page still answers. Every text
// (addresses, reasons come from elsewhere) is escaped for HTML and JSON.
// The page holds no password and no account's user name.
//
// Thread-safe: the handlers run on the server's workers.
#ifndef TALLYVOX_STATUS_STATUS_PAGE_H_
#define TALLYVOX_STATUS_STATUS_PAGE_H_

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "base/mutex.h"
#include "http/router.h"
#include "status/status_board.h"

namespace tallyvox::status {

struct SparkPoint {
  int64_t time_ms = 0;
  bool answered = false;
  double seconds = 0;
};

// What one answer shows.
struct PageData {
  StatusSnapshot snapshot;
  int64_t now_ms = 0;
  std::map<int, double> availability_24h;  // percent, rows with probes
  std::map<int, double> availability_7d;
  std::map<int, std::vector<SparkPoint>> sparklines;  // the last hour
  std::string history_error;                          // why the history could not be read
};

class StatusPage {
 public:
  // `now_ms` empty: the system clock. The page shares the board, so that a
  // handler the server left running never outlives it.
  StatusPage(std::shared_ptr<const StatusBoard> board, std::string database,
             std::function<int64_t()> now_ms = {});

  PageData Gather();
  // The answer to /api/history (400 for a bad row or period).
  http::Response History(const http::Request& request);

 private:
  int64_t Now() const;
  void CountAvailability(int64_t now, PageData* data);

  const std::shared_ptr<const StatusBoard> board_;
  const std::string database_;
  const std::function<int64_t()> now_ms_;
  Mutex mu_;
  int64_t counted_at_ GUARDED_BY(mu_) = 0;
  std::map<int, double> day_ GUARDED_BY(mu_);
  std::map<int, double> week_ GUARDED_BY(mu_);
};

// The page as HTML (a whole document), and /api/status.
std::string RenderHtml(const PageData& data);
std::string RenderJson(const PageData& data);
// The refresh script (/status.js).
const std::string& StatusScript();

// Registers /, /status.js, /api/status and /api/history on `router`: every
// route of the status page, here in one place.
void AddStatusRoutes(http::Router& router, std::shared_ptr<StatusPage> page);

}  // namespace tallyvox::status

#endif  // TALLYVOX_STATUS_STATUS_PAGE_H_
