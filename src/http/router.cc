#include "http/router.h"

#include <algorithm>
#include <stdexcept>

namespace tallyvox::http {

void Router::Add(std::string method, std::string path, Handler handler) {
  if (path.empty() || path.front() != '/' || Find(method, path) != nullptr) {
    throw std::logic_error("Router::Add: bad or second route for " + method + " " + path);
  }
  routes_.push_back(Entry{std::move(method), std::move(path), std::move(handler), {}});
}

const Router::Entry* Router::Find(const std::string& method, const std::string& path) const {
  for (const Entry& r : routes_) {
    if (r.path == path && r.method == method) return &r;
  }
  if (method == "HEAD") return Find("GET", path);
  return nullptr;
}

void Router::AddDeferred(std::string method, std::string path, DeferredHandler handler) {
  Add(method, path, [](const Request&) { return StatusResponse(500); });
  routes_.back().deferred = std::move(handler);
}

std::optional<Response> Router::Refusal(const Request& request) const {
  if (!guard_) return std::nullopt;
  try {
    return guard_(request);
  } catch (...) {
    return StatusResponse(500);
  }
}

void Router::Dispatch(const Request& request, Responder responder) const {
  const Entry* route = Find(request.method, request.path);
  if (route == nullptr || !route->deferred) {
    responder.Send(Route(request));
    return;
  }
  if (std::optional<Response> refused = Refusal(request)) {
    responder.Send(*std::move(refused));
    return;
  }
  try {
    route->deferred(request, std::move(responder));
  } catch (...) {
    // The responder, wherever it was left, answers 500 when dropped.
  }
}

Response Router::Route(const Request& request) const {
  if (std::optional<Response> refused = Refusal(request)) return *std::move(refused);
  const Entry* route = Find(request.method, request.path);
  if (route == nullptr) {
    std::vector<std::string> allowed;
    for (const Entry& r : routes_) {
      if (r.path != request.path) continue;
      allowed.push_back(r.method);
      if (r.method == "GET") allowed.push_back("HEAD");
    }
    if (allowed.empty()) return StatusResponse(404);
    std::sort(allowed.begin(), allowed.end());
    allowed.erase(std::unique(allowed.begin(), allowed.end()), allowed.end());
    std::string allow;
    for (const std::string& m : allowed) allow += (allow.empty() ? "" : ", ") + m;
    Response r = StatusResponse(405);
    r.headers.push_back(Header{"Allow", allow});
    return r;
  }
  try {
    return route->handler(request);
  } catch (...) {
    return StatusResponse(500);
  }
}

}  // namespace tallyvox::http
