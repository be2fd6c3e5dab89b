// The HTTP server on loopback, played against by hostile clients: idle
// connections past the bound, slowloris clients, a request trickling past
// its deadline, millions of header lines, clients that never read their
// answer or hang up before it; and what every client gets: routes, 404,
// 405 with Allow, 500, refusals answered whole, close-on-exec descriptors,
// IPv6, a port in use, a stop within a tenth of a second.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "http/server.h"

namespace tallyvox::http {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

double SecondsSince(Clock::time_point t) {
  return std::chrono::duration<double>(Clock::now() - t).count();
}

// A blocking client socket on loopback.
class Client {
 public:
  // REQUIRES: a server listens on host:port. rcvbuf > 0 shrinks the
  // receive buffer before the connect.
  explicit Client(int port, int rcvbuf = 0, bool ipv6 = false) {
    fd_ = ::socket(ipv6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (rcvbuf > 0) ::setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof rcvbuf);
    const timeval tv{5, 0};
    ::setsockopt(fd_, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    int rc;
    if (ipv6) {
      sockaddr_in6 a{};
      a.sin6_family = AF_INET6;
      a.sin6_port = htons(static_cast<uint16_t>(port));
      a.sin6_addr = in6addr_loopback;
      rc = ::connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a);
    } else {
      sockaddr_in a{};
      a.sin_family = AF_INET;
      a.sin_port = htons(static_cast<uint16_t>(port));
      a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
      rc = ::connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a);
    }
    if (rc != 0) throw std::runtime_error("connect failed");
  }
  ~Client() { Close(); }
  Client(const Client&) = delete;
  Client& operator=(const Client&) = delete;

  void Close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }
  // Closes with a reset instead of a FIN.
  void Reset() {
    const linger l{1, 0};
    ::setsockopt(fd_, SOL_SOCKET, SO_LINGER, &l, sizeof l);
    Close();
  }
  bool Send(std::string_view bytes) {
    while (!bytes.empty()) {
      const ssize_t n = ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
      if (n <= 0) return false;
      bytes.remove_prefix(static_cast<size_t>(n));
    }
    return true;
  }
  // What arrives until the server closes (*closed) or `timeout` passes.
  std::string ReadAll(std::chrono::milliseconds timeout, bool* closed = nullptr) {
    std::string got;
    const auto end = Clock::now() + timeout;
    bool eof = false;
    while (!eof && Clock::now() < end) {
      pollfd p{fd_, POLLIN, 0};
      const auto left = std::chrono::ceil<std::chrono::milliseconds>(end - Clock::now());
      if (::poll(&p, 1, static_cast<int>(std::max<int64_t>(left.count(), 0))) <= 0) continue;
      char buf[65536];
      const ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
      if (n <= 0) {
        eof = true;
      } else {
        got.append(buf, static_cast<size_t>(n));
      }
    }
    if (closed != nullptr) *closed = eof;
    return got;
  }
  // True while the connection is open and nothing came.
  bool OpenAndSilent() {
    char c;
    const ssize_t n = ::recv(fd_, &c, 1, MSG_DONTWAIT | MSG_PEEK);
    return n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
  }
  int fd() const { return fd_; }

 private:
  int fd_ = -1;
};

std::string StatusLine(const std::string& answer) { return answer.substr(0, answer.find("\r\n")); }

std::string Body(const std::string& answer) {
  const size_t at = answer.find("\r\n\r\n");
  return at == std::string::npos ? "" : answer.substr(at + 4);
}

// One request on a fresh connection; the whole answer (empty after 5 s).
std::string Exchange(int port, const std::string& request, bool ipv6 = false) {
  Client c(port, 0, ipv6);
  c.Send(request);
  bool closed = false;
  const std::string answer = c.ReadAll(5s, &closed);
  return closed ? answer : "";
}

std::string Get(int port, const std::string& target, const std::string& method = "GET") {
  return Exchange(port, method + " " + target + " HTTP/1.1\r\nHost: t\r\n\r\n");
}

