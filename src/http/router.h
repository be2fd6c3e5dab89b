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
// A deferred route (AddDeferred) answers later through a Responder
// (http/responder.h): its handler only hands the request on and returns, so
// a long task (a probe) holds no worker; whoever takes the Responder bounds
// the wait and answers from its own thread.
//
// Thread safety: Route() and Dispatch() may run on several threads at once;
// Add() and AddDeferred() only before the router is handed to a server.
// Handlers run on the server's worker threads and must bound their own
// waits.
#ifndef TALLYVOX_HTTP_ROUTER_H_
#define TALLYVOX_HTTP_ROUTER_H_

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "http/request.h"
#include "http/responder.h"
#include "http/response.h"

namespace tallyvox::http {

using Handler = std::function<Response(const Request&)>;
// Takes the request and the Responder that answers it, and returns at once.
using DeferredHandler = std::function<void(const Request&, Responder)>;

class Router {
 public:
  // REQUIRES: no route for (method, path) yet; `path` starts with "/".
  void Add(std::string method, std::string path, Handler handler);

  // REQUIRES: as for Add. Route() answers such a path 500 (it has no
  // Responder); the server dispatches it.
  void AddDeferred(std::string method, std::string path, DeferredHandler handler);

  Response Route(const Request& request) const;
  // The server's entry: a deferred route's handler gets `responder` (after
  // the guard let the request pass); every other request is answered at
  // once with Route()'s answer. A deferred handler that raises before it
  // passed the responder on answers 500 (the Responder's destructor).
  void Dispatch(const Request& request, Responder responder) const;
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
    DeferredHandler deferred;  // set for a deferred route
  };
  // The guard's refusal, or nothing when the request may pass.
  std::optional<Response> Refusal(const Request& request) const;
  // The route for method on path (GET's for HEAD), or nullptr.
  const Entry* Find(const std::string& method, const std::string& path) const;

  std::vector<Entry> routes_;
  std::function<std::optional<Response>(const Request&)> guard_;
};

}  // namespace tallyvox::http

#endif  // TALLYVOX_HTTP_ROUTER_H_
