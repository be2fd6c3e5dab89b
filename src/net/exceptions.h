// The exceptions of the network layer. Every class derives from
// ENetException, which derives from std::runtime_error; what() is the fixed
// message text that the monitor shows unchanged.
//
//   ENetException
//     ENetSilentException
//       ENetConnClosedGracefully   "Connection Closed Gracefully."
//     ENetAlreadyConnected         "Already connected."
//     ENetInvalidSocket            "Cannot allocate socket."
//     ENetSocketHandleError
//       ENetCouldNotBindSocket     "Could not bind socket. Address and port are already in use."
//       ENetInvalidPortRange       "Invalid Port Range (%d - %d)"
//       ENetCanNotBindPortInRange  "Can not bind in port range (%d - %d)"
//     ENetConnectTimeout           "Connect timed out."
//     ENetConnectException         the message of the failed connect (carries the number)
//     ENetSocketError              "Socket Error # %d\r\n%s" (carries the number)
//     ENetInvalidIPAddress         "Invalid IP address: %s"
//     ENetClosedSocket             "Disconnected."
//     ENetStackError
//       ENetStackInitializationFailed "Winsock Initialization Error."
//     ENetWS2StubError             socket library cannot be used
//     ENetTCPConnectionError
//       ENetNotConnected           "Not Connected"
//       ENetNoDataToRead           "No data to read."
//       ENetNotEnoughDataInBuffer  "Not enough data in buffer."
//     ENetReadTimeout              "Read Timeout"
//       ENetDeadlineExpired        "no answer within %s s" (the deadline's budget)
//     ENetReadLnMaxLineLengthExceeded "Max line length exceeded."
//     ENetReplyTooLong             "Reply has more than 1000 lines."
//     ENetProtocolReplyError       reply text lines, each + CR LF (carries the code)
//
// Socket error numbers are the Windows Sockets numbers of net/socket_errors.h.
// A message that quotes a peer (a server's reply) keeps each NUL byte as
// \x00 (base/text.h), as what() would end at the first one.
#ifndef TALLYVOX_NET_EXCEPTIONS_H_
#define TALLYVOX_NET_EXCEPTIONS_H_

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>

#include "base/text.h"
#include "net/socket_errors.h"

namespace tallyvox::net {

class ENetException : public std::runtime_error {
 public:
  explicit ENetException(const std::string& message) : std::runtime_error(NulsVisible(message)) {}
  std::string Message() const { return what(); }
};

class ENetSilentException : public ENetException {
 public:
  using ENetException::ENetException;
};

class ENetConnClosedGracefully : public ENetSilentException {
 public:
  ENetConnClosedGracefully() : ENetSilentException("Connection Closed Gracefully.") {}
};

class ENetAlreadyConnected : public ENetException {
 public:
  ENetAlreadyConnected() : ENetException("Already connected.") {}
};

class ENetInvalidSocket : public ENetException {
 public:
  ENetInvalidSocket() : ENetException("Cannot allocate socket.") {}
};

class ENetSocketHandleError : public ENetException {
 public:
  using ENetException::ENetException;
};

class ENetCouldNotBindSocket : public ENetSocketHandleError {
 public:
  ENetCouldNotBindSocket()
      : ENetSocketHandleError("Could not bind socket. Address and port are already in use.") {}
};

class ENetInvalidPortRange : public ENetSocketHandleError {
 public:
  ENetInvalidPortRange(int32_t min, int32_t max)
      : ENetSocketHandleError("Invalid Port Range (" + std::to_string(min) + " - " +
                              std::to_string(max) + ")") {}
};

class ENetCanNotBindPortInRange : public ENetSocketHandleError {
 public:
  ENetCanNotBindPortInRange(int32_t min, int32_t max)
      : ENetSocketHandleError("Can not bind in port range (" + std::to_string(min) + " - " +
                              std::to_string(max) + ")") {}
};

class ENetConnectTimeout : public ENetException {
 public:
  ENetConnectTimeout() : ENetException("Connect timed out.") {}
};

// A time-limited connect failed; the message is that of the failure.
class ENetConnectException : public ENetException {
 public:
  using ENetException::ENetException;
  // A connect the system refused with socket error `error`: its message is
  // SocketErrorMessage(error), and LastError() the number.
  static ENetConnectException Failed(int32_t error) {
    ENetConnectException e(SocketErrorMessage(error));
    e.error_ = error;
    return e;
  }
  // The socket error number, 0 when the connect failed without one.
  int32_t LastError() const { return error_; }

