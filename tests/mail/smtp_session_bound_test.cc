// TNetSMTP's SessionTimeout bounds a whole session however the server
// behaves: a TLS handshake nobody answers ends at it rather than at the
// open's longer time-out, replies that each come within ReplyTimeout end at
// it together, and the close still writes QUIT.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "mail/message.h"
#include "mail/smtp.h"
#include "net/exceptions.h"
#include "net/ssl_io_handler.h"
#include "support/alert_message.h"
#include "support/loopback_socket.h"
#include "support/mail_servers.h"
#include "support/test_ca.h"

namespace tallyvox::mail {
namespace {

using namespace std::chrono_literals;
using SteadyClock = std::chrono::steady_clock;
using tallyvox::testing::ScriptedServer;

class SmtpSessionBoundTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { ca_ = new tallyvox::testing::TestCA(); }
  static void TearDownTestSuite() {
    delete ca_;
    ca_ = nullptr;
  }
  void SetUp() override { tls_.SSLOptions.RootCertFile = ca_->ca_cert_file(); }

  std::unique_ptr<TNetSMTP> Client(int port, int32_t session_ms) {
    auto smtp = std::make_unique<TNetSMTP>();
    smtp->SetIOHandler(&tls_);
    smtp->Host = "127.0.0.1";
    smtp->Port = port;
    smtp->HeloName = "monitor.test";
    smtp->ReplyTimeout = 5000;
    smtp->SessionTimeout = session_ms;
    return smtp;
  }

  static inline tallyvox::testing::TestCA* ca_ = nullptr;
  net::TNetSSLIOHandlerSocket tls_;
};

TEST_F(SmtpSessionBoundTest, AHandshakeNobodyAnswersEndsAtTheSessionsBound) {
  int port = 0;
  // Listens and never accepts: the connect completes, no TLS byte ever comes.
  const int listener = tallyvox::testing::BindLoopbackSocket(8, &port);
  auto smtp = Client(port, 800);
  const auto start = SteadyClock::now();
  EXPECT_THROW(smtp->OpenConnection(10000), net::ENetException);
  const auto took = SteadyClock::now() - start;
  EXPECT_GE(took, 700ms);
  EXPECT_LT(took, 5s);
  EXPECT_FALSE(smtp->IsOpen());
  ::close(listener);
}

TEST_F(SmtpSessionBoundTest, RepliesEachInTimeEndTogetherAtTheSessionsBound) {
  // Every reply after 0.4 s, well within ReplyTimeout: 3.2 s for a delivery.
  ScriptedServer server(ca_->Localhost(), R"({"greeting": "DELAY 400 220 slow",
      "replies": {"EHLO": ["DELAY 400 250 slow"], "RSET": ["DELAY 400 250 slow"],
                  "MAIL": ["DELAY 400 250 slow"], "RCPT": ["DELAY 400 250 slow"],
                  "DATA": ["DELAY 400 354 go"]},
      "data_end": ["DELAY 400 250 queued"]})");
  struct Case {
    const char* name;
    int32_t session_ms;
    bool delivered;
  };
  for (const Case& c : {Case{"no bound", 0, true}, Case{"1.5 s", 1500, false}}) {
    SCOPED_TRACE(c.name);
    auto smtp = Client(server.port(), c.session_ms);
    TNetMessage message = tallyvox::testing::AlertMessage("IP 10.0.0.7 Is Down!");
    const auto start = SteadyClock::now();
    bool delivered = false;
    try {
      smtp->OpenConnection(10000);
      smtp->DeliverMessage(message);
      delivered = true;
    } catch (const net::ENetReadTimeout& e) {
      EXPECT_STREQ(e.what(), "Read Timeout");
    }
    const auto took = SteadyClock::now() - start;
    EXPECT_EQ(delivered, c.delivered);
    if (!c.delivered) {
      EXPECT_GE(took, 1400ms);
      EXPECT_LT(took, 2500ms);
    }
    // QUIT is still written after the bound (a write after it would raise).
    EXPECT_NO_THROW(smtp->CloseConnection());
    EXPECT_FALSE(smtp->IsOpen());
  }
}

}  // namespace
}  // namespace tallyvox::mail
