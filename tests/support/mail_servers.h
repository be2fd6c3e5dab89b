// The SMTP servers the session tests talk to, each a Python child process on
// a loopback port it binds itself (port 0) and reports, with implicit TLS (a
// certificate of the test CA):
//   AiosmtpdServer  aiosmtpd (smtp_server.py): AUTH LOGIN checked, every
//                   message and every session's client bytes recorded;
//   ScriptedServer  scripted_smtp_server.py: answers as a JSON script says.
#ifndef TALLYVOX_TESTS_SUPPORT_MAIL_SERVERS_H_
#define TALLYVOX_TESTS_SUPPORT_MAIL_SERVERS_H_

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "support/support.h"
#include "support/test_ca.h"

namespace tallyvox::testing {

// One message as aiosmtpd received it.
struct ReceivedMessage {
  std::string helo, auth_user, mail_from, data;
  std::vector<std::string> rcpt_tos;
};

class AiosmtpdServer {
 public:
  // Throws std::runtime_error when the server does not start within ~15 s.
  // Port 0: one the system chooses; another: a port the test holds with a
  // shared RefusingPort (support.h), to start a server on it again.
  AiosmtpdServer(const TestCertificate& cert, const std::string& user, const std::string& password,
                 int port = 0);
  int port() const { return port_; }
  // Waits (bounded) until `count` messages / sessions are recorded.
  std::vector<ReceivedMessage> Messages(
      std::size_t count, std::chrono::milliseconds timeout = std::chrono::seconds(15));
  // The bytes the client sent in each finished session.
  std::vector<std::string> Sessions(std::size_t count,
                                    std::chrono::milliseconds timeout = std::chrono::seconds(15));
  std::string Output() const { return process_->Output(); }

 private:
  TempDir dir_;
  std::string record_;
  int port_ = 0;
  std::unique_ptr<ChildProcess> process_;
};

class ScriptedServer {
 public:
  // `script_json` as scripted_smtp_server.py describes; with `tls` false the
  // server speaks plain TCP. It listens on `host` (a loopback address) at
  // `port` (0: one the system chooses).
  ScriptedServer(const TestCertificate& cert, const std::string& script_json, bool tls = true,
                 const std::string& host = "127.0.0.1", int port = 0);
  int port() const { return port_; }
  // Every byte received so far, over all connections.
  std::string Received() const;
  // Waits (bounded) until `connections` connections have ended, then returns
  // Received(). Throws std::runtime_error on time-out.
  std::string ReceivedAfterClose(int connections = 1,
                                 std::chrono::milliseconds timeout = std::chrono::seconds(15));
  // Waits (bounded) until Received() contains `needle`.
  bool WaitForReceived(const std::string& needle,
                       std::chrono::milliseconds timeout = std::chrono::seconds(15));

 private:
  TempDir dir_;
  std::string record_;
  int port_ = 0;
  std::unique_ptr<ChildProcess> process_;
};

// Decodes standard base64 (test data only; stops at the first bad character).
std::string DecodeBase64(const std::string& text);

}  // namespace tallyvox::testing

#endif  // TALLYVOX_TESTS_SUPPORT_MAIL_SERVERS_H_
