// Round trips of one framed middleware-sized message (a 21-byte header plus
// a 200-byte body) over loopback: through TNetTCPClient (write buffering,
// then two exact reads, as the middleware transport does) versus a plain
// socket loop moving the same bytes. An echo thread answers both.
// Compare the two times per iteration; the client should stay within 1.3x.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <benchmark/benchmark.h>

#include <atomic>
#include <cstring>
#include <string>
#include <thread>

#include "net/tcp_client.h"
#include "support/loopback_socket.h"

namespace {

constexpr int kHeader = 21;
constexpr int kBody = 200;
constexpr int kMessage = kHeader + kBody;

// Accepts one connection and echoes every complete message until closed.
class EchoServer {
 public:
  EchoServer() {
    listen_fd_ = tallyvox::testing::BindLoopbackSocket(4, &port_);
    thread_ = std::thread([this] { Run(); });
  }
  ~EchoServer() {
    shutdown(listen_fd_, SHUT_RDWR);
    thread_.join();
    close(listen_fd_);
  }
  int port() const { return port_; }

 private:
  void Run() {
    int fd = accept(listen_fd_, nullptr, nullptr);
    if (fd < 0) return;
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
    char buf[kMessage];
    for (;;) {
      int got = 0;
      while (got < kMessage) {
        ssize_t n = recv(fd, buf + got, kMessage - got, 0);
        if (n <= 0) {
          close(fd);
          return;
        }
        got += static_cast<int>(n);
      }
      if (send(fd, buf, kMessage, MSG_NOSIGNAL) != kMessage) break;
    }
    close(fd);
  }

  int listen_fd_ = -1;
  int port_ = 0;
  std::thread thread_;
};

void BM_TcpClientRoundTrip(benchmark::State& state) {
  EchoServer server;
  tallyvox::net::TNetTCPClient client;
  client.Host = "127.0.0.1";
  client.Port = server.port();
  client.ReadTimeout = 10000;
  client.OpenConnection(0);
  char header[kHeader];
  char body[kBody];
  std::memset(header, 'h', sizeof(header));
  std::memset(body, 'b', sizeof(body));
  for (auto _ : state) {
    client.StartWriteBuffering(-1);
    client.WriteBytes(header, kHeader, false);
    client.WriteBytes(body, kBody, false);
    client.EndWriteBuffering();
    client.ReadBytes(header, kHeader);
    client.ReadBytes(body, kBody);
    benchmark::DoNotOptimize(body[0]);
  }
  client.CloseConnection();
}
BENCHMARK(BM_TcpClientRoundTrip)->UseRealTime();

void BM_PlainSocketRoundTrip(benchmark::State& state) {
  EchoServer server;
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  const sockaddr_in sa = tallyvox::testing::LoopbackAddress(server.port());
  if (connect(fd, reinterpret_cast<const sockaddr*>(&sa), sizeof(sa)) != 0) {
    state.SkipWithError("connect failed");
    close(fd);
    return;
  }
  char out[kMessage];
  char in[kMessage];
  std::memset(out, 'm', sizeof(out));
  for (auto _ : state) {
    int sent = 0;
    while (sent < kMessage) sent += static_cast<int>(send(fd, out + sent, kMessage - sent, 0));
    int got = 0;
    while (got < kMessage) {
      ssize_t n = recv(fd, in + got, kMessage - got, 0);
      if (n <= 0) break;
      got += static_cast<int>(n);
    }
    benchmark::DoNotOptimize(in[0]);
  }
  close(fd);
}
BENCHMARK(BM_PlainSocketRoundTrip)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
