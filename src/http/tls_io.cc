// The server's side of one TLS connection (TlsContext::Accept).
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>

#include "http/socket_io.h"
#include "http/tls_context.h"

namespace tallyvox::http {
namespace {

// The first byte of every TLS record of a handshake: a client whose first
// byte is another one does not speak TLS.
constexpr unsigned char kHandshakeRecord = 0x16;

// ---- A socket BIO that never raises SIGPIPE ----
// OpenSSL's own socket BIO writes with write(2), which raises SIGPIPE when
// the peer has gone; ours sends with MSG_NOSIGNAL and never waits.

bool Retryable(int err) { return err == EAGAIN || err == EWOULDBLOCK || err == EINTR; }

int BioWrite(BIO* bio, const char* data, int length) {
  BIO_clear_retry_flags(bio);
  const int fd = static_cast<int>(reinterpret_cast<intptr_t>(BIO_get_data(bio)));
  const ssize_t n = ::send(fd, data, static_cast<size_t>(length), MSG_NOSIGNAL | MSG_DONTWAIT);
  if (n < 0 && Retryable(errno)) BIO_set_retry_write(bio);
  return n < 0 ? -1 : static_cast<int>(n);
}

int BioRead(BIO* bio, char* data, int length) {
  BIO_clear_retry_flags(bio);
  const int fd = static_cast<int>(reinterpret_cast<intptr_t>(BIO_get_data(bio)));
  const ssize_t n = ::recv(fd, data, static_cast<size_t>(length), MSG_DONTWAIT);
  if (n < 0 && Retryable(errno)) BIO_set_retry_read(bio);
  return n < 0 ? -1 : static_cast<int>(n);
}

long BioCtrl(BIO*, int cmd, long, void*) { return cmd == BIO_CTRL_FLUSH ? 1 : 0; }

BIO_METHOD* SocketBioMethod() {
  static BIO_METHOD* const method = [] {
    BIO_METHOD* m = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK | BIO_TYPE_DESCRIPTOR,
                                 "tallyvox http socket");
    if (m != nullptr) {
      BIO_meth_set_write(m, BioWrite);
      BIO_meth_set_read(m, BioRead);
      BIO_meth_set_ctrl(m, BioCtrl);
    }
    return m;
  }();
  return method;
}

// Waits until fd is ready for `events`; false past the deadline or once
// stop_fd is readable.
bool WaitFor(int fd, short events, ConnIo::Clock::time_point deadline, int stop_fd) {
  for (;;) {
    const auto left =
        std::chrono::ceil<std::chrono::milliseconds>(deadline - ConnIo::Clock::now()).count();
    if (left <= 0) return false;
    pollfd fds[2] = {{fd, events, 0}, {stop_fd, POLLIN, 0}};
    const int n = ::poll(fds, 2, static_cast<int>(std::min<int64_t>(left, 60000)));
    if (n < 0 && errno != EINTR) return false;
    if (n <= 0) continue;
    return fds[1].revents == 0;  // ready, or an error the next call reports
  }
}

class TlsIo final : public ConnIo {
 public:
  TlsIo(int fd, SSL* ssl) : ConnIo(fd), ssl_(ssl) {}
  ~TlsIo() override { SSL_free(ssl_); }

  ssize_t Read(char* buf, size_t size) override;
  bool Buffered() const override { return established_ && SSL_pending(ssl_) > 0; }
  short Events() const override { return events_; }
  bool Ready() const override { return established_ || clear_; }
  bool SendNow(std::string_view bytes) override;
  bool SendAll(std::string_view head, std::string_view body, Clock::time_point deadline,
               int stop_fd) override;
  void ShutdownWrite() override;

 private:
  // Why the last SSL call did not go on: kWait (events_ set to what it
  // waits for) or 0 (the connection failed or ended).
  ssize_t Stalled(int rc);
  ssize_t Handshake();
  bool Write(std::string_view bytes, Clock::time_point deadline, int stop_fd);

