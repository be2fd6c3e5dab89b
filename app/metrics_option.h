// `--metrics ADDRESS:PORT`: the monitor's numbers for Prometheus at
// http://ADDRESS:PORT/metrics (metrics/monitor_metrics.h lists them), for
// the headless front end and the window alike, with a landing page at "/"
// that links it (metrics::LandingPage; a front end that serves a page of
// its own there registers it in Start instead), and /probe?target=HOST[:PORT]
// (exporter/probe_exporter.h) once EnableProbes was called. ":PORT" listens on every
// address; port 0 takes a free port; the address served is printed on
// standard error:
//   tallyvox: serving /metrics on 127.0.0.1:41521
//   tallyvox: serving /metrics on [::]:9741 (every IPv6 and IPv4 address)
#ifndef TALLYVOX_APP_METRICS_OPTION_H_
#define TALLYVOX_APP_METRICS_OPTION_H_

#include <CLI/CLI.hpp>
#include <functional>
#include <memory>
#include <string>

#include "exporter/probe_exporter.h"
#include "metrics/endpoint.h"
#include "metrics/monitor_metrics.h"
#include "monitor/observer.h"

namespace tallyvox::app {

class MetricsOption {
 public:
  // Registers --metrics on `cli`.
  explicit MetricsOption(CLI::App& cli);
  MetricsOption(const MetricsOption&) = delete;
  MetricsOption& operator=(const MetricsOption&) = delete;

  // When --metrics was given: starts the endpoint and adds the metrics to
  // `observers` (before the monitor runs). False, with the reason printed on
  // standard error, when the endpoint cannot start.
  bool Start(monitor::ObserverList& observers);
  // Routes the endpoint serves beside /metrics (`status_page`: the status
  // page's, which Start then names), and its guard (Basic authentication).
  // REQUIRES: before Start.
  void AddRoutes(std::function<void(http::Router&)> routes, bool status_page) {
    routes_ = std::move(routes);
    status_page_ = status_page;
  }
  // Serves GET /probe with the probe settings `probe` (port, time-outs,
  // answer cap): at most exporter::kMaxProbesInFlight probes at once. The
  // server then holds up to kProbeConnections connections and queues up to
  // kProbeQueue requests, so a burst of scrapes is read and answered (503
  // past the bound) rather than evicted. REQUIRES: before Start.
  void EnableProbes(const monitor::ProbeSettings& probe);
  static constexpr int kProbeConnections = 256;
  static constexpr int kProbeQueue = 16 + exporter::kMaxProbesInFlight;
  // Sets the address (`tallyvox serve --listen`). REQUIRES: before Start.
  void SetAddress(std::string address) { address_ = std::move(address); }
  // The endpoint speaks HTTPS only with `tls` ([web] tls_cert and tls_key).
  // REQUIRES: before Start.
  void SetTls(std::shared_ptr<const http::TlsContext> tls) { tls_ = std::move(tls); }
  bool given() const { return !address_.empty(); }
  // The metrics as the stall guard's listener (its numbers, whether or not
  // an endpoint serves them).
  monitor::StallListener* stall_listener() { return &metrics_; }
  // The numbers themselves (served or not).
  metrics::MonitorMetrics* metrics() { return &metrics_; }

 private:
  std::string address_;
  std::function<void(http::Router&)> routes_;
  bool status_page_ = false;
  std::shared_ptr<const http::TlsContext> tls_;
  metrics::MonitorMetrics metrics_;
  // Declared before the endpoint: ended after it (the server first stops
  // answering, then the probes in flight end).
  std::shared_ptr<exporter::ProbeExporter> exporter_;
  std::unique_ptr<metrics::MetricsEndpoint> endpoint_;
};

}  // namespace tallyvox::app

#endif  // TALLYVOX_APP_METRICS_OPTION_H_
