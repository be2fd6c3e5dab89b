#include "adapters/alertmanager_post.h"

#include <exception>

#include "base/http_url.h"
#include "base/text.h"
#include "net/deadline.h"
#include "net/tcp_client.h"

namespace tallyvox::monitor {
namespace {

constexpr int kMaxHeaderLines = 100;
constexpr int32_t kMaxLine = 8192;

// "HTTP/1.1 202 Accepted" -> 202; 0 when it is no status line.
int StatusCode(const std::string& line) {
  if (line.rfind("HTTP/1.", 0) != 0 || line.size() < 12 || line[8] != ' ') return 0;
  int code = 0;
  for (size_t i = 9; i < 12; ++i) {
    if (line[i] < '0' || line[i] > '9') return 0;
    code = code * 10 + (line[i] - '0');
  }
  return code;
}

}  // namespace

std::string HttpAlertPost::Post(const std::string& url, const std::string& alerts) {
  HttpUrl target;
  const std::string bad = ParseHttpUrl(url, &target);
  if (!bad.empty()) return bad;
  const std::string host =
      target.host.find(':') != std::string::npos ? "[" + target.host + "]" : target.host;
  net::TNetTCPClient c;
  c.Host = target.host;
  c.Port = target.port;
  c.MaxLineLength = kMaxLine;
  const auto budget_ms = static_cast<int32_t>(budget_.count());
  c.ReadTimeout = budget_ms;
  c.SetDeadline(net::TNetDeadline::Within(budget_));
  try {
    c.OpenConnection(budget_ms);
    c.WriteText("POST " + target.path + "/api/v2/alerts HTTP/1.1\r\nHost: " + host + ":" +
                std::to_string(target.port) +
                "\r\nUser-Agent: tallyvox\r\nContent-Type: application/json\r\nContent-Length: " +
                std::to_string(alerts.size()) + "\r\nConnection: close\r\n\r\n" + alerts);
    const std::string status = c.ReadLine("\n");
    const int code = StatusCode(status);
    if (code == 0) {
      c.CloseConnection();
      return "not an HTTP answer: " + EscapeControls(status.substr(0, 80));
    }
    // The status decides; the headers are read (and dropped) only so that
    // the close does not reset the connection under them.
    try {
      for (int i = 0; i < kMaxHeaderLines && !c.ReadLine("\n").empty(); ++i) {
      }
    } catch (const std::exception&) {
    }
    c.CloseConnection();
    if (code >= 200 && code < 300) return "";
    return "HTTP " + EscapeControls(status.substr(9, 80));
  } catch (const std::exception& e) {
    try {
      c.CloseConnection();
    } catch (...) {
    }
    const std::string why = e.what();
    return why.empty() ? "failed" : EscapeControls(why, LineBreaks::kBlank);
  }
}

}  // namespace tallyvox::monitor
