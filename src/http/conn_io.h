// ConnIo: how the server reads and writes one accepted connection, so the
// event loop and the workers speak plain HTTP and HTTPS through the same
// calls (PlainIo here, TlsIo in http/tls_io.h).
//
// Ownership: the server owns the descriptor and closes it after the ConnIo
// is gone or done; a ConnIo never closes it. One thread at a time uses a
// ConnIo (the event thread, then the worker it is handed to).
//
// Invariant: no call waits, except SendAll, which waits at most until its
// deadline or until its stop descriptor turns readable.
#ifndef TALLYVOX_HTTP_CONN_IO_H_
#define TALLYVOX_HTTP_CONN_IO_H_

#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <memory>
#include <string_view>

namespace tallyvox::http {

class ConnIo {
 public:
  using Clock = std::chrono::steady_clock;

  // Read's answers besides a byte count (> 0) and 0 (the end of input or
  // an error: close the connection).
  static constexpr ssize_t kWait = -1;  // nothing yet: poll for Events()
  // The peer speaks another protocol than this port's (a plain HTTP
  // request to a TLS port): answer it with SendNow, which then writes in
  // the clear, and close.
  static constexpr ssize_t kRefuse = -2;

  explicit ConnIo(int fd) : fd_(fd) {}
  virtual ~ConnIo() = default;
  ConnIo(const ConnIo&) = delete;
  ConnIo& operator=(const ConnIo&) = delete;

  int fd() const { return fd_; }

  // Up to `size` request bytes the peer sent (for TLS after its handshake,
  // which Read drives), kWait, kRefuse or 0. Never waits.
  virtual ssize_t Read(char* buf, size_t size) = 0;
  // True when Read has bytes at hand that poll does not show (decrypted
  // and not yet taken).
  virtual bool Buffered() const { return false; }
  // What poll waits for on the descriptor now: POLLIN, or POLLOUT while a
  // TLS handshake has bytes to send.
  virtual short Events() const;
  // False while an answer cannot go yet (a TLS handshake under way).
  virtual bool Ready() const { return true; }
  // One write that does not wait; true when every byte went.
  virtual bool SendNow(std::string_view bytes) = 0;
  // Writes `head` then `body`, waiting for room until `deadline` or until
  // `stop_fd` turns readable. True when every byte went.
  virtual bool SendAll(std::string_view head, std::string_view body, Clock::time_point deadline,
                       int stop_fd) = 0;
  // Ends the sending side without waiting (TLS: its close_notify first).
  virtual void ShutdownWrite() = 0;

 private:
  const int fd_;
};

// Plain HTTP over the socket (http/socket_io.h).
std::unique_ptr<ConnIo> PlainConnIo(int fd);

}  // namespace tallyvox::http

#endif  // TALLYVOX_HTTP_CONN_IO_H_