Router TestRouter() {
  Router r;
  r.Add("GET", "/metrics", [](const Request&) {
    Response x;
    x.body = "m 1\n";
    return x;
  });
  r.Add("GET", "/echo", [](const Request& q) {
    Response x;
    x.body = q.FindParam("x") != nullptr ? *q.FindParam("x") : "-";
    return x;
  });
  r.Add("POST", "/echo", [](const Request& q) {
    Response x;
    x.body = q.body;
    return x;
  });
  r.Add("GET", "/throw", [](const Request&) -> Response { throw std::runtime_error("no"); });
  r.Add("GET", "/badheader", [](const Request&) {
    Response x;
    x.headers.push_back({"X-Bad", "a\r\nSet-Cookie: b"});
    return x;
  });
  // An answer that comes late: its client may have gone by then.
  r.Add("GET", "/late", [](const Request&) {
    std::this_thread::sleep_for(200ms);
    Response x;
    x.body.assign(1 << 20, 'l');
    return x;
  });
  r.Add("GET", "/big", [](const Request&) {
    Response x;
    x.body.assign(16 << 20, 'b');
    return x;
  });
  return r;
}

// Every socket and eventfd of this process is close-on-exec.
void ExpectDescriptorsCloseOnExec() {
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
    std::error_code ec;
    const std::string target = std::filesystem::read_symlink(entry.path(), ec).string();
    if (target.rfind("socket:", 0) != 0 && target.find("eventfd") == std::string::npos) continue;
    const int fd = std::stoi(entry.path().filename().string());
    const int flags = ::fcntl(fd, F_GETFD);
    if (flags < 0) continue;  // closed meanwhile
    EXPECT_TRUE(flags & FD_CLOEXEC) << fd << " " << target;
  }
}

TEST(HttpServer, RoutesAnswersAndClosesEachConnection) {
  Server server("127.0.0.1", 0, TestRouter());
  const int port = server.port();
  ASSERT_GT(port, 0);

  std::string a = Get(port, "/metrics");
  EXPECT_EQ(StatusLine(a), "HTTP/1.1 200 OK");
  EXPECT_NE(a.find("\r\nContent-Length: 4\r\n"), std::string::npos) << a;
  EXPECT_NE(a.find("\r\nConnection: close\r\n"), std::string::npos) << a;
  EXPECT_NE(a.find("\r\nDate: "), std::string::npos) << a;
  EXPECT_EQ(Body(a), "m 1\n");
  a = Get(port, "/metrics", "HEAD");
  EXPECT_EQ(StatusLine(a), "HTTP/1.1 200 OK");
  EXPECT_NE(a.find("\r\nContent-Length: 4\r\n"), std::string::npos) << a;
  EXPECT_EQ(Body(a), "");
  EXPECT_EQ(StatusLine(Get(port, "/nope")), "HTTP/1.1 404 Not Found");
  a = Exchange(port, "POST /metrics HTTP/1.1\r\nHost: t\r\nContent-Length: 0\r\n\r\n");
  EXPECT_EQ(StatusLine(a), "HTTP/1.1 405 Method Not Allowed");
  EXPECT_NE(a.find("\r\nAllow: GET, HEAD\r\n"), std::string::npos) << a;
  a = Get(port, "/echo", "DELETE");
  EXPECT_NE(a.find("\r\nAllow: GET, HEAD, POST\r\n"), std::string::npos) << a;
  EXPECT_EQ(Body(Get(port, "/echo?x=a%20b%26c")), "a b&c");
  EXPECT_EQ(
      Body(Exchange(port, "POST /echo HTTP/1.1\r\nHost: t\r\nContent-Length: 5\r\n\r\nhello")),
      "hello");
  EXPECT_EQ(StatusLine(Get(port, "/throw")), "HTTP/1.1 500 Internal Server Error");
  a = Get(port, "/badheader");
  EXPECT_EQ(StatusLine(a), "HTTP/1.1 500 Internal Server Error");
  EXPECT_EQ(a.find("Set-Cookie"), std::string::npos) << a;

  // Refusals are answered whole even while the body they refuse arrives.
  a = Exchange(port, "POST /echo HTTP/1.1\r\nHost: t\r\nContent-Length: 4096\r\n\r\n" +
                         std::string(4096, 'x'));
  EXPECT_EQ(StatusLine(a), "HTTP/1.1 413 Payload Too Large");
  EXPECT_EQ(StatusLine(Exchange(port, "GET / HTTP/1.1\r\nHost: t\r\n  fold\r\n\r\n")),
            "HTTP/1.1 400 Bad Request");
  EXPECT_EQ(StatusLine(Exchange(port,
                                "GET / HTTP/1.1\r\nHost: t\r\nTransfer-Encoding: chunked"
                                "\r\n\r\n0\r\n\r\n")),
            "HTTP/1.1 501 Not Implemented");
  EXPECT_EQ(StatusLine(Exchange(port, "GET / HTTP/3.0\r\n\r\n")),
            "HTTP/1.1 505 HTTP Version Not Supported");

  Client idle(port);
  ASSERT_TRUE(idle.Send("GET /met"));
  ExpectDescriptorsCloseOnExec();

  // SO_REUSEADDR lets a restart bind while connections linger, but a second
  // server on a port in use is refused (no SO_REUSEPORT).
  try {
    Server second("127.0.0.1", port, TestRouter());
    ADD_FAILURE() << "bound a port in use";
  } catch (const ServerError& e) {
    EXPECT_NE(std::string(e.what()).find("cannot listen on 127.0.0.1:" + std::to_string(port)),
              std::string::npos)
        << e.what();
  }
}

