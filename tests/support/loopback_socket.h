// Raw loopback sockets for network tests and benchmarks that play the peer
// themselves (servers that accept and stay silent, refused ports, full
// accept queues, echo servers).
#ifndef TALLYVOX_TESTS_SUPPORT_LOOPBACK_SOCKET_H_
#define TALLYVOX_TESTS_SUPPORT_LOOPBACK_SOCKET_H_

#include <netinet/in.h>

#include <vector>

namespace tallyvox::testing {

// 127.0.0.1:port.
sockaddr_in LoopbackAddress(int port);

// A TCP socket (close-on-exec) bound to 127.0.0.1 on a port the system
// chooses, stored in *port. With backlog >= 0 it also listens with that
// backlog; with -1 it is only bound, so the port stays busy for others and
// every connect to it is refused. Raises std::runtime_error on failure.
int BindLoopbackSocket(int backlog, int* port);

// A socket listening on 127.0.0.1 whose accept queue is full and which never
// accepts: further handshakes never complete, so a connect to it hangs as to
// a blackholed host. ReleaseFillers() closes the connections that fill the
// queue: once the owner of listen_fd() has accepted what is left in it, new
// handshakes complete again.
class FullAcceptQueue {
 public:
  FullAcceptQueue();
  ~FullAcceptQueue();
  FullAcceptQueue(const FullAcceptQueue&) = delete;
  FullAcceptQueue& operator=(const FullAcceptQueue&) = delete;
  int port() const { return port_; }
  int listen_fd() const { return listen_fd_; }
  void ReleaseFillers();

 private:
  int listen_fd_ = -1;
  int port_ = 0;
  std::vector<int> fillers_;
};

}  // namespace tallyvox::testing

#endif  // TALLYVOX_TESTS_SUPPORT_LOOPBACK_SOCKET_H_
