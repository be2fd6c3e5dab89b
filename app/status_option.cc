#include "app/status_option.h"

#include <cstdio>

#include "http/basic_auth.h"
#include "http/tls_context.h"
#include "metrics/endpoint.h"
#include "monitor/interval.h"
#include "status/status_page.h"

namespace tallyvox::app {

bool StatusOption::Start(monitor::ObserverList& observers, MetricsOption* metrics) {
  const bool on_metrics = metrics != nullptr && metrics->given();
  std::shared_ptr<http::BasicAuth> auth;
  if (!settings_.web.users.empty()) {
    try {
      auth = std::make_shared<http::BasicAuth>(settings_.web.users);
    } catch (const std::invalid_argument& e) {
      std::fprintf(stderr, "tallyvox: %s: web.users: %s\n", settings_.path.c_str(), e.what());
      return false;
    }
  }
  std::shared_ptr<const http::TlsContext> tls;
  if (!settings_.web.tls_cert.empty()) {
    try {
      tls = http::TlsContext::Load(settings_.web.tls_cert, settings_.web.tls_key);
    } catch (const http::TlsError& e) {
      std::fprintf(stderr, "tallyvox: %s: web.tls_cert and web.tls_key: %s\n",
                   settings_.path.c_str(), e.what());
      return false;
    }
  }
  std::shared_ptr<status::StatusPage> page;
  if (!settings_.history.database.empty()) {
    int64_t interval = 0;
    try {
      interval = monitor::ParseInterval(settings_.interval);
    } catch (const monitor::EConvertError&) {
      // The monitor says so itself at the first "Poll"; the page shows no
      // next cycle.
    }
    board_ = std::make_shared<status::StatusBoard>(interval);
    observers.Add(board_.get());
    page = std::make_shared<status::StatusPage>(board_, settings_.history.database);
  } else if (!settings_.web.listen.empty() && !on_metrics) {
    std::fprintf(stderr,
                 "tallyvox: warning: %s: web.listen is not served: the status page needs a "
                 "[history]\n",
                 settings_.path.c_str());
  }
  auto routes = [page, auth](http::Router& router) {
    if (page != nullptr) status::AddStatusRoutes(router, page);
    if (auth != nullptr) {
      router.SetGuard([auth](const http::Request& request) { return auth->Check(request); });
    }
  };
  if (on_metrics) {
    metrics->SetTls(tls);
    if (page != nullptr || auth != nullptr) metrics->AddRoutes(routes, page != nullptr);
    return true;
  }
  if (settings_.web.listen.empty() || page == nullptr) return true;
  try {
    const metrics::ListenAddress address = metrics::ParseListenAddress(settings_.web.listen);
    http::Router router;
    routes(router);
    http::ServerOptions options;
    options.tls = tls;
    server_ = std::make_unique<http::Server>(address.host, address.port, std::move(router),
                                             std::move(options));
    const std::string host =
        address.host.find(':') != std::string::npos ? "[" + address.host + "]" : address.host;
    std::fprintf(stderr, "tallyvox: serving the status page on %s%s:%d\n",
                 tls != nullptr ? "https://" : "", host.c_str(), server_->port());
  } catch (const std::exception& e) {
    std::fprintf(stderr, "tallyvox: web.listen %s: %s\n", settings_.web.listen.c_str(), e.what());
    return false;
  }
  return true;
}

}  // namespace tallyvox::app
