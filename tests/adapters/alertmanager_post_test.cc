// The Alertmanager post over our own TCP client, against peers played on
// loopback: the request's bytes, the answer's status, a refused port, a
// peer that reads and never answers (bounded by the post's deadline), and a
// peer that answers something that is no HTTP.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>

#include "adapters/alertmanager_post.h"
#include "support/loopback_socket.h"
#include "support/support.h"

namespace tallyvox::monitor {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// Accepts one connection, reads the request (until its body is in), answers
// `answer` (nothing when empty) and closes after `hold`.
class OnePeer {
 public:
  OnePeer(std::string answer, std::chrono::milliseconds hold = 0ms) {
    listen_ = tallyvox::testing::BindLoopbackSocket(4, &port_);
    thread_ = std::thread([this, answer = std::move(answer), hold] {
      const int fd = ::accept(listen_, nullptr, nullptr);
      if (fd < 0) return;
      const timeval tv{3, 0};
      ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
      char buf[4096];
      for (int i = 0; i < 100; ++i) {
        const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
        if (n <= 0) break;
        request.append(buf, static_cast<size_t>(n));
        const size_t head = request.find("\r\n\r\n");
        const size_t length = request.find("Content-Length: ");
        if (head != std::string::npos && length != std::string::npos &&
            request.size() >= head + 4 + std::stoul(request.substr(length + 16))) {
          break;
        }
      }
      if (!answer.empty()) ::send(fd, answer.data(), answer.size(), MSG_NOSIGNAL);
      std::this_thread::sleep_for(hold);
      ::close(fd);
    });
  }
  ~OnePeer() {
    Join();
    ::close(listen_);
  }
  std::string Url() const { return "http://127.0.0.1:" + std::to_string(port_) + "/am"; }
  // The request it read, once it is done with its connection.
  std::string Request() {
    Join();
    return request;
  }

 private:
  void Join() {
    if (!thread_.joinable()) return;
    ::shutdown(listen_, SHUT_RDWR);
    thread_.join();
  }

  std::string request;

  int listen_ = -1;
  int port_ = 0;
  std::thread thread_;
};

TEST(AlertmanagerPostTest, PostsTheAlertsAndReadsTheStatus) {
  const std::string body = "[{\"labels\":{\"alertname\":\"TallyvoxServerDown\"}}]";
  struct Case {
    std::string answer;
    std::string error;
  };
  const Case cases[] = {
      {"HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n", ""},
      {"HTTP/1.1 202 Accepted\r\n\r\n", ""},
      {"HTTP/1.1 400 Bad Request\r\nContent-Type: application/json\r\n\r\n\"bad\"",
       "HTTP 400 Bad Request"},
      {"SSH-2.0-OpenSSH_9.2\r\n", "not an HTTP answer: SSH-2.0-OpenSSH_9.2"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.answer);
    OnePeer peer(c.answer);
    HttpAlertPost post;
    EXPECT_EQ(post.Post(peer.Url(), body), c.error);
  }
}

TEST(AlertmanagerPostTest, TheRequestIsOnePostOfTheJsonToTheApi) {
  const std::string body = "[{\"labels\":{\"alertname\":\"TallyvoxServerDown\"}}]";
  OnePeer peer("HTTP/1.1 200 OK\r\n\r\n");
  const std::string url = peer.Url();
  HttpAlertPost post;
  EXPECT_EQ(post.Post(url, body), "");
  const std::string host = url.substr(7, url.find("/am") - 7);  // "127.0.0.1:PORT"
  EXPECT_EQ(peer.Request(), "POST /am/api/v2/alerts HTTP/1.1\r\nHost: " + host +
                                "\r\nUser-Agent: tallyvox\r\nContent-Type: application/json\r\n"
                                "Content-Length: " +
                                std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" +
                                body);
}

TEST(AlertmanagerPostTest, FailuresSayWhyAndEndWithinTheDeadline) {
  tallyvox::testing::RefusingPort refusing;
  HttpAlertPost post(800ms);
  auto start = Clock::now();
  const std::string refused =
      post.Post("http://127.0.0.1:" + std::to_string(refusing.port()), "[]");
  EXPECT_NE(refused.find("refused"), std::string::npos) << refused;
  EXPECT_LT(Clock::now() - start, 800ms);

  // Reads the request and never answers: the deadline ends the post.
  OnePeer silent("", 1500ms);
  start = Clock::now();
  const std::string timed_out = post.Post(silent.Url(), "[]");
  const auto took = Clock::now() - start;
  EXPECT_FALSE(timed_out.empty());
  EXPECT_GE(took, 700ms);
  EXPECT_LT(took, 2s);

  EXPECT_EQ(post.Post("https://127.0.0.1:1", "[]"), "https is not supported: give an http:// URL");
}

}  // namespace
}  // namespace tallyvox::monitor
