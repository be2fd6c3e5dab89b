#include "http/socket_io.h"

#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace tallyvox::http::io {

namespace {

// A listening socket on the first of `found` that binds, or -1 with the
// reason in *error. `dual`: an IPv6 socket takes IPv4 too (IPV6_V6ONLY off).
int BindFirst(const addrinfo* found, bool dual, std::string* error) {
  *error = "no address";
  for (const addrinfo* a = found; a != nullptr; a = a->ai_next) {
    const int fd =
        ::socket(a->ai_family, a->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, a->ai_protocol);
    if (fd < 0) {
      *error = std::strerror(errno);
      continue;
    }
    const int yes = 1;
    const int no = 0;
    if (::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes) != 0 ||
        (dual && ::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &no, sizeof no) != 0) ||
        ::bind(fd, a->ai_addr, a->ai_addrlen) != 0 || ::listen(fd, SOMAXCONN) != 0) {
      *error = std::strerror(errno);
      ::close(fd);
      continue;
    }
    return fd;
  }
  return -1;
}

int ListenOn(const char* host, int family, int port, std::string* error) {
  addrinfo hints{};
  hints.ai_family = family;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
  addrinfo* found = nullptr;
  const std::string service = std::to_string(port);
  const int rc = ::getaddrinfo(host, service.c_str(), &hints, &found);
  if (rc != 0) {
    *error = ::gai_strerror(rc);
    return -1;
  }
  const int fd = BindFirst(found, host == nullptr && family == AF_INET6, error);
  ::freeaddrinfo(found);
  return fd;
}

// The numeric host and the port `fd` is bound to.
bool BoundAddress(int fd, std::string* host, int* port, std::string* error) {
  sockaddr_storage addr{};
  socklen_t len = sizeof addr;
  if (::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
    *error = std::strerror(errno);
    return false;
  }
  char name[NI_MAXHOST];
  char serv[NI_MAXSERV];
  if (::getnameinfo(reinterpret_cast<sockaddr*>(&addr), len, name, sizeof name, serv, sizeof serv,
                    NI_NUMERICHOST | NI_NUMERICSERV) != 0) {
    *error = "no port";
    return false;
  }
  *host = name;
  *port = std::atoi(serv);
  return true;
}

}  // namespace

int Listen(const std::string& host, int port, Bound* bound, std::string* error) {
  int fd = -1;
  if (host.empty()) {
    // Every address: one IPv6 socket that takes IPv4 as well, or IPv4 alone
    // on a host without IPv6.
    fd = ListenOn(nullptr, AF_INET6, port, error);
    if (fd < 0) fd = ListenOn(nullptr, AF_INET, port, error);
  } else {
    fd = ListenOn(host.c_str(), AF_UNSPEC, port, error);
  }
  if (fd < 0) return -1;
  if (!BoundAddress(fd, &bound->host, &bound->port, error)) {
    ::close(fd);
    return -1;
  }
  return fd;
}

int Accept(int listen_fd) {
  return ::accept4(listen_fd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
}

bool SendNow(int fd, std::string_view bytes) {
  const ssize_t n = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
  return n >= 0 && static_cast<size_t>(n) == bytes.size();
}

namespace {

// Waits until fd takes bytes; false past the deadline or once stop_fd is readable.
bool WaitWritable(int fd, Clock::time_point deadline, int stop_fd) {
  for (;;) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0) return false;
    pollfd fds[2] = {{fd, POLLOUT, 0}, {stop_fd, POLLIN, 0}};
    const int n = ::poll(fds, 2, static_cast<int>(std::min<int64_t>(left.count(), 60000)));
    if (n < 0 && errno != EINTR) return false;
    if (n <= 0) continue;
    if (fds[1].revents != 0) return false;
    return true;  // writable, or an error the next send reports
  }
}

}  // namespace

bool SendAll(int fd, std::string_view head, std::string_view body, Clock::time_point deadline,
             int stop_fd) {
  while (!head.empty() || !body.empty()) {
    iovec iov[2] = {{const_cast<char*>(head.data()), head.size()},
                    {const_cast<char*>(body.data()), body.size()}};
    msghdr msg{};
    msg.msg_iov = head.empty() ? &iov[1] : iov;
    msg.msg_iovlen = head.empty() ? 1 : 2;
    const ssize_t n = ::sendmsg(fd, &msg, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n < 0) {
      if (errno == EINTR) continue;
      if (errno != EAGAIN && errno != EWOULDBLOCK) return false;
      if (!WaitWritable(fd, deadline, stop_fd)) return false;
      continue;
    }
    size_t sent = static_cast<size_t>(n);
    const size_t from_head = std::min(sent, head.size());
    head.remove_prefix(from_head);
    body.remove_prefix(sent - from_head);
  }
  return true;
}

bool DropInput(int fd, size_t limit) {
  char buf[4096];
  while (limit > 0) {
    const ssize_t n = ::recv(fd, buf, std::min(limit, sizeof buf), MSG_DONTWAIT);
    if (n == 0) return false;
    if (n < 0) return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
    limit -= static_cast<size_t>(n);
  }
  return true;
}

}  // namespace tallyvox::http::io
