#include "support/loopback_socket.h"

#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <stdexcept>

namespace tallyvox::testing {

sockaddr_in LoopbackAddress(int port) {
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  sa.sin_port = htons(static_cast<uint16_t>(port));
  return sa;
}

int BindLoopbackSocket(int backlog, int* port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) throw std::runtime_error("socket failed");
  sockaddr_in sa = LoopbackAddress(0);
  socklen_t len = sizeof(sa);
  if (::bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof(sa)) != 0 ||
      (backlog >= 0 && ::listen(fd, backlog) != 0) ||
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len) != 0) {
    ::close(fd);
    throw std::runtime_error("bind/listen on 127.0.0.1 failed");
  }
  *port = ntohs(sa.sin_port);
  return fd;
}

FullAcceptQueue::FullAcceptQueue() {
  listen_fd_ = BindLoopbackSocket(0, &port_);
  const sockaddr_in sa = LoopbackAddress(port_);
  // Connect until one handshake stays unfinished.
  for (int i = 0; i < 16; ++i) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    fillers_.push_back(fd);
    ::connect(fd, reinterpret_cast<const sockaddr*>(&sa), sizeof(sa));
    pollfd p{fd, POLLOUT, 0};
    if (::poll(&p, 1, 300) == 0) break;
  }
}

FullAcceptQueue::~FullAcceptQueue() {
  ReleaseFillers();
  ::close(listen_fd_);
}

void FullAcceptQueue::ReleaseFillers() {
  for (int fd : fillers_) ::close(fd);
  fillers_.clear();
}

}  // namespace tallyvox::testing
