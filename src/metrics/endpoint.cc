#include "metrics/endpoint.h"

#include <charconv>

#include "http/server.h"
#include "metrics/process_metrics.h"

namespace tallyvox::metrics {
namespace {

constexpr char kContentType[] = "text/plain; version=0.0.4; charset=utf-8";

}  // namespace

ListenAddress ParseListenAddress(const std::string& text) {
  const auto fail = [&](const std::string& what) -> ListenAddress {
    throw MetricsEndpointError(
        "--metrics wants ADDRESS:PORT (such as 127.0.0.1:9741, [::1]:9741, or :9741 for every "
        "address), not \"" +
        text + "\": " + what);
  };
  const size_t colon = text.rfind(':');
  if (colon == std::string::npos) return fail("no port (a port alone is written :9741)");
  std::string host = text.substr(0, colon);
  const std::string port_text = text.substr(colon + 1);
  const bool opens = !host.empty() && host.front() == '[';
  const bool closes = !host.empty() && host.back() == ']';
  if (closes && !opens) return fail("a ] without its [");
  if (opens && (!closes || host.size() < 2)) {
    return fail(text.find(']') == std::string::npos ? "an unclosed [" : "no port after the ]");
  }
  if (opens) {
    host = host.substr(1, host.size() - 2);
    if (host.empty()) return fail("no address inside the brackets");
  } else if (host.find(':') != std::string::npos) {
    return fail("put an IPv6 address in brackets");
  }
  int port = -1;
  const auto [end, ec] =
      std::from_chars(port_text.data(), port_text.data() + port_text.size(), port);
  if (ec != std::errc() || end != port_text.data() + port_text.size() || port < 0 || port > 65535) {
    return fail("the port must be from 0 to 65535");
  }
  return ListenAddress{host, port};
}

http::Response LandingPage(const http::Request&) {
  http::Response r;
  r.content_type = "text/html; charset=utf-8";
  r.body =
      "<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\"><title>Tallyvox</title></head>\n"
      "<body><h1>Tallyvox</h1>\n<p>The server monitor's numbers for Prometheus: "
      "<a href=\"/metrics\">/metrics</a></p>\n</body></html>\n";
  return r;
}

MetricsEndpoint::MetricsEndpoint(const ListenAddress& address, const MetricStore& store,
                                 const std::function<void(http::Router&)>& more_routes,
                                 std::shared_ptr<const http::TlsContext> tls)
    : source_(std::make_shared<Source>()), host_(address.host) {
  source_->store = &store;
  http::Router router;
  router.Add("GET", "/metrics", [source = source_](const http::Request&) {
    MutexLock lock(&source->mu);
    if (source->store == nullptr) return http::StatusResponse(503);  // going away
    http::Response r;
    r.content_type = kContentType;
    r.body = source->store->Render() + RenderProcessMetrics();
    return r;
  });
  if (more_routes) more_routes(router);
  try {
    http::ServerOptions options;
    options.tls = std::move(tls);
    server_ = std::make_unique<http::Server>(address.host, address.port, std::move(router),
                                             std::move(options));
  } catch (const http::ServerError&) {
    port_ = address.port;
    throw MetricsEndpointError("cannot serve /metrics on " + Address() +
                               " (address in use, not this machine's, or a port reserved "
                               "for root?)");
  }
  port_ = server_->port();
  bound_host_ = server_->bound_host();
}

MetricsEndpoint::~MetricsEndpoint() {
  {
    // From now on no worker reads the store, which may go next.
    MutexLock lock(&source_->mu);
    source_->store = nullptr;
  }
  server_.reset();  // within 0.1 s
}

std::string MetricsEndpoint::Address() const {
  const std::string& shown = host_.empty() ? bound_host_ : host_;
  const std::string host = shown.find(':') != std::string::npos ? "[" + shown + "]" : shown;
  const std::string address = host + ":" + std::to_string(port_);
  if (!host_.empty() || bound_host_.empty()) return address;
  return address +
         (bound_host_ == "::" ? " (every IPv6 and IPv4 address)" : " (every IPv4 address)");
}

std::unique_ptr<MetricsEndpoint> StartMetricsEndpoint(
    const std::string& address, const MonitorMetrics& metrics,
    const std::function<void(http::Router&)>& more_routes,
    std::shared_ptr<const http::TlsContext> tls) {
  return std::make_unique<MetricsEndpoint>(ParseListenAddress(address), metrics.store(),
                                           more_routes, std::move(tls));
}

}  // namespace tallyvox::metrics