TEST(HttpServer, ListensOnIpv6) {
  const int probe = ::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (probe < 0) GTEST_SKIP() << "no IPv6";
  ::close(probe);
  std::unique_ptr<Server> server;
  try {
    server = std::make_unique<Server>("::1", 0, TestRouter());
  } catch (const ServerError& e) {
    GTEST_SKIP() << e.what();
  }
  EXPECT_EQ(Body(Exchange(server->port(), "GET /metrics HTTP/1.1\r\nHost: [::1]\r\n\r\n", true)),
            "m 1\n");
}

// Polls `done` every 10 ms until it holds or `timeout` passes.
template <typename Predicate>
bool WaitUntil(Predicate done, std::chrono::milliseconds timeout) {
  const auto end = Clock::now() + timeout;
  while (!done()) {
    if (Clock::now() >= end) return false;
    std::this_thread::sleep_for(10ms);
  }
  return true;
}

TEST(HttpServer, AtTheBoundTheLongestIdleConnectionMakesRoom) {
  Server server("127.0.0.1", 0, TestRouter());  // 32 connections
  std::vector<std::unique_ptr<Client>> idle;
  for (int i = 0; i < 40; ++i) {
    idle.push_back(std::make_unique<Client>(server.port()));
    // One at a time, so that they are accepted (and idle) in this order.
    ASSERT_TRUE(WaitUntil([&] { return server.Stats().accepted == uint64_t(i + 1); }, 2s));
  }
  EXPECT_EQ(server.Stats().connections, 32);
  EXPECT_EQ(server.Stats().evicted, 8u);

  const auto start = Clock::now();
  EXPECT_EQ(Body(Get(server.port(), "/metrics")), "m 1\n");
  EXPECT_LT(SecondsSince(start), 2.0);
  // The nine idle the longest were closed; the others are still open.
  for (int i = 0; i < 40; ++i) {
    SCOPED_TRACE(i);
    if (i < 9) {
      bool closed = false;
      EXPECT_EQ(idle[i]->ReadAll(2s, &closed), "");
      EXPECT_TRUE(closed);
    } else {
      EXPECT_TRUE(idle[i]->OpenAndSilent());
    }
  }
  EXPECT_LE(server.Stats().connections, 32);
}

