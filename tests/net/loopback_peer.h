// LoopbackPeer: a one-connection TCP server on 127.0.0.1 for the network
// tests. It listens on a port chosen by the system, accepts one connection
// on its own thread and runs the given script on the accepted socket.
// Every wait is bounded; the destructor closes both sockets and joins.
#ifndef TALLYVOX_TESTS_NET_LOOPBACK_PEER_H_
#define TALLYVOX_TESTS_NET_LOOPBACK_PEER_H_

#include <atomic>
#include <chrono>
#include <functional>
#include <string>
#include <thread>

namespace tallyvox::net::testing {

class LoopbackPeer {
 public:
  using Script = std::function<void(int fd)>;
  // With close_after, the accepted socket is closed as soon as the script
  // returns (the peer's close); otherwise it stays open until destruction.
  explicit LoopbackPeer(Script script, bool close_after = false);
  ~LoopbackPeer();
  LoopbackPeer(const LoopbackPeer&) = delete;
  LoopbackPeer& operator=(const LoopbackPeer&) = delete;

  int port() const { return port_; }
  // Waits (bounded) until the script has returned.
  bool WaitDone(std::chrono::milliseconds timeout = std::chrono::seconds(10));

  // Helpers for scripts.
  static void SendAll(int fd, const std::string& bytes);
  // Reads exactly n bytes (or fewer when the peer closes or 10 s pass).
  static std::string RecvExactly(int fd, size_t n);
  // Reads until the peer closes (bounded by 10 s).
  static std::string RecvUntilClosed(int fd);

 private:
  int listen_fd_ = -1;
  std::atomic<int> conn_fd_{-1};
  int port_ = 0;
  std::atomic<bool> done_{false};
  std::thread thread_;
};

// A port on 127.0.0.1 where nothing listens (connects are refused).
int RefusedPort();

}  // namespace tallyvox::net::testing

#endif  // TALLYVOX_TESTS_NET_LOOPBACK_PEER_H_
