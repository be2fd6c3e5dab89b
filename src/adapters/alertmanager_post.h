// HttpAlertPost: the AlertPost seam over our own TCP client (net/tcp_client.h):
// one HTTP/1.1 POST of the alerts to URL + "/api/v2/alerts" per call, on a
// connection of its own ("Connection: close"), its whole time bounded by
// one deadline (kPostBudget: the host name lookup, the connect, the write,
// the answer's status line and headers); the body of the answer is not
// read. A 2xx status is success; anything else is the failure's text
// ("HTTP 400 Bad Request", "Socket Error # 10061 Connection refused.", ...).
// Its sockets are the socket stack's like every other, so a stop request
// ends a post at once.
//
// Our own client rather than a library's: the posts go through the same
// deadlines, host name lookups and stop as the probes and the mail, and
// the monitor loads no further HTTP library.
//
// Thread-safe (each call has its own connection).
#ifndef TALLYVOX_ADAPTERS_ALERTMANAGER_POST_H_
#define TALLYVOX_ADAPTERS_ALERTMANAGER_POST_H_

#include <chrono>
#include <string>

#include "monitor/seams.h"

namespace tallyvox::monitor {

class HttpAlertPost : public AlertPost {
 public:
  static constexpr std::chrono::seconds kPostBudget{5};

  explicit HttpAlertPost(std::chrono::milliseconds budget = kPostBudget) : budget_(budget) {}
  std::string Post(const std::string& url, const std::string& alerts) override;

 private:
  const std::chrono::milliseconds budget_;
};

}  // namespace tallyvox::monitor

#endif  // TALLYVOX_ADAPTERS_ALERTMANAGER_POST_H_