TEST(HttpServer, SlowlorisClientsDoNotDelayAScrape) {
  Server server("127.0.0.1", 0, TestRouter());
  std::atomic<bool> stop{false};
  std::vector<std::thread> slow;
  for (int i = 0; i < 2; ++i) {
    slow.emplace_back([&] {
      Client c(server.port());
      c.Send("GET /metrics HTTP/1.1\r\nHost: t\r\n");
      for (int line = 0; line < 5 && !stop; ++line) {
        for (int tick = 0; tick < 200 && !stop; ++tick) std::this_thread::sleep_for(10ms);
        if (!stop) c.Send("X-Slow: " + std::to_string(line) + "\r\n");
      }
    });
  }
  const auto t0 = Clock::now();
  for (const auto when : {300ms, 2300ms}) {
    std::this_thread::sleep_until(t0 + when);
    const auto start = Clock::now();
    EXPECT_EQ(Body(Get(server.port(), "/metrics")), "m 1\n");
    EXPECT_LT(SecondsSince(start), 1.0);
  }
  stop = true;
  for (std::thread& t : slow) t.join();
}

TEST(HttpServer, ARequestTricklingPastItsDeadlineIsClosedAtIt) {
  ServerOptions options;
  options.request_deadline = 1000ms;
  Server server("127.0.0.1", 0, TestRouter(), options);
  Client c(server.port());
  const auto start = Clock::now();
  std::atomic<bool> stop{false};
  std::thread trickle([&] {
    const std::string bytes = "GET /metrics HTTP/1.1\r\nHost: t\r\n" + std::string(400, 'X');
    for (size_t i = 0; i < bytes.size() && !stop; ++i) {
      if (!c.Send(bytes.substr(i, 1))) return;
      std::this_thread::sleep_for(20ms);
    }
  });
  bool closed = false;
  const std::string answer = c.ReadAll(4s, &closed);
  const double seconds = SecondsSince(start);
  stop = true;
  trickle.join();
  EXPECT_TRUE(closed);
  EXPECT_EQ(StatusLine(answer), "HTTP/1.1 408 Request Timeout");
  EXPECT_GE(seconds, 0.9);
  EXPECT_LT(seconds, 2.0);
  EXPECT_EQ(server.Stats().timed_out, 1u);
}

long ResidentKiB() {
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
  }
  return -1;
}

TEST(HttpServer, MillionsOfHeaderLinesAreRefusedAndNotKept) {
  // With the count of header lines capped (100), and without, where the
  // 8 KiB cap on the head refuses them.
  for (const size_t max_headers : {size_t{100}, size_t(-1)}) {
    SCOPED_TRACE(max_headers);
    ServerOptions options;
    options.limits.max_headers = max_headers;
    Server server("127.0.0.1", 0, TestRouter(), options);
    const long rss_before = ResidentKiB();
    Client c(server.port());
    std::string answer;
    bool closed = false;
    std::thread reader([&] { answer = c.ReadAll(10s, &closed); });
    std::string chunk;
    for (int i = 0; i < 10000; ++i) chunk += "X: y\r\n";
    c.Send("GET /metrics HTTP/1.1\r\nHost: t\r\n");
    size_t held = 0;
    int sent = 0;
    for (; sent < 200 && c.Send(chunk); ++sent) held = std::max(held, server.Stats().held_bytes);
    ::shutdown(c.fd(), SHUT_WR);
    reader.join();
    EXPECT_EQ(StatusLine(answer), "HTTP/1.1 431 Request Header Fields Too Large");
    EXPECT_TRUE(closed);
    // Up to two million lines went out, and the server held a few KiB of them.
    EXPECT_LT(held, 256u * 1024) << sent << " chunks sent";
    EXPECT_LT(ResidentKiB() - rss_before, 16 * 1024);
    EXPECT_TRUE(WaitUntil([&] { return server.Stats().held_bytes == 0; }, 1s));
  }
}

