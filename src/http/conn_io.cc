#include "http/conn_io.h"

#include <poll.h>
#include <sys/socket.h>

#include <cerrno>

#include "http/socket_io.h"

namespace tallyvox::http {

short ConnIo::Events() const { return POLLIN; }

namespace {

class PlainIo final : public ConnIo {
 public:
  using ConnIo::ConnIo;

  ssize_t Read(char* buf, size_t size) override {
    const ssize_t n = ::recv(fd(), buf, size, MSG_DONTWAIT);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return kWait;
    return n < 0 ? 0 : n;
  }
  bool SendNow(std::string_view bytes) override { return io::SendNow(fd(), bytes); }
  bool SendAll(std::string_view head, std::string_view body, Clock::time_point deadline,
               int stop_fd) override {
    return io::SendAll(fd(), head, body, deadline, stop_fd);
  }
  void ShutdownWrite() override { ::shutdown(fd(), SHUT_WR); }
};

}  // namespace

std::unique_ptr<ConnIo> PlainConnIo(int fd) { return std::make_unique<PlainIo>(fd); }

}  // namespace tallyvox::http
