// The status page (status/status_page.h) of a monitor that keeps a probe
// history: on the --metrics port beside /metrics, or, without --metrics, on
// the settings' [web] listen address. Its board follows the monitor's
// events from Start on. With [web] users, every request to that endpoint,
// /metrics included, needs HTTP Basic authentication (http/basic_auth.h);
// with [web] tls_cert and tls_key it speaks HTTPS only (http/tls_context.h).
#ifndef TALLYVOX_APP_STATUS_OPTION_H_
#define TALLYVOX_APP_STATUS_OPTION_H_

#include <memory>

#include "app/metrics_option.h"
#include "http/server.h"
#include "monitor/observer.h"
#include "settings/settings.h"
#include "status/status_board.h"

namespace tallyvox::app {

class StatusOption {
 public:
  explicit StatusOption(const monitor::Settings& settings) : settings_(settings) {}

  // Before the monitor runs and before metrics->Start: adds the board to
  // `observers` and the page's routes to the metrics endpoint when
  // --metrics was given, else serves them on [web] listen. Without a
  // history it serves no page (a [web] listen then gets a warning), but
  // [web] users and TLS still guard /metrics. False, with the reason on
  // standard error, when the address cannot be served, a user's hash is
  // refused, or the certificate and key cannot be used.
  bool Start(monitor::ObserverList& observers, MetricsOption* metrics);

 private:
  const monitor::Settings& settings_;
  std::shared_ptr<status::StatusBoard> board_;
  std::unique_ptr<http::Server> server_;
};

}  // namespace tallyvox::app

#endif  // TALLYVOX_APP_STATUS_OPTION_H_
