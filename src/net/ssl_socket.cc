#include "net/ssl_socket.h"

#include <fcntl.h>
#include <openssl/err.h>
#include <openssl/x509v3.h>
#include <poll.h>
#include <sys/socket.h>

#include <cerrno>

#include "net/exceptions.h"
#include "net/ssl_context.h"
#include "net/ssl_exceptions.h"
#include "net/stack.h"

namespace tallyvox::net {
namespace {

// ---- A socket BIO that never raises SIGPIPE ----
//
// OpenSSL's own socket BIO writes with write(2), which raises SIGPIPE when
// the peer has gone. Ours sends with MSG_NOSIGNAL and keeps the errno of
// its last failure for the error report.

struct BioState {
  int fd;
  int last_errno;
};

bool Retryable(int err) { return err == EAGAIN || err == EWOULDBLOCK || err == EINTR; }

int BioWrite(BIO* bio, const char* data, int length) {
  auto* state = static_cast<BioState*>(BIO_get_data(bio));
  BIO_clear_retry_flags(bio);
  state->last_errno = 0;
  const ssize_t n = ::send(state->fd, data, static_cast<size_t>(length), MSG_NOSIGNAL);
  if (n < 0) {
    state->last_errno = errno;
    if (Retryable(errno)) BIO_set_retry_write(bio);
    return -1;
  }
  return static_cast<int>(n);
}

int BioRead(BIO* bio, char* data, int length) {
  auto* state = static_cast<BioState*>(BIO_get_data(bio));
  BIO_clear_retry_flags(bio);
  state->last_errno = 0;
  const ssize_t n = ::recv(state->fd, data, static_cast<size_t>(length), 0);
  if (n < 0) {
    state->last_errno = errno;
    if (Retryable(errno)) BIO_set_retry_read(bio);
    return -1;
  }
  return static_cast<int>(n);
}

long BioCtrl(BIO* /*bio*/, int cmd, long /*num*/, void* /*ptr*/) {
  return cmd == BIO_CTRL_FLUSH ? 1 : 0;
}

int BioDestroy(BIO* bio) {
  delete static_cast<BioState*>(BIO_get_data(bio));
  BIO_set_data(bio, nullptr);
  return 1;
}

BIO_METHOD* SocketBioMethod() {
  static BIO_METHOD* method = [] {
    BIO_METHOD* m = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK | BIO_TYPE_DESCRIPTOR,
                                 "tallyvox socket");
    if (m != nullptr) {
      BIO_meth_set_write(m, BioWrite);
      BIO_meth_set_read(m, BioRead);
      BIO_meth_set_ctrl(m, BioCtrl);
      BIO_meth_set_destroy(m, BioDestroy);
    }
    return m;
  }();
  return method;
}

int LastBioErrno(SSL* ssl) {
  BIO* bio = SSL_get_rbio(ssl);
  auto* state = bio ? static_cast<BioState*>(BIO_get_data(bio)) : nullptr;
  return state ? state->last_errno : 0;
}

// Waits until fd is readable (or writable); false when the deadline passed.
bool WaitSocket(int fd, bool for_write, const TNetDeadline& deadline) {
  for (;;) {
    pollfd p{fd, static_cast<short>(for_write ? POLLOUT : POLLIN), 0};
    const int rc = ::poll(&p, 1, deadline.RemainingMs());
    if (rc > 0) return true;  // ready, or an error/hang-up the next call reports
    if (rc == 0) return false;
    if (errno != EINTR) return true;  // let the TLS call report the failure
  }
}

}  // namespace

// ---- TNetSSLCipher ----

std::string TNetSSLCipher::Name() const { return cipher_ ? SSL_CIPHER_get_name(cipher_) : ""; }

std::string TNetSSLCipher::Description() const {
  if (cipher_ == nullptr) return "";
  char buf[256];
  return SSL_CIPHER_description(cipher_, buf, sizeof buf) ? std::string(buf) : std::string();
}

int32_t TNetSSLCipher::Bits() const { return cipher_ ? SSL_CIPHER_get_bits(cipher_, nullptr) : 0; }

std::string TNetSSLCipher::Version() const {
  return cipher_ ? SSL_CIPHER_get_version(cipher_) : "";
}

// ---- TNetSSLSocket ----

TNetSSLSocket::TNetSSLSocket(TNetSSLContext* context, TNetSSLIOHandlerSocket* channel, int fd)
    : context_(context), channel_(channel), fd_(fd) {
  ERR_clear_error();
  ssl_ = SSL_new(context_->Handle());
  BIO_METHOD* method = SocketBioMethod();
  if (ssl_ == nullptr || method == nullptr) {
    if (ssl_) SSL_free(ssl_);
    ssl_ = nullptr;
    ERR_clear_error();
    // Never fall back to plain text.
    throw ENetOSSLConnectError("could not create the TLS session");
  }
  if (SSL_set_app_data(ssl_, this) < 1) {
    SSL_free(ssl_);
    ssl_ = nullptr;
    throw ENetOSSLDataBindingError();
  }
  BIO* bio = BIO_new(method);
  if (bio == nullptr) {
    SSL_free(ssl_);
    ssl_ = nullptr;
    throw ENetOSSLConnectError("could not attach the TLS session to the socket");
  }
  BIO_set_data(bio, new BioState{fd_, 0});
  BIO_set_init(bio, 1);
  SSL_set_bio(ssl_, bio, bio);  // the session owns the BIO now
  const int flags = ::fcntl(fd_, F_GETFL, 0);
  if (flags >= 0) ::fcntl(fd_, F_SETFL, flags | O_NONBLOCK);
}

