// Server: a small HTTP/1.1 server whose every cost has a bound, so that no
// client, however slow, idle or greedy, can starve its host or its other
// clients.
//
// Threads: one event thread accepts connections and reads requests without
// ever blocking (poll); a fixed pool of workers runs the router's handlers
// for complete requests taken from a bounded queue and writes the answers.
//
// Bounds (ServerOptions):
//   - at most `max_connections` (32) connections accepted or being read; one
//     more and the connection idle the longest (the one whose last byte came
//     the longest ago) is closed to make room, so a new client always gets in
//     and idle clients cannot hold descriptors;
//   - one whole deadline per request, `request_deadline` (5 s) from its
//     accept: a request not read by then is answered 408 and closed, however
//     it trickles; a request that waited in the queue past it is answered
//     503 without running its handler;
//   - a request is read by RequestReader with its caps (8 KiB head, 1 KiB
//     body); a refused one is answered by the event thread (400, 413, 431,
//     501, 505), and what the client goes on sending is read and dropped for
//     at most `linger` before the close;
//   - `queue_capacity` (16) complete requests wait for a worker; past it a
//     request is answered 503;
//   - with `tls` every connection speaks TLS (http/tls_context.h): its
//     handshake is part of the request and bounded by the same deadline;
//   - `workers` (2) run handlers; each answer is written within
//     `write_deadline` (5 s), so a client that never reads holds a worker no
//     longer; then the connection closes (one request per connection,
//     "Connection: close");
//   - a deferred route (Router::AddDeferred) hands its connection to a
//     Responder and frees its worker at once: such connections are out of
//     the bounds above, and their handler bounds how many wait and for how
//     long (the /probe route: at most 64 probes in flight, each within its
//     deadline; 503 at once beyond).
// The process's descriptors for the server
// are so at most max_connections + queue_capacity + workers + 2, plus the
// deferred connections.
//
// Invariant: every descriptor is close-on-exec; sends never raise SIGPIPE.
#ifndef TALLYVOX_HTTP_SERVER_H_
#define TALLYVOX_HTTP_SERVER_H_

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "http/request_reader.h"
#include "http/router.h"

namespace tallyvox::http {

class TlsContext;

class ServerError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct ServerOptions {
  int max_connections = 32;
  int workers = 2;
  int queue_capacity = 16;
  std::chrono::milliseconds request_deadline{5000};
  std::chrono::milliseconds write_deadline{5000};
  std::chrono::milliseconds linger{1000};
  RequestLimits limits;
  std::shared_ptr<const TlsContext> tls;  // null: plain HTTP
};

// What the server holds now, and what it did so far.
struct ServerStats {
  int connections = 0;    // accepted or being read (the event thread's)
  int queued = 0;         // complete requests waiting for a worker
  size_t held_bytes = 0;  // request bytes held for both
  uint64_t accepted = 0;
  uint64_t evicted = 0;    // idle connections closed to make room
  uint64_t timed_out = 0;  // requests answered 408 at their deadline
};

class Server {
 public:
  // Listens on host:port at once (empty host: every address, see
  // io::Listen; port 0: a free port of the system's choosing) and serves `router` until destroyed.
  // Raises ServerError naming the address and the reason when it cannot listen. REQUIRES: every
  // option is at least 1 (times at least 1 ms).
  Server(const std::string& host, int port, Router router, ServerOptions options = {});
  // Stops serving within 0.1 s: a worker waiting to write gives up at once;
  // a handler still running then is left to end by itself.
  ~Server();
  Server(const Server&) = delete;
  Server& operator=(const Server&) = delete;

  // The port listened on.
  int port() const { return port_; }
  // The numeric address listened on ("::" for every IPv6 and IPv4 address,
  // "0.0.0.0" for every IPv4 one).
  const std::string& bound_host() const { return bound_host_; }
  // Safe from any thread.
  ServerStats Stats() const;

 private:
  class Core;
  std::shared_ptr<Core> core_;
  int port_ = 0;
  std::string bound_host_;
  std::vector<std::thread> threads_;
};

}  // namespace tallyvox::http

#endif  // TALLYVOX_HTTP_SERVER_H_
