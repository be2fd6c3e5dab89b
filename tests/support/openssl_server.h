// `openssl s_server` started by a test on a loopback port of the system's choice, for testing
// TLS clients against a real peer. By default it runs with -rev (every line
// received is sent back reversed, ending in LF) and -msg (every TLS record is
// logged, so a test can see for example a received close_notify alert).
// The destructor stops the server.
#ifndef TALLYVOX_TESTS_SUPPORT_OPENSSL_SERVER_H_
#define TALLYVOX_TESTS_SUPPORT_OPENSSL_SERVER_H_

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "support/support.h"
#include "support/test_ca.h"

namespace tallyvox::testing {

struct OpenSslServerOptions {
  // Arguments added after the defaults, e.g. {"-tls1", "-cipher", "DEFAULT:@SECLEVEL=0"}
  // for a server that speaks TLS 1.0 only, or {"-servername", "localhost", "-cert2", ...,
  // "-key2", ...} to answer with another certificate when the client names "localhost".
  std::vector<std::string> extra_args;
  bool reverse_lines = true;  // -rev
  bool log_messages = true;   // -msg
};

class OpenSslServer {
 public:
  // Starts the server with `cert` on 127.0.0.1, port 0, and waits (about 10 s at
  // most) until it reports the port it listens on. Throws std::runtime_error, with the server's
  // output, when it does not start.
  explicit OpenSslServer(const TestCertificate& cert, OpenSslServerOptions options = {});
  ~OpenSslServer();
  OpenSslServer(const OpenSslServer&) = delete;
  OpenSslServer& operator=(const OpenSslServer&) = delete;

  const std::string& ip() const { return ip_; }
  int port() const { return port_; }

  // Everything the server printed so far.
  std::string Output() const;
  // How often `needle` occurs in Output().
  int Count(const std::string& needle) const;
  // True once `needle` occurs at least `times` times, false after `timeout`.
  bool WaitForCount(const std::string& needle, int times, std::chrono::milliseconds timeout);
  bool Running();

  // Log lines worth waiting for.
  static constexpr const char* kConnectionEstablished = "CONNECTION ESTABLISHED";
  static constexpr const char* kCloseNotifyReceived =
      "<<< TLS 1.3, Alert [length 0002], warning close_notify";

 private:
  std::string ip_ = "127.0.0.1";
  int port_ = 0;
  std::unique_ptr<ChildProcess> process_;
};

}  // namespace tallyvox::testing

#endif  // TALLYVOX_TESTS_SUPPORT_OPENSSL_SERVER_H_
