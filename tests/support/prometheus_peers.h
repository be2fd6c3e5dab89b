// Debian's Prometheus and Alertmanager as test peers, each a child process
// on a loopback port in a temporary folder (its storage), stopped by the
// destructor. Neither takes port 0 for its web address: a free port is
// picked (bound and released) and the start is retried on a bind race.
// Every wait is bounded.
#ifndef TALLYVOX_TESTS_SUPPORT_PROMETHEUS_PEERS_H_
#define TALLYVOX_TESTS_SUPPORT_PROMETHEUS_PEERS_H_

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "support/support.h"

namespace tallyvox::testing {

// A loopback port free at the time of the call (bound to 127.0.0.1:0 and
// released).
int PickFreePort();

// A server program started with `--web.listen-address 127.0.0.1:PORT`,
// ready once GET /-/ready answers 200.
class WebPeer {
 public:
  // `args` before the listen address; `program` on PATH. Raises
  // std::runtime_error when it does not get ready within `startup` after
  // three tries.
  WebPeer(const std::string& program, std::vector<std::string> args,
          std::chrono::milliseconds startup = std::chrono::seconds(20));
  int port() const { return port_; }
  std::string Output() const { return process_ ? process_->Output() : ""; }
  // GET path on the peer: the body, empty on a failure.
  std::string Get(const std::string& path) const;
  // POST a JSON body; the status (0 when unreachable).
  int PostJson(const std::string& path, const std::string& body) const;

 private:
  int port_ = 0;
  std::unique_ptr<ChildProcess> process_;
};

// Prometheus with `config` (YAML) written into a folder of its own.
class PrometheusServer {
 public:
  explicit PrometheusServer(const std::string& config);
  int port() const { return peer_->port(); }
  // The value of the instant query `query`'s series whose label `instance`
  // is `instance`, as Prometheus writes it ("1", "0"), empty when absent.
  std::string Value(const std::string& query, const std::string& instance) const;
  std::string Output() const { return peer_->Output(); }

 private:
  TempDir dir_;
  std::unique_ptr<WebPeer> peer_;
};

// Alertmanager with `config` (YAML), a single member (no cluster).
class AlertmanagerServer {
 public:
  explicit AlertmanagerServer(const std::string& config);
  int port() const { return peer_->port(); }
  std::string Url() const { return "http://127.0.0.1:" + std::to_string(port()); }
  // GET /api/v2/alerts: the alerts it holds, as JSON.
  std::string Alerts() const { return peer_->Get("/api/v2/alerts"); }
  std::string Output() const { return peer_->Output(); }

 private:
  TempDir dir_;
  std::unique_ptr<WebPeer> peer_;
};

}  // namespace tallyvox::testing

#endif  // TALLYVOX_TESTS_SUPPORT_PROMETHEUS_PEERS_H_