TEST(HttpServer, AClientThatNeverReadsHoldsAWorkerOnlyUntilTheWriteDeadline) {
  ServerOptions options;
  options.workers = 1;
  options.write_deadline = 300ms;
  Server server("127.0.0.1", 0, TestRouter(), options);
  // 16 MiB to a client that never reads: the one worker waits to write.
  Client never(server.port(), 4096);
  ASSERT_TRUE(never.Send("GET /big HTTP/1.1\r\nHost: t\r\n\r\n"));
  std::this_thread::sleep_for(100ms);
  auto start = Clock::now();
  EXPECT_EQ(Body(Get(server.port(), "/metrics")), "m 1\n");
  EXPECT_LT(SecondsSince(start), 1.5);

  // Clients that hang up before their answer, with a FIN before it is
  // written and with a reset while it is: the writes fail with EPIPE or
  // ECONNRESET (this process would die of SIGPIPE otherwise), and the
  // worker goes on.
  {
    Client gone(server.port());
    ASSERT_TRUE(gone.Send("GET /late HTTP/1.1\r\nHost: t\r\n\r\n"));
    gone.Close();
    std::this_thread::sleep_for(400ms);
  }
  {
    Client reset(server.port(), 4096);
    ASSERT_TRUE(reset.Send("GET /big HTTP/1.1\r\nHost: t\r\n\r\n"));
    std::this_thread::sleep_for(50ms);
    reset.Reset();
  }
  start = Clock::now();
  EXPECT_EQ(Body(Get(server.port(), "/metrics")), "m 1\n");
  EXPECT_LT(SecondsSince(start), 1.5);
}

TEST(HttpServer, APastTheQueuesBoundIsAnswered503AtOnce) {
  ServerOptions options;
  options.workers = 1;
  options.queue_capacity = 1;
  options.write_deadline = 1500ms;
  Server server("127.0.0.1", 0, TestRouter(), options);
  Client never(server.port(), 4096);
  ASSERT_TRUE(never.Send("GET /big HTTP/1.1\r\nHost: t\r\n\r\n"));
  ASSERT_TRUE(
      WaitUntil([&] { return server.Stats().accepted == 1 && server.Stats().queued == 0; }, 2s));
  std::this_thread::sleep_for(50ms);
  Client queued(server.port());
  ASSERT_TRUE(queued.Send("GET /metrics HTTP/1.1\r\nHost: t\r\n\r\n"));
  ASSERT_TRUE(WaitUntil([&] { return server.Stats().queued == 1; }, 2s));
  const auto start = Clock::now();
  EXPECT_EQ(StatusLine(Get(server.port(), "/metrics")), "HTTP/1.1 503 Service Unavailable");
  EXPECT_LT(SecondsSince(start), 1.0);
  // The queued one is served once the worker gave up on the first.
  bool closed = false;
  EXPECT_EQ(Body(queued.ReadAll(4s, &closed)), "m 1\n");
}

TEST(HttpServer, StopsWithinATenthOfASecondWhateverItsClientsDo) {
  ServerOptions options;
  options.workers = 1;
  options.write_deadline = 10s;
  auto server = std::make_unique<Server>("127.0.0.1", 0, TestRouter(), options);
  const int port = server->port();
  Client never(port, 4096);
  ASSERT_TRUE(never.Send("GET /big HTTP/1.1\r\nHost: t\r\n\r\n"));
  Client queued(port);
  ASSERT_TRUE(queued.Send("GET /metrics HTTP/1.1\r\nHost: t\r\n\r\n"));
  Client idle(port);
  Client half(port);
  ASSERT_TRUE(half.Send("GET /metrics HTTP/1.1\r\n"));
  ASSERT_TRUE(WaitUntil([&] { return server->Stats().accepted == 4; }, 2s));
  std::this_thread::sleep_for(100ms);

  const auto start = Clock::now();
  server.reset();
  EXPECT_LT(SecondsSince(start), 0.3);
  // Every connection is closed, the one being written to as well (its
  // worker gave up rather than being left behind), and the port is free.
  for (Client* c : {&never, &queued, &idle, &half}) {
    bool closed = false;
    c->ReadAll(1s, &closed);
    EXPECT_TRUE(closed);
  }
  Server again("127.0.0.1", port, TestRouter());
  EXPECT_EQ(again.port(), port);
}

// A deferred route's requests wait in `held` for the test to answer them.
struct Held {
  std::mutex mu;
  std::vector<Responder> responders;
  size_t Size() {
    std::lock_guard<std::mutex> lock(mu);
    return responders.size();
  }
};

