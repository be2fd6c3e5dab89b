// TNetSSLContext: one OpenSSL context (SSL_CTX) built from TNetSSLOptions.
// The TLS channel builds a fresh one at every connect and destroys it at
// close. Its trust store (the system's default CA paths plus RootCertFile
// and VerifyDirs) is parsed once for each pair of names and shared by every
// context built with them, until one of its files changes: each connect
// checks the files' sizes and times and builds the store anew when they
// differ, so a renewed CA file or system store is used from the next connect. TNetX509 is the
// read-only view of a certificate that the channel's OnVerifyPeer observer
// receives.
//
// OpenSSL 3 is linked directly; EnsureTlsLibrary() runs its one-time start-up
// before the first context of the process.
#ifndef TALLYVOX_NET_SSL_CONTEXT_H_
#define TALLYVOX_NET_SSL_CONTEXT_H_

#include <openssl/ssl.h>

#include <string>

#include "net/ssl_options.h"

namespace tallyvox::net {

class TNetSSLIOHandlerSocket;

// Starts the OpenSSL library once per process (error strings included).
// Raises ENetOSSLCouldNotLoadSSLLibrary when the start-up fails.
void EnsureTlsLibrary();

// A certificate borrowed from OpenSSL for the duration of a callback.
class TNetX509 {
 public:
  explicit TNetX509(X509* cert) : cert_(cert) {}
  // One-line distinguished names ("/CN=localhost"); "" without a certificate.
  std::string Subject() const;
  std::string Issuer() const;
  X509* Handle() const { return cert_; }

 private:
  X509* cert_;
};

class TNetSSLContext {
 public:
  // Builds the context for `mode` (sslmUnassigned is taken as client mode):
  // the flexible TLS method with TLS 1.2 as the floor, the system's default
  // CA paths, RootCertFile/VerifyDirs, CertFile/KeyFile, CipherList (when not
  // empty) and the verification of TNetSSLOptions. `owner` (may be null)
  // receives the password, status and verification callbacks.
  // Raises the ENetOpenSSLError descendants of ssl_exceptions.h.
  TNetSSLContext(const TNetSSLOptions& options, TNetSSLMode mode, TNetSSLIOHandlerSocket* owner);
  ~TNetSSLContext();
  TNetSSLContext(const TNetSSLContext&) = delete;
  TNetSSLContext& operator=(const TNetSSLContext&) = delete;

  SSL_CTX* Handle() const { return ctx_; }
  const TNetSSLOptions& Options() const { return options_; }
  TNetSSLMode Mode() const { return mode_; }
  // True when the server certificate and host name are checked.
  bool VerifiesPeer() const { return options_.VerifyServer; }
  bool HasVerifyObserver() const { return verify_observer_; }
  bool HasStatusObserver() const { return status_observer_; }

 private:
  // The client certificate and key of the options.
  void LoadFiles();
  void SetVerification();

  SSL_CTX* ctx_ = nullptr;
  TNetSSLOptions options_;
  TNetSSLMode mode_;
  TNetSSLIOHandlerSocket* owner_;
  bool verify_observer_ = false;
  bool status_observer_ = false;
};

}  // namespace tallyvox::net

#endif  // TALLYVOX_NET_SSL_CONTEXT_H_
