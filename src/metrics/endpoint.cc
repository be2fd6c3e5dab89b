#include "metrics/endpoint.h"

#include <charconv>

#include "http/server.h"

namespace tallyvox::metrics {
namespace {

constexpr char kContentType[] = "text/plain; version=0.0.4; charset=utf-8";

}  // namespace

ListenAddress ParseListenAddress(const std::string& text) {
  const auto fail = [&](const std::string& what) -> ListenAddress {
    throw MetricsEndpointError("--metrics wants ADDRESS:PORT (such as 127.0.0.1:9741), not \"" +
                               text + "\": " + what);
  };
  const size_t colon = text.rfind(':');
  if (colon == std::string::npos) return fail("no port");
  std::string host = text.substr(0, colon);
  const std::string port_text = text.substr(colon + 1);
  if (host.size() >= 2 && host.front() == '[' && host.back() == ']') {
    host = host.substr(1, host.size() - 2);
  } else if (host.find(':') != std::string::npos) {
    return fail("put an IPv6 address in brackets");
  }
  if (host.empty()) return fail("no address (0.0.0.0 listens on every one)");
  int port = -1;
  const auto [end, ec] =
      std::from_chars(port_text.data(), port_text.data() + port_text.size(), port);
  if (ec != std::errc() || end != port_text.data() + port_text.size() || port < 0 || port > 65535) {
    return fail("the port must be from 0 to 65535");
  }
  return ListenAddress{host, port};
}

MetricsEndpoint::MetricsEndpoint(const ListenAddress& address, const MetricStore& store,
                                 const std::function<void(http::Router&)>& more_routes)
    : source_(std::make_shared<Source>()), host_(address.host) {
  source_->store = &store;
  http::Router router;
  router.Add("GET", "/metrics", [source = source_](const http::Request&) {
    MutexLock lock(&source->mu);
    if (source->store == nullptr) return http::StatusResponse(503);  // going away
    http::Response r;
    r.content_type = kContentType;
    r.body = source->store->Render();
    return r;
  });
  if (more_routes) more_routes(router);
  try {
    server_ = std::make_unique<http::Server>(address.host, address.port, std::move(router));
  } catch (const http::ServerError&) {
    port_ = address.port;
    throw MetricsEndpointError("cannot serve /metrics on " + Address() +
                               " (address in use, not this machine's, or a port reserved "
                               "for root?)");
  }
  port_ = server_->port();
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
  const std::string host = host_.find(':') != std::string::npos ? "[" + host_ + "]" : host_;
  return host + ":" + std::to_string(port_);
}

std::unique_ptr<MetricsEndpoint> StartMetricsEndpoint(
    const std::string& address, const MonitorMetrics& metrics,
    const std::function<void(http::Router&)>& more_routes) {
  return std::make_unique<MetricsEndpoint>(ParseListenAddress(address), metrics.store(),
                                           more_routes);
}

}  // namespace tallyvox::metrics
