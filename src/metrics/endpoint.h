// MetricsEndpoint: serves the Prometheus text of a MetricStore at /metrics
// over HTTP, on our own server (http/server.h) with its threads: an event
// thread and two workers. A scrape renders the store under its lock and
// never waits for the monitor's thread.
//
// What it takes is bounded (the server's defaults): at most 32 connections
// accepted or being read, the one idle the longest closed to make room; the
// request line and headers together at most 8 KiB (431 beyond), a body at
// most 1 KiB (413, never kept); one deadline of 5 s for a whole request from
// its accept (408); answers written within 5 s; one request per connection.
// GET and HEAD of /metrics answer 200, as do those of the routes the front
// end adds (the program adds the landing page at "/", LandingPage, or the
// status page's routes when a history is kept); other
// paths 404, other methods 405. A scrape also reports the process (CPU,
// memory, descriptors, start: process_metrics.h).
// It has no authentication of its own (the status page's routes put every
// path, /metrics too, behind Basic authentication when `[web] users` is
// set): else bind it to loopback or a network your monitoring system alone
// reaches.
//
// Usage (a front end; the window calls the same):
//   auto endpoint = StartMetricsEndpoint("127.0.0.1:9741", metrics, [](http::Router& r) {
//     r.Add("GET", "/", LandingPage);
//   });  // raises on failure
//   std::fprintf(stderr, "serving /metrics on %s\n", endpoint->Address().c_str());
#ifndef TALLYVOX_METRICS_ENDPOINT_H_
#define TALLYVOX_METRICS_ENDPOINT_H_

#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "base/mutex.h"
#include "base/thread_annotations.h"
#include "http/router.h"
#include "metrics/metric_store.h"
#include "metrics/monitor_metrics.h"

namespace tallyvox::http {
class Router;
class Server;
class TlsContext;
}  // namespace tallyvox::http

namespace tallyvox::metrics {

class MetricsEndpointError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct ListenAddress {
  std::string host;  // an IPv4 or IPv6 address or a host name; empty: every address
  int port = 0;      // 0: a free port of the system's choosing
};

// "ADDRESS:PORT", an IPv6 address in brackets ("[::1]:9741"), or ":PORT"
// for every address (IPv6 and IPv4 where the host has IPv6). Raises
// MetricsEndpointError naming what is wrong.
ListenAddress ParseListenAddress(const std::string& text);

// A page served beside /metrics (GET and HEAD), such as the landing page.
struct Page {
  std::string path;  // starts with "/"; not "/metrics"
  http::Handler handler;
};

// The landing page: a small HTML page that links /metrics.
http::Response LandingPage(const http::Request& request);

class MetricsEndpoint {
 public:
  // Binds at once (raises MetricsEndpointError when it cannot) and serves
  // `store` until destroyed. REQUIRES: `store` outlives the endpoint.
  // `more_routes`, when set, adds further routes beside /metrics (the status
  // page, status/status_page.h). With `tls` it speaks HTTPS only
  // (http/tls_context.h).
  MetricsEndpoint(const ListenAddress& address, const MetricStore& store,
                  const std::function<void(http::Router&)>& more_routes = {},
                  std::shared_ptr<const http::TlsContext> tls = nullptr);
  // Stops serving; waits at most 0.1 s for a request in progress.
  ~MetricsEndpoint();
  MetricsEndpoint(const MetricsEndpoint&) = delete;
  MetricsEndpoint& operator=(const MetricsEndpoint&) = delete;

  // The port bound (the system's choice when 0 was asked for).
  int Port() const { return port_; }
  // "host:port" ("[host]:port" for IPv6), for messages; for every address
  // what was bound, "[::]:9741 (every IPv6 and IPv4 address)" or
  // "0.0.0.0:9741 (every IPv4 address)".
  std::string Address() const;

 private:
  // What the workers render, shared with them: a worker that outlives the
  // endpoint finds no store.
  struct Source {
    Mutex mu;
    const MetricStore* store GUARDED_BY(mu) = nullptr;
  };
  std::shared_ptr<Source> source_;
  std::unique_ptr<http::Server> server_;
  std::string host_;  // as asked for; empty: every address
  std::string bound_host_;
  int port_ = 0;
};

// The endpoint for `--metrics ADDRESS:PORT` over a monitor's metrics.
std::unique_ptr<MetricsEndpoint> StartMetricsEndpoint(
    const std::string& address, const MonitorMetrics& metrics,
    const std::function<void(http::Router&)>& more_routes = {},
    std::shared_ptr<const http::TlsContext> tls = nullptr);

}  // namespace tallyvox::metrics

#endif  // TALLYVOX_METRICS_ENDPOINT_H_