TNetSSLSocket::~TNetSSLSocket() {
  if (ssl_ == nullptr) return;
  if (handshake_done_ && !fatal_) {
    // One close_notify; the peer's answer is not awaited.
    ERR_clear_error();
    SSL_shutdown(ssl_);
  }
  SSL_free(ssl_);
  ERR_clear_error();
}

void TNetSSLSocket::Connect(const std::string& host, TNetDeadline deadline) {
  std::string ip;
  const bool is_ip = TNetStack::IsDottedQuad(host, &ip);
  if (!host.empty() && !is_ip) SSL_set_tlsext_host_name(ssl_, host.c_str());
  if (context_->VerifiesPeer()) {
    X509_VERIFY_PARAM* param = SSL_get0_param(ssl_);
    if (is_ip) {
      X509_VERIFY_PARAM_set1_ip_asc(param, ip.c_str());
    } else {
      X509_VERIFY_PARAM_set_hostflags(param, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
      SSL_set1_host(ssl_, host.c_str());
    }
  }
  for (;;) {
    ERR_clear_error();
    const int rc = SSL_connect(ssl_);
    if (rc == 1) break;
    const int err = SSL_get_error(ssl_, rc);
    if (err == SSL_ERROR_WANT_READ || err == SSL_ERROR_WANT_WRITE) {
      if (WaitSocket(fd_, err == SSL_ERROR_WANT_WRITE, deadline)) continue;
      fatal_ = true;
      throw ENetOSSLConnectError("handshake timed out");
    }
    fatal_ = true;
    const std::string reason = HandshakeFailureReason(err);
    ERR_clear_error();
    throw ENetOSSLConnectError(reason);
  }
  handshake_done_ = true;
}

std::string TNetSSLSocket::HandshakeFailureReason(int ssl_error) const {
  const unsigned long code = ERR_peek_error();
  if (ERR_GET_LIB(code) == ERR_LIB_SSL && ERR_GET_REASON(code) == SSL_R_CERTIFICATE_VERIFY_FAILED) {
    const long verify = SSL_get_verify_result(ssl_);
    return std::string("certificate verify failed: ") + X509_verify_cert_error_string(verify);
  }
  if (code != 0) {
    const char* text = ERR_reason_error_string(code);
    if (text != nullptr) return text;
    char buf[256];
    ERR_error_string_n(code, buf, sizeof buf);
    return buf;
  }
  const int saved_errno = LastBioErrno(ssl_);
  if (ssl_error == SSL_ERROR_SYSCALL && saved_errno != 0) {
    const int32_t number = WinsockErrorFromErrno(saved_errno);
    return "Socket Error # " + std::to_string(number) + " " + SocketErrorText(number);
  }
  return "the server closed the connection during the handshake";
}

int32_t TNetSSLSocket::FailureNumber(int ssl_error) {
  fatal_ = true;
  if (ssl_error == SSL_ERROR_SYSCALL) {
    const int saved_errno = LastBioErrno(ssl_);
    if (saved_errno != 0) return WinsockErrorFromErrno(saved_errno);
  }
  return kWsaeConnAborted;  // the TLS layer aborted the connection
}

int32_t TNetSSLSocket::Read(void* buffer, int32_t length, TNetDeadline deadline, int32_t* error) {
  for (;;) {
    ERR_clear_error();
    const int n = SSL_read(ssl_, buffer, length);
    if (n > 0) return n;
    const int err = SSL_get_error(ssl_, n);
    switch (err) {
      case SSL_ERROR_WANT_READ:
      case SSL_ERROR_WANT_WRITE:
        if (!WaitSocket(fd_, err == SSL_ERROR_WANT_WRITE, deadline)) throw ENetReadTimeout();
        continue;
      case SSL_ERROR_ZERO_RETURN:  // close_notify from the peer
        return 0;
      default:
        break;
    }
    // A peer that closes the TCP connection without close_notify has ended
    // the conversation too; the protocols above frame their own data.
    const unsigned long code = ERR_peek_error();
    const bool eof = (err == SSL_ERROR_SYSCALL && LastBioErrno(ssl_) == 0 && code == 0) ||
                     (ERR_GET_LIB(code) == ERR_LIB_SSL &&
                      ERR_GET_REASON(code) == SSL_R_UNEXPECTED_EOF_WHILE_READING);
    *error = FailureNumber(err);
    ERR_clear_error();
    return eof ? 0 : -1;
  }
}

int32_t TNetSSLSocket::Write(const void* buffer, int32_t length, TNetDeadline deadline,
                             int32_t* error) {
  if (length <= 0) return 0;
  for (;;) {
    ERR_clear_error();
    const int n = SSL_write(ssl_, buffer, length);
    if (n > 0) return n;
    const int err = SSL_get_error(ssl_, n);
    if (err == SSL_ERROR_WANT_READ || err == SSL_ERROR_WANT_WRITE) {
      if (WaitSocket(fd_, err == SSL_ERROR_WANT_WRITE, deadline)) continue;
      fatal_ = true;
      ERR_clear_error();
      *error = kWsaeTimedOut;
      return -1;
    }
    if (err == SSL_ERROR_ZERO_RETURN) return 0;
    *error = FailureNumber(err);
    ERR_clear_error();
    return -1;
  }
}

bool TNetSSLSocket::HasPendingBytes() const { return ssl_ != nullptr && SSL_pending(ssl_) > 0; }

std::string TNetSSLSocket::CipherStatusText() const {
  TNetSSLCipher cipher(ssl_);
  return "Cipher: name = " + cipher.Name() + "; description = " + cipher.Description() +
         "; bits = " + std::to_string(cipher.Bits()) + "; version = " + cipher.Version() + "; ";
}

}  // namespace tallyvox::net
