#include "http/router.h"

#include <algorithm>
#include <stdexcept>

namespace tallyvox::http {

void Router::Add(std::string method, std::string path, Handler handler) {
  if (path.empty() || path.front() != '/' || Find(method, path) != nullptr) {
    throw std::logic_error("Router::Add: bad or second route for " + method + " " + path);
  }
  routes_.push_back(Entry{std::move(method), std::move(path), std::move(handler)});
}

const Router::Entry* Router::Find(const std::string& method, const std::string& path) const {
  for (const Entry& r : routes_) {
    if (r.path == path && r.method == method) return &r;
  }
  if (method == "HEAD") return Find("GET", path);
  return nullptr;
}

Response Router::Route(const Request& request) const {
  if (guard_) {
    try {
      if (std::optional<Response> refused = guard_(request)) return *refused;
    } catch (...) {
      return StatusResponse(500);
    }
  }
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
