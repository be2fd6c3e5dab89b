// A middleware server inside the test process, built on the wire classes, for
// answers mwserver never gives: the script fills each response (status,
// result, STREAM section, even another REQUESTID), and the delivery can
// mangle the encoded bytes and send the framed answer in parts with pauses.
// It listens on 127.0.0.1 at a port of the system's choosing, reads verified
// framing and serves one connection at a time; every wait is bounded by the
// stop flag the destructor sets.
#ifndef TALLYVOX_TESTS_MWCLIENT_SCRIPTED_SERVER_H_
#define TALLYVOX_TESTS_MWCLIENT_SCRIPTED_SERVER_H_

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "middleware/wire/framing.h"
#include "middleware/wire/request_stream.h"
#include "middleware/wire/response_stream.h"

namespace tallyvox::mw::testing {

// What the script sees of one request.
struct SeenRequest {
  std::string function;
  TMwVariantList args;
  int32_t request_id = -1;
};

class ScriptedServer {
 public:
  // Fills the response to one request; it arrives set to OK with the
  // request's REQUESTID, SYNC and DATA and STATEID -1.
  using Script = std::function<void(const SeenRequest&, TMwCustomResponseTransportStream&)>;

  // How an encoded response goes out.
  struct Delivery {
    // Changes the encoded response before it is framed (the frame announces
    // the changed length).
    std::function<void(std::string& encoded)> mangle;
    // The framed answer in this many parts, `pause` apart.
    size_t parts = 1;
    std::chrono::milliseconds pause{0};
  };

  explicit ScriptedServer(Script script) : ScriptedServer(std::move(script), Delivery()) {}
  ScriptedServer(Script script, Delivery delivery)
      : script_(std::move(script)), delivery_(std::move(delivery)) {
    listen_fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = 0;
    if (::bind(listen_fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        ::listen(listen_fd_, 8) != 0)
      return;
    socklen_t len = sizeof addr;
    ::getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&addr), &len);
    port_ = ntohs(addr.sin_port);
    thread_ = std::thread([this] { Run(); });
  }
  ~ScriptedServer() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    ::close(listen_fd_);
  }
  ScriptedServer(const ScriptedServer&) = delete;
  ScriptedServer& operator=(const ScriptedServer&) = delete;

  int port() const { return port_; }
  std::vector<SeenRequest> Seen() {
    std::lock_guard<std::mutex> lock(mutex_);
    return seen_;
  }

 private:
  // Waits (bounded by the stop flag) until `fd` is readable.
  bool WaitReadable(int fd) {
    while (!stop_) {
      pollfd p{fd, POLLIN, 0};
      const int r = ::poll(&p, 1, 50);
      if (r > 0) return true;
      if (r < 0) return false;
    }
    return false;
  }
  bool ReadExactly(int fd, std::string* out, size_t n) {
    out->clear();
    while (out->size() < n) {
      if (!WaitReadable(fd)) return false;
      char buffer[4096];
      const ssize_t got = ::recv(fd, buffer, std::min(sizeof buffer, n - out->size()), 0);
      if (got <= 0) return false;
      out->append(buffer, static_cast<size_t>(got));
    }
    return true;
  }
  bool Send(int fd, const std::string& bytes) {
    const size_t parts = std::max<size_t>(delivery_.parts, 1);
    const size_t part = (bytes.size() + parts - 1) / parts;
    for (size_t at = 0; at < bytes.size(); at += part) {
      if (at > 0) std::this_thread::sleep_for(delivery_.pause);
      const size_t n = std::min(part, bytes.size() - at);
      if (::send(fd, bytes.data() + at, n, MSG_NOSIGNAL) != static_cast<ssize_t>(n)) return false;
    }
    return true;
  }
  void Serve(int fd) {
    std::string header, body;
    while (ReadExactly(fd, &header, kMwVerifiedHeaderSize)) {
      uint32_t length = 0;
      if (!ParseVerifiedLength(header, &length) || length > (1u << 20)) return;
      if (!ReadExactly(fd, &body, length)) return;
      auto request = MakeRequestStream();
      request->LoadFromBytes(body);
      if (!request->EnsureUnstreamState(kMwUnstreamStateLast)) return;
      SeenRequest seen{request->Function(), request->Args(), request->RequestID()};
      {
        std::lock_guard<std::mutex> lock(mutex_);
        seen_.push_back(seen);
      }
      auto response = MakeResponseStream();
      response->SetRequestID(request->RequestID());
      response->SetSync(request->Sync());
      response->SetData(request->Data());
      response->SetStateID(-1);
      response->SetOK("");
      script_(seen, *response);
      response->SetMessageCount(1);
      response->EnsureStreamState(kMwStreamStateLast);
      std::string out = response->Buffer().ToString();
      if (delivery_.mangle) delivery_.mangle(out);
      if (!Send(fd, FormatVerifiedLength(static_cast<uint32_t>(out.size())) + out)) return;
    }
  }
  void Run() {
    while (WaitReadable(listen_fd_)) {
      const int fd = ::accept(listen_fd_, nullptr, nullptr);
      if (fd < 0) continue;
      Serve(fd);
      ::close(fd);
    }
  }

  Script script_;
  Delivery delivery_;
  int listen_fd_ = -1;
  int port_ = 0;
  std::atomic<bool> stop_{false};
  std::thread thread_;
  std::mutex mutex_;
  std::vector<SeenRequest> seen_;
};

}  // namespace tallyvox::mw::testing

#endif  // TALLYVOX_TESTS_MWCLIENT_SCRIPTED_SERVER_H_
