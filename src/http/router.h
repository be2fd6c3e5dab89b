// Router: the table from (method, path) to the handler that answers it.
// Paths match exactly (the request's percent-decoded path, without its
// query). A GET route answers HEAD as well (the server drops the body).
// Answers of its own: 404 for a path no route has, 405 with an Allow header
// listing the path's methods for a method it has no route for, 500 when a
// handler throws.
//
// Usage:
//   Router router;
//   router.Add("GET", "/metrics", [](const Request&) { ...; return response; });
//   Server server("127.0.0.1", 0, std::move(router));
//
// Thread safety: Route() may run on several threads at once; Add() only
// before the router is handed to a server. Handlers run on the server's
// worker threads and must bound their own waits.
#ifndef TALLYVOX_HTTP_ROUTER_H_
#define TALLYVOX_HTTP_ROUTER_H_

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "http/request.h"
#include "http/response.h"

namespace tallyvox::http {

using Handler = std::function<Response(const Request&)>;

class Router {
 public:
  // REQUIRES: no route for (method, path) yet; `path` starts with "/".
  void Add(std::string method, std::string path, Handler handler);

  Response Route(const Request& request) const;
  // A check every request passes first, whatever its path (so that no
  // answer tells which paths exist): it returns the answer for a request it
  // refuses (a 401), nothing for one that may pass. REQUIRES: before the
  // router is handed to a server.
  void SetGuard(std::function<std::optional<Response>(const Request&)> guard) {
    guard_ = std::move(guard);
  }

 private:
  struct Entry {
    std::string method;
    std::string path;
    Handler handler;
  };
  // The route for method on path (GET's for HEAD), or nullptr.
  const Entry* Find(const std::string& method, const std::string& path) const;

  std::vector<Entry> routes_;
  std::function<std::optional<Response>(const Request&)> guard_;
};

}  // namespace tallyvox::http

#endif  // TALLYVOX_HTTP_ROUTER_H_
