// TlsContext: the server side of TLS for http::Server (ServerOptions::tls),
// over OpenSSL: one certificate (with the chain its PEM file holds after
// it) and its private key, TLS 1.2 or later, no renegotiation, no session
// resumption (every connection carries one request).
//
// The handshake is driven by the server's event thread without ever
// waiting (TlsContext::Accept's ConnIo does it inside Read, one step per
// readiness of the socket), within the request's deadline; a client that
// stalls mid-handshake is closed at that deadline like any slow client. A
// plain HTTP request to a TLS port (its first byte is no TLS record) is
// answered "400 Bad Request" in the clear and closed.
//
// Thread-safe: one context serves every connection of every thread.
#ifndef TALLYVOX_HTTP_TLS_CONTEXT_H_
#define TALLYVOX_HTTP_TLS_CONTEXT_H_

#include <memory>
#include <stdexcept>
#include <string>

#include "http/conn_io.h"

struct ssl_ctx_st;

namespace tallyvox::http {

class TlsError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class TlsContext {
 public:
  // Reads the PEM files (at most 1 MiB each, never waiting on a FIFO or a
  // device): the certificate, then the chain, from `cert_file`; an
  // unencrypted private key from `key_file`. Raises TlsError naming the
  // file and what is wrong: unreadable, no certificate or key in it, an
  // encrypted key, a key that does not match the certificate, or one that
  // OpenSSL refuses (too weak).
  static std::shared_ptr<const TlsContext> Load(const std::string& cert_file,
                                                const std::string& key_file);
  ~TlsContext();
  TlsContext(const TlsContext&) = delete;
  TlsContext& operator=(const TlsContext&) = delete;

  // The server's side of an accepted connection on `fd` (non-blocking).
  // Null when OpenSSL cannot make one (out of memory): close the socket.
  std::unique_ptr<ConnIo> Accept(int fd) const;

 private:
  explicit TlsContext(ssl_ctx_st* ctx) : ctx_(ctx) {}
  ssl_ctx_st* const ctx_;
};

}  // namespace tallyvox::http

#endif  // TALLYVOX_HTTP_TLS_CONTEXT_H_
