// The server's socket operations. Every descriptor is close-on-exec and
// non-blocking, and every send passes MSG_NOSIGNAL: a peer that hangs up
// makes a send fail with EPIPE, never raises SIGPIPE.
#ifndef TALLYVOX_HTTP_SOCKET_IO_H_
#define TALLYVOX_HTTP_SOCKET_IO_H_

#include <chrono>
#include <cstddef>
#include <string>
#include <string_view>

namespace tallyvox::http::io {

using Clock = std::chrono::steady_clock;

// Where a listening socket is bound: the numeric address ("::" when it
// takes every IPv6 and IPv4 address, "0.0.0.0" every IPv4 one) and port.
struct Bound {
  std::string host;
  int port = 0;
};

// A socket listening on host:port (an IPv4 or IPv6 address or a host name;
// empty: every address, IPv6 and IPv4 on one socket where the host has
// IPv6, else every IPv4 address; port 0: the system chooses), with
// SO_REUSEADDR so a restart binds while old connections linger, and never
// SO_REUSEPORT, with which a second program could bind the same port and
// take half the requests. Returns the descriptor and fills *bound, or -1
// with the reason in *error.
int Listen(const std::string& host, int port, Bound* bound, std::string* error);

// Accepts one connection (non-blocking, close-on-exec); -1 with errno set.
int Accept(int listen_fd);

// One send that does not wait; true when every byte went.
bool SendNow(int fd, std::string_view bytes);

// Sends `head` then `body`, waiting for room in the socket until `deadline`
// or until `stop_fd` turns readable. True when every byte went.
bool SendAll(int fd, std::string_view head, std::string_view body, Clock::time_point deadline,
             int stop_fd);

// Reads and drops what the peer has sent already, at most `limit` bytes,
// without waiting; so that closing the socket does not reset the
// connection before the peer read the answer. False at the end of input or
// on an error.
bool DropInput(int fd, size_t limit);

}  // namespace tallyvox::http::io

#endif  // TALLYVOX_HTTP_SOCKET_IO_H_
