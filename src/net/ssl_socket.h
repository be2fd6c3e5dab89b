// TNetSSLSocket: one TLS client session (SSL) over a connected TCP socket.
//
// The socket is switched to non-blocking mode and every TLS call is retried
// while OpenSSL wants to read or write, waiting with poll() for the socket
// until a deadline. That bounds the handshake and the reads of a record that
// arrives only in part. Bytes go through a small BIO of our own that sends
// with MSG_NOSIGNAL, so a peer that has gone away never raises SIGPIPE.
//
// Invariant: the destructor sends at most one close_notify, and only for a
// session whose handshake finished and that saw no fatal error.
#ifndef TALLYVOX_NET_SSL_SOCKET_H_
#define TALLYVOX_NET_SSL_SOCKET_H_

#include <openssl/ssl.h>

#include <cstdint>
#include <string>

#include "net/deadline.h"

namespace tallyvox::net {

class TNetSSLContext;
class TNetSSLIOHandlerSocket;

// The negotiated cipher of a session.
class TNetSSLCipher {
 public:
  explicit TNetSSLCipher(const SSL* ssl) : cipher_(SSL_get_current_cipher(ssl)) {}
  std::string Name() const;
  std::string Description() const;
  int32_t Bits() const;
  std::string Version() const;

 private:
  const SSL_CIPHER* cipher_;
};

class TNetSSLSocket {
 public:
  // Creates the session on `fd` (switched to non-blocking mode).
  // REQUIRES: `context` and `channel` outlive this session; fd is connected.
  // Raises ENetOSSLConnectError when OpenSSL yields no session and
  // ENetOSSLDataBindingError when the session cannot carry its owner.
  TNetSSLSocket(TNetSSLContext* context, TNetSSLIOHandlerSocket* channel, int fd);
  // Sends one close_notify (see Invariant) without waiting for the peer's.
  ~TNetSSLSocket();
  TNetSSLSocket(const TNetSSLSocket&) = delete;
  TNetSSLSocket& operator=(const TNetSSLSocket&) = delete;

  // The client handshake. `host` is the name the connection was opened
  // with: sent as the server name (SNI) unless it is a dotted quad, and,
  // when the context verifies, matched against the certificate.
  // Raises ENetOSSLConnectError naming OpenSSL's reason, also when the
  // deadline passes first.
  void Connect(const std::string& host, TNetDeadline deadline);

  // > 0 bytes read, 0 when the peer closed (close_notify or end of stream),
  // -1 on failure with *error the Windows Sockets number (kWsaeConnAborted for a TLS
  // protocol failure). Raises ENetReadTimeout when the deadline passes while
  // OpenSSL still waits for the rest of a record.
  int32_t Read(void* buffer, int32_t length, TNetDeadline deadline, int32_t* error);
  // All `length` bytes, or -1 with *error. When the peer takes nothing
  // before the deadline: -1 with kWsaeTimedOut, and the session is finished (a
  // half-written record cannot be resumed with other bytes).
  int32_t Write(const void* buffer, int32_t length, TNetDeadline deadline, int32_t* error);
  // Decrypted bytes already held by OpenSSL.
  bool HasPendingBytes() const;

  bool HandshakeDone() const { return handshake_done_; }
  // The channel that owns this session (for the OpenSSL callbacks).
  TNetSSLIOHandlerSocket* Channel() const { return channel_; }
  TNetSSLContext* Context() const { return context_; }
  SSL* Handle() const { return ssl_; }
  // "Cipher: name = ...; description = ...; bits = ...; version = ...; "
  std::string CipherStatusText() const;

 private:
  std::string HandshakeFailureReason(int ssl_error) const;
  int32_t FailureNumber(int ssl_error);

  TNetSSLContext* context_;
  TNetSSLIOHandlerSocket* channel_;
  int fd_;
  SSL* ssl_ = nullptr;
  bool handshake_done_ = false;
  bool fatal_ = false;  // OpenSSL forbids SSL_shutdown after a fatal error
};

}  // namespace tallyvox::net

#endif  // TALLYVOX_NET_SSL_SOCKET_H_
