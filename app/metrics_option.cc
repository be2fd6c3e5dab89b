#include "app/metrics_option.h"

#include <cstdio>

namespace tallyvox::app {

MetricsOption::MetricsOption(CLI::App& cli) {
  cli.add_option("--metrics", address_,
                 "serve Prometheus metrics at http://ADDRESS:PORT/metrics (port 0: a free "
                 "one, printed on standard error)")
      ->type_name("ADDRESS:PORT");
}

bool MetricsOption::Start(monitor::ObserverList& observers) {
  if (address_.empty()) return true;
  try {
    endpoint_ = metrics::StartMetricsEndpoint(address_, metrics_, routes_);
  } catch (const metrics::MetricsEndpointError& e) {
    std::fprintf(stderr, "tallyvox: %s\n", e.what());
    return false;
  }
  observers.Add(&metrics_);
  std::fprintf(stderr, "tallyvox: serving /metrics on %s\n", endpoint_->Address().c_str());
  if (status_page_) {
    std::fprintf(stderr, "tallyvox: serving the status page on %s\n", endpoint_->Address().c_str());
  }
  return true;
}

}  // namespace tallyvox::app