  SSL* const ssl_;
  short events_ = POLLIN;
  bool peeked_ = false;       // the first byte was a TLS record's
  bool established_ = false;  // the handshake is done
  bool clear_ = false;        // not TLS: read and answered in the clear
};

ssize_t TlsIo::Stalled(int rc) {
  const int error = SSL_get_error(ssl_, rc);
  ERR_clear_error();
  if (error == SSL_ERROR_WANT_READ) {
    events_ = POLLIN;
    return kWait;
  }
  if (error == SSL_ERROR_WANT_WRITE) {
    events_ = POLLOUT;
    return kWait;
  }
  return 0;
}

ssize_t TlsIo::Handshake() {
  if (!peeked_) {
    unsigned char first = 0;
    const ssize_t n = ::recv(fd(), &first, 1, MSG_PEEK | MSG_DONTWAIT);
    if (n < 0) return Retryable(errno) ? kWait : 0;
    if (n == 0) return 0;
    if (first != kHandshakeRecord) {
      clear_ = true;
      return kRefuse;
    }
    peeked_ = true;
  }
  ERR_clear_error();
  const int rc = SSL_accept(ssl_);
  if (rc != 1) return Stalled(rc);
  established_ = true;
  events_ = POLLIN;
  return kWait;
}

ssize_t TlsIo::Read(char* buf, size_t size) {
  if (clear_) {  // refused: what follows is read and dropped
    const ssize_t n = ::recv(fd(), buf, size, MSG_DONTWAIT);
    if (n < 0) return Retryable(errno) ? kWait : 0;
    return n;
  }
  if (!established_) {
    const ssize_t r = Handshake();
    if (!established_) return r;
  }
  size_t got = 0;
  ERR_clear_error();
  const int rc = SSL_read_ex(ssl_, buf, size, &got);
  if (rc == 1) return static_cast<ssize_t>(got);
  return Stalled(rc);
}

bool TlsIo::SendNow(std::string_view bytes) {
  if (clear_) return io::SendNow(fd(), bytes);
  if (!established_) return false;
  // An answer into an empty socket buffer: it fits at once or not at all.
  return Write(bytes, Clock::now(), -1);
}

bool TlsIo::Write(std::string_view bytes, Clock::time_point deadline, int stop_fd) {
  while (!bytes.empty()) {
    size_t written = 0;
    ERR_clear_error();
    const int rc = SSL_write_ex(ssl_, bytes.data(), bytes.size(), &written);
    if (rc == 1) {
      bytes.remove_prefix(written);
      continue;
    }
    if (Stalled(rc) != kWait || stop_fd < 0 || !WaitFor(fd(), events_, deadline, stop_fd)) {
      return false;
    }
  }
  return true;
}

bool TlsIo::SendAll(std::string_view head, std::string_view body, Clock::time_point deadline,
                    int stop_fd) {
  if (clear_) return io::SendAll(fd(), head, body, deadline, stop_fd);
  return established_ && Write(head, deadline, stop_fd) && Write(body, deadline, stop_fd);
}

void TlsIo::ShutdownWrite() {
  if (established_) {
    ERR_clear_error();
    SSL_shutdown(ssl_);  // sends close_notify if there is room; never waits for the peer's
    ERR_clear_error();
  }
  ::shutdown(fd(), SHUT_WR);
}

}  // namespace

std::unique_ptr<ConnIo> TlsContext::Accept(int fd) const {
  BIO_METHOD* method = SocketBioMethod();
  SSL* ssl = method != nullptr ? SSL_new(ctx_) : nullptr;
  BIO* bio = ssl != nullptr ? BIO_new(method) : nullptr;
  if (bio == nullptr) {
    SSL_free(ssl);
    ERR_clear_error();
    return nullptr;
  }
  BIO_set_data(bio, reinterpret_cast<void*>(static_cast<intptr_t>(fd)));
  BIO_set_init(bio, 1);
  SSL_set_bio(ssl, bio, bio);
  SSL_set_accept_state(ssl);
  return std::make_unique<TlsIo>(fd, ssl);
}

}  // namespace tallyvox::http
