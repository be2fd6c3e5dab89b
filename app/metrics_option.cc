#include "app/metrics_option.h"

#include <cstdio>

#include "app/revision.h"

namespace tallyvox::app {

MetricsOption::MetricsOption(CLI::App& cli)
    : metrics_(metrics::BuildInfo{TALLYVOX_VERSION, kRevision}) {
  cli.add_option("--metrics", address_,
                 "serve Prometheus metrics at http://ADDRESS:PORT/metrics (127.0.0.1:9741, "
                 "[::1]:9741; :9741 for every address; port 0: a free one, printed on "
                 "standard error)")
      ->type_name("ADDRESS:PORT");
}

void MetricsOption::EnableProbes(const monitor::ProbeSettings& probe) {
  exporter::ExporterOptions options;
  options.probe = probe;
  exporter_ = std::make_shared<exporter::ProbeExporter>(options);
}

bool MetricsOption::Start(monitor::ObserverList& observers) {
  if (address_.empty()) return true;
  try {
    // The pages beside /metrics: the status page's when a history is kept,
    // else the landing page. Registered here only.
    const std::function<void(http::Router&)> landing = [](http::Router& router) {
      router.Add("GET", "/", metrics::LandingPage);
    };
    const std::function<void(http::Router&)> pages = routes_ ? routes_ : landing;
    http::ServerOptions options;
    options.tls = tls_;
    if (exporter_ != nullptr) {
      options.max_connections = kProbeConnections;
      options.queue_capacity = kProbeQueue;
    }
    endpoint_ = metrics::StartMetricsEndpoint(
        address_, metrics_,
        [&pages, this](http::Router& router) {
          pages(router);
          if (exporter_ != nullptr) exporter::ProbeExporter::AddRoute(router, exporter_);
        },
        options);
  } catch (const metrics::MetricsEndpointError& e) {
    std::fprintf(stderr, "tallyvox: %s\n", e.what());
    return false;
  }
  observers.Add(&metrics_);
  // With TLS the address is told as the URL's start ("https://127.0.0.1:9741").
  const std::string where = (tls_ != nullptr ? "https://" : "") + endpoint_->Address();
  std::fprintf(stderr, "tallyvox: serving /metrics on %s\n", where.c_str());
  if (status_page_) {
    std::fprintf(stderr, "tallyvox: serving the status page on %s\n", where.c_str());
  }
  return true;
}

}  // namespace tallyvox::app