Router DeferredRouter(std::shared_ptr<Held> held) {
  Router r = TestRouter();
  r.AddDeferred("GET", "/later", [held](const Request&, Responder responder) {
    std::lock_guard<std::mutex> lock(held->mu);
    held->responders.push_back(std::move(responder));
  });
  r.AddDeferred("GET", "/throws",
                [](const Request&, Responder) { throw std::runtime_error("handler failed"); });
  return r;
}

TEST(HttpServer, DeferredAnswersComeLaterFromAnotherThreadAndHoldNoWorkerOrConnectionSlot) {
  auto held = std::make_shared<Held>();
  ServerOptions options;
  options.workers = 1;
  options.max_connections = 2;
  options.request_deadline = 500ms;
  Server server("127.0.0.1", 0, DeferredRouter(held), options);
  // More waiting requests than workers and than connection slots (one at a
  // time, so that each is read before the next connects).
  std::vector<std::unique_ptr<Client>> waiting;
  for (size_t i = 0; i < 4; ++i) {
    waiting.push_back(std::make_unique<Client>(server.port()));
    ASSERT_TRUE(waiting.back()->Send(i == 3 ? "HEAD /later HTTP/1.1\r\nHost: t\r\n\r\n"
                                            : "GET /later HTTP/1.1\r\nHost: t\r\n\r\n"));
    ASSERT_TRUE(WaitUntil([&] { return held->Size() == i + 1; }, 2s));
  }
  // The worker is free and new connections get in...
  EXPECT_EQ(Body(Get(server.port(), "/metrics")), "m 1\n");
  Client idle(server.port());
  Client idle2(server.port());
  EXPECT_EQ(Body(Get(server.port(), "/metrics")), "m 1\n");
  // ...while the waiting ones were neither evicted nor timed out.
  std::this_thread::sleep_for(700ms);
  for (const auto& c : waiting) EXPECT_TRUE(c->OpenAndSilent());

  // Answered from another thread; one dropped unanswered gets 500.
  std::thread answer([held] {
    std::lock_guard<std::mutex> lock(held->mu);
    for (int i = 0; i < 4; ++i) {
      if (i == 2) continue;
      Response x;
      x.body = "answer " + std::to_string(i);
      held->responders[static_cast<size_t>(i)].Send(x);
      held->responders[static_cast<size_t>(i)].Send(x);  // a second Send does nothing
    }
    held->responders.clear();
  });
  answer.join();
  for (int i = 0; i < 4; ++i) {
    bool closed = false;
    const std::string got = waiting[static_cast<size_t>(i)]->ReadAll(2s, &closed);
    EXPECT_TRUE(closed) << i;
    if (i == 2) {
      EXPECT_EQ(StatusLine(got), "HTTP/1.1 500 Internal Server Error");
    } else {
      EXPECT_EQ(StatusLine(got), "HTTP/1.1 200 OK") << i;
      EXPECT_EQ(Body(got), i == 3 ? "" : "answer " + std::to_string(i));
    }
  }
  // A deferred handler that raises answers 500, and the server goes on.
  EXPECT_EQ(StatusLine(Get(server.port(), "/throws")), "HTTP/1.1 500 Internal Server Error");
  EXPECT_EQ(Body(Get(server.port(), "/metrics")), "m 1\n");
}

TEST(HttpServer, AStopClosesConnectionsWaitingForADeferredAnswer) {
  auto held = std::make_shared<Held>();
  auto server = std::make_unique<Server>("127.0.0.1", 0, DeferredRouter(held));
  Client waiting(server->port());
  ASSERT_TRUE(waiting.Send("GET /later HTTP/1.1\r\nHost: t\r\n\r\n"));
  ASSERT_TRUE(WaitUntil([&] { return held->Size() == 1; }, 2s));
  const auto start = Clock::now();
  server.reset();
  EXPECT_LT(SecondsSince(start), 0.3);
  bool closed = false;
  EXPECT_EQ(waiting.ReadAll(1s, &closed), "");
  EXPECT_TRUE(closed);
  // Answering after the stop writes nothing and touches no descriptor.
  Response x;
  held->responders.front().Send(x);
}

}  // namespace
}  // namespace tallyvox::http
