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

bool MetricsOption::Start(monitor::ObserverList& observers) {
  if (address_.empty()) return true;
  try {
    // The pages beside /metrics: registered here only.
    endpoint_ = metrics::StartMetricsEndpoint(address_, metrics_, {{"/", metrics::LandingPage}});
  } catch (const metrics::MetricsEndpointError& e) {
    std::fprintf(stderr, "tallyvox: %s\n", e.what());
    return false;
  }
  observers.Add(&metrics_);
  std::fprintf(stderr, "tallyvox: serving /metrics on %s\n", endpoint_->Address().c_str());
  return true;
}

}  // namespace tallyvox::app
