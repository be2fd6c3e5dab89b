#include "net/loopback_peer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

#include "support/loopback_socket.h"

namespace tallyvox::net::testing {

namespace {

bool WaitFd(int fd, short events, int ms) {
  pollfd p{fd, events, 0};
  return poll(&p, 1, ms) > 0;
}

}  // namespace

LoopbackPeer::LoopbackPeer(Script script, bool close_after) {
  listen_fd_ = tallyvox::testing::BindLoopbackSocket(8, &port_);
  thread_ = std::thread([this, close_after, script = std::move(script)] {
    if (WaitFd(listen_fd_, POLLIN, 10000)) {
      int fd = accept(listen_fd_, nullptr, nullptr);
      if (fd >= 0) {
        conn_fd_ = fd;
        script(fd);
        if (close_after) {
          int c = conn_fd_.exchange(-1);
          if (c >= 0) close(c);
        }
      }
    }
    done_ = true;
  });
}

LoopbackPeer::~LoopbackPeer() {
  // Unblocks a script still waiting on the socket, then joins.
  int fd = conn_fd_.load();
  if (fd >= 0) shutdown(fd, SHUT_RDWR);
  thread_.join();
  fd = conn_fd_.exchange(-1);
  if (fd >= 0) close(fd);
  close(listen_fd_);
}

bool LoopbackPeer::WaitDone(std::chrono::milliseconds timeout) {
  auto until = std::chrono::steady_clock::now() + timeout;
  while (!done_) {
    if (std::chrono::steady_clock::now() > until) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

void LoopbackPeer::SendAll(int fd, const std::string& bytes) {
  size_t off = 0;
  while (off < bytes.size()) {
    ssize_t n = send(fd, bytes.data() + off, bytes.size() - off, MSG_NOSIGNAL);
    if (n <= 0) return;
    off += static_cast<size_t>(n);
  }
}

std::string LoopbackPeer::RecvExactly(int fd, size_t n) {
  std::string out;
  char buf[65536];
  auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (out.size() < n && std::chrono::steady_clock::now() < until) {
    if (!WaitFd(fd, POLLIN, 100)) continue;
    ssize_t got = recv(fd, buf, std::min(sizeof(buf), n - out.size()), 0);
    if (got <= 0) break;
    out.append(buf, static_cast<size_t>(got));
  }
  return out;
}

std::string LoopbackPeer::RecvUntilClosed(int fd) {
  std::string out;
  char buf[65536];
  auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (std::chrono::steady_clock::now() < until) {
    if (!WaitFd(fd, POLLIN, 100)) continue;
    ssize_t got = recv(fd, buf, sizeof(buf), 0);
    if (got <= 0) break;
    out.append(buf, static_cast<size_t>(got));
  }
  return out;
}

int RefusedPort() {
  // Bind without listening: the port stays reserved for the test and every
  // connect to it is refused.
  static const int port = [] {
    int p = 0;
    tallyvox::testing::BindLoopbackSocket(-1, &p);  // kept open for the process
    return p;
  }();
  return port;
}

}  // namespace tallyvox::net::testing