 private:
  int32_t error_ = 0;
};

class ENetSocketError : public ENetException {
 public:
  explicit ENetSocketError(int32_t error)
      : ENetException(SocketErrorMessage(error)), error_(error) {}
  int32_t LastError() const { return error_; }

 private:
  int32_t error_;
};

// A host text that looks like an address but is none: four decimal parts
// of which one exceeds 255, or a number with a leading zero or "0x".
class ENetInvalidIPAddress : public ENetException {
 public:
  explicit ENetInvalidIPAddress(const std::string& host)
      : ENetException("Invalid IP address: " + host) {}
};

class ENetClosedSocket : public ENetException {
 public:
  ENetClosedSocket() : ENetException("Disconnected.") {}
};

class ENetStackError : public ENetException {
 public:
  using ENetException::ENetException;
};

class ENetStackInitializationFailed : public ENetStackError {
 public:
  ENetStackInitializationFailed() : ENetStackError("Winsock Initialization Error.") {}
};

class ENetWS2StubError : public ENetException {
 public:
  using ENetException::ENetException;
};

class ENetTCPConnectionError : public ENetException {
 public:
  using ENetException::ENetException;
};

class ENetNotConnected : public ENetTCPConnectionError {
 public:
  ENetNotConnected() : ENetTCPConnectionError("Not Connected") {}
};

class ENetNoDataToRead : public ENetTCPConnectionError {
 public:
  ENetNoDataToRead() : ENetTCPConnectionError("No data to read.") {}
};

class ENetNotEnoughDataInBuffer : public ENetTCPConnectionError {
 public:
  ENetNotEnoughDataInBuffer() : ENetTCPConnectionError("Not enough data in buffer.") {}
};

class ENetReadTimeout : public ENetException {
 public:
  ENetReadTimeout() : ENetException("Read Timeout") {}

 protected:
  explicit ENetReadTimeout(const std::string& message) : ENetException(message) {}
};

// A wait ended by the deadline of the whole operation (net/deadline.h), not
// by its own time-out: a read time-out to every handler of one, whose text
// names the deadline's budget ("no answer within 10 s", "... within 0.25 s").
class ENetDeadlineExpired : public ENetReadTimeout {
 public:
  explicit ENetDeadlineExpired(std::chrono::milliseconds budget)
      : ENetReadTimeout("no answer within " + SecondsText(budget) + " s") {}

 private:
  static std::string SecondsText(std::chrono::milliseconds budget) {
    const auto ms = budget.count();
    std::string text = std::to_string(ms / 1000);
    if (ms % 1000 == 0) return text;
    std::string fraction = std::to_string(1000 + ms % 1000).substr(1);
    while (fraction.back() == '0') fraction.pop_back();
    return text + "." + fraction;
  }
};

class ENetReadLnMaxLineLengthExceeded : public ENetException {
 public:
  ENetReadLnMaxLineLengthExceeded() : ENetException("Max line length exceeded.") {}
};

// A numeric reply of more lines than a connection takes (kMaxReplyLines).
class ENetReplyTooLong : public ENetException {
 public:
  explicit ENetReplyTooLong(size_t max_lines)
      : ENetException("Reply has more than " + std::to_string(max_lines) + " lines.") {}
};

// A numeric reply whose code was not allowed. The message is the reply's
// text lines, each followed by CR LF.
class ENetProtocolReplyError : public ENetException {
 public:
  ENetProtocolReplyError(int32_t reply_code, const std::string& message)
      : ENetException(message), reply_code_(reply_code) {}
  int32_t ReplyErrorCode() const { return reply_code_; }

 private:
  int32_t reply_code_;
};

}  // namespace tallyvox::net

#endif  // TALLYVOX_NET_EXCEPTIONS_H_
