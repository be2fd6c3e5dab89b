// SMTP sessions over implicit TLS against real servers on loopback: aiosmtpd
// (login checked, what it received compared byte for byte) and a scripted
// server that refuses and misbehaves on request.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "mail/env_guard.h"
#include "mail/header_coding.h"
#include "mail/mail_exceptions.h"
#include "mail/message.h"
#include "mail/smtp.h"
#include "net/exceptions.h"
#include "net/ssl_io_handler.h"
#include "support/alert_message.h"
#include "support/mail_servers.h"
#include "support/scripted_io_handler.h"
#include "support/test_ca.h"

namespace tallyvox::mail {
namespace {

using namespace std::chrono_literals;
using tallyvox::testing::AiosmtpdServer;
using tallyvox::testing::ScriptedServer;
using testing::EnvGuard;

constexpr char kUser[] = "alerts@quorvant.example";
constexpr char kPassword[] = "s3cret pass\xE9";
constexpr char kHelo[] = "monitor.test";

// The alert message as the monitor sets it up, with a fixed date.
TNetMessage AlertMessage(const std::string& body = "IP 10.0.0.7 Is Down!") {
  TNetMessage message = tallyvox::testing::AlertMessage(body);
  message.SetDate(EncodeDate(2026, 12, 10) + EncodeTime(1, 2, 3, 0));
  return message;
}

// The alert's header block under TZ=UTC0, empty line included.
std::string AlertHeaderBlock() {
  return "From: \"Quorvant\" <monitor@quorvant.example>\r\n"
         "Subject: Server Down!\r\n"
         "To: \"Quell\" <quell@home.example>, \"Quell Phone\" <5550100@txt.example>\r\n"
         "Sender: Quell <quell@home.example>\r\n"
         "Date: Thu, 10 Dec 2026 01:02:03 +0000\r\n"
         "X-Priority: 3\r\n"
         "X-Library: Tallyvox 2.4\r\n"
         "\r\n";
}

// What the client sends for one delivery of `data` (already dot-stuffed).
std::string DeliveryBytes(bool login, const std::string& data) {
  std::string bytes = "RSET\r\n";
  if (login) {
    bytes += "AUTH LOGIN\r\n" + EncodeBase64(kUser) + "\r\n" + EncodeBase64(kPassword) + "\r\n";
  }
  return bytes +
         "MAIL FROM:<monitor@quorvant.example>\r\n"
         "RCPT TO:<quell@home.example>\r\n"
         "RCPT TO:<5550100@txt.example>\r\n"
         "DATA\r\n" +
         data + ".\r\n";
}

class SmtpSessionTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { ca_ = new tallyvox::testing::TestCA(); }
  static void TearDownTestSuite() {
    delete ca_;
    ca_ = nullptr;
  }

  void SetUp() override {
    env_.Set("TZ", "UTC0");
    env_.Locale("en_US.UTF-8");
    tls_.SSLOptions.RootCertFile = ca_->ca_cert_file();
  }

  // A client on the shared TLS channel, set up as an alert account.
  std::unique_ptr<TNetSMTP> Client(int port) {
    auto smtp = std::make_unique<TNetSMTP>();
    smtp->SetIOHandler(&tls_);
    smtp->Host = "127.0.0.1";
    smtp->Port = port;
    smtp->SetAuthenticationType(TAuthenticationType::atLogin);
    smtp->Username = kUser;
    smtp->Password = kPassword;
    smtp->HeloName = kHelo;
    return smtp;
  }

  ScriptedServer Scripted(const std::string& script) {
    return ScriptedServer(ca_->Localhost(), script);
  }

  static tallyvox::testing::TestCA* ca_;
  EnvGuard env_;
  net::TNetSSLIOHandlerSocket tls_;
};

tallyvox::testing::TestCA* SmtpSessionTest::ca_ = nullptr;

// ------------------------------------------------------------- aiosmtpd

TEST_F(SmtpSessionTest, TwoClientsSharingTheTlsChannelDeliverToAiosmtpd) {
  AiosmtpdServer server(ca_->Localhost(), kUser, kPassword);
  TNetMessage message = AlertMessage();
  const std::vector<std::string> bodies = {"IP 10.0.0.7 Is Down!",
                                           "IP 10.0.0.8 Is Not Responding!\r\n.\r\n.hidden"};
  std::vector<std::unique_ptr<TNetSMTP>> clients;
  clients.push_back(Client(server.port()));
  clients.push_back(Client(server.port()));
  for (std::size_t i = 0; i < clients.size(); ++i) {
    TNetSMTP& smtp = *clients[i];
    message.SetBodyText(bodies[i]);
    smtp.OpenConnection(10000);
    EXPECT_EQ(smtp.AuthMechanisms(), (std::vector<std::string>{"LOGIN", "PLAIN"}));
    smtp.DeliverMessage(message);
    EXPECT_TRUE(smtp.LoggedIn());
    ASSERT_TRUE(smtp.IsOpen());
    smtp.CloseConnection();
    EXPECT_FALSE(smtp.IsOpen());
    EXPECT_FALSE(smtp.LoggedIn());
  }

  const std::vector<std::string> data = {
      AlertHeaderBlock() + "IP 10.0.0.7 Is Down!\r\n",
      AlertHeaderBlock() + "IP 10.0.0.8 Is Not Responding!\r\n.\r\n.hidden\r\n"};
  const auto messages = server.Messages(2);
  ASSERT_EQ(messages.size(), 2u) << server.Output();
  for (std::size_t i = 0; i < 2; ++i) {
    EXPECT_EQ(messages[i].helo, kHelo);
    EXPECT_EQ(messages[i].auth_user, kUser);
    EXPECT_EQ(messages[i].mail_from, "monitor@quorvant.example");
    EXPECT_EQ(messages[i].rcpt_tos,
              (std::vector<std::string>{"quell@home.example", "5550100@txt.example"}));
    EXPECT_EQ(messages[i].data, data[i]);  // what the server stored, dots unstuffed
  }
  // Every byte each client sent inside TLS, with the leading dots doubled.
  const auto sessions = server.Sessions(2);
  ASSERT_EQ(sessions.size(), 2u);
  EXPECT_EQ(sessions[0], "EHLO monitor.test\r\n" +
                             DeliveryBytes(true, AlertHeaderBlock() + "IP 10.0.0.7 Is Down!\r\n") +
                             "QUIT\r\n");
  EXPECT_EQ(sessions[1],
            "EHLO monitor.test\r\n" +
                DeliveryBytes(true, AlertHeaderBlock() +
                                        "IP 10.0.0.8 Is Not Responding!\r\n..\r\n..hidden\r\n") +
                "QUIT\r\n");
}

TEST_F(SmtpSessionTest, SecondDeliveryOnOneConnectionDoesNotLogInAgain) {
  AiosmtpdServer server(ca_->Localhost(), kUser, kPassword);
  auto smtp = Client(server.port());
  TNetMessage message = AlertMessage();
  smtp->OpenConnection(10000);
  smtp->DeliverMessage(message);
  smtp->DeliverMessage(message);
  smtp->CloseConnection();
  ASSERT_EQ(server.Messages(2).size(), 2u);
  const std::string data = AlertHeaderBlock() + "IP 10.0.0.7 Is Down!\r\n";
  EXPECT_EQ(server.Sessions(1).at(0), "EHLO monitor.test\r\n" + DeliveryBytes(true, data) +
                                          DeliveryBytes(false, data) + "QUIT\r\n");
}

TEST_F(SmtpSessionTest, WrongPasswordIsRefusedWithTheServersText) {
  AiosmtpdServer server(ca_->Localhost(), kUser, "another password");
  auto smtp = Client(server.port());
  TNetMessage message = AlertMessage();
  smtp->OpenConnection(10000);
  try {
    smtp->DeliverMessage(message);
    FAIL() << "a wrong password was accepted";
  } catch (const net::ENetProtocolReplyError& e) {
    EXPECT_EQ(e.ReplyErrorCode(), 535);
    EXPECT_STREQ(e.what(), "5.7.8 Authentication credentials invalid\r\n");
  }
  EXPECT_FALSE(smtp->LoggedIn());
  EXPECT_TRUE(smtp->IsOpen());  // the caller closes
  smtp->CloseConnection();
  EXPECT_EQ(server.Sessions(1).at(0), "EHLO monitor.test\r\nRSET\r\nAUTH LOGIN\r\n" +
                                          EncodeBase64(kUser) + "\r\n" + EncodeBase64(kPassword) +
                                          "\r\nQUIT\r\n");
  EXPECT_TRUE(server.Messages(0).empty());
}

// ------------------------------------------------------- scripted server

// Wire bytes of messages that need quoting, encoding, folding and dot doubling.
TEST_F(SmtpSessionTest, MessageBytesOnTheWire) {
  ScriptedServer server = Scripted(R"({"replies": {"EHLO": ["250 hi"]}})");
  auto smtp = Client(server.port());
  TNetMessage message;
  message.From = TNetEMailAddressItem("Ops \"night\" desk\\2", "ops@quorvant.example");
  message.Sender = TNetEMailAddressItem("Quell", "quell@home.example");
  message.Recipients.Add("J\xC3\xBCrgen M\xC3\xBCller", "jm@example.de");  // UTF-8
  message.Recipients.Add("", "bare@example.com");
  message.CCList.Add("Copy", "cc@example.com");
  message.BccList.Add("Hidden", "bcc@example.com");
  message.Subject = "Serveur arr\xC3\xAAt\xC3\xA9";
  message.ExtraHeaders.PutField(
      "X-Roster", "10.0.0.1, 10.0.0.2, 10.0.0.3, 10.0.0.4, 10.0.0.5, 10.0.0.6, 10.0.0.7, 10.0.0.8");
  message.ExtraHeaders.PutField("X-Mailer", "stale");
  message.SetDate(EncodeDate(2026, 12, 10) + EncodeTime(1, 2, 3, 0));
  message.Body = {"first", ".", ".starts with a dot", "", "last . line", "smuggled\r\n.\r\nRSET"};
  smtp->MailAgent = "";  // removes the stale X-Mailer
  smtp->OpenConnection(10000);
  smtp->DeliverMessage(message);
  smtp->CloseConnection();

  const std::string data =
      "From: \"Ops \\\"night\\\" desk\\\\2\" <ops@quorvant.example>\r\n"
      "Subject: Serveur =?UTF-8?Q?arr=C3=AAt=C3=A9?=\r\n"
      "To: =?UTF-8?Q?J=C3=BCrgen_M=C3=BCller?= <jm@example.de>, bare@example.com\r\n"
      "Cc: \"Copy\" <cc@example.com>\r\n"
      "Sender: Quell <quell@home.example>\r\n"
      "Date: Thu, 10 Dec 2026 01:02:03 +0000\r\n"
      "X-Priority: 3\r\n"
      "X-Library: Tallyvox 2.4\r\n"
      // Cut after the comma in column 79: the blank after it starts the next
      // piece, behind the blank of the fold.
      "X-Roster: 10.0.0.1, 10.0.0.2, 10.0.0.3, 10.0.0.4, 10.0.0.5, 10.0.0.6, 10.0.0.7,\r\n"
      "  10.0.0.8\r\n"
      "\r\n"
      "first\r\n"
      "..\r\n"
      "..starts with a dot\r\n"
      "\r\n"
      "last . line\r\n"
      "smuggled\r\n"
      "..\r\n"
      "RSET\r\n"
      ".\r\n";
  EXPECT_EQ(server.ReceivedAfterClose(),
            "EHLO monitor.test\r\n"
            "RSET\r\n"
            "MAIL FROM:<ops@quorvant.example>\r\n"
            "RCPT TO:<jm@example.de>\r\n"
            "RCPT TO:<bare@example.com>\r\n"
            "RCPT TO:<cc@example.com>\r\n"
            "RCPT TO:<bcc@example.com>\r\n"
            "DATA\r\n" +
                data + "QUIT\r\n");
}

TEST_F(SmtpSessionTest, MailAgentAddsXMailerLast) {
  ScriptedServer server = Scripted("{}");
  auto smtp = Client(server.port());
  smtp->MailAgent = "Tallyvox Monitor";
  TNetMessage message = AlertMessage();
  smtp->OpenConnection(10000);
  smtp->DeliverMessage(message);
  smtp->CloseConnection();
  const std::string received = server.ReceivedAfterClose();
  EXPECT_NE(received.find("X-Library: Tallyvox 2.4\r\nX-Mailer: Tallyvox Monitor\r\n\r\n"),
            std::string::npos)
      << received;
}

// One scripted scenario: the server's script, what the client must send, and
// the refusal it must raise (code 0: none).
struct Scenario {
  std::string name;
  std::string script;
  std::string client_bytes;  // after "EHLO monitor.test\r\n"
  int error_code;
  std::string error_text;
  std::vector<std::string> mechanisms;
};

TEST_F(SmtpSessionTest, ScriptedServersRefuseAndDiffer) {
  const std::string data = AlertHeaderBlock() + "IP 10.0.0.7 Is Down!\r\n";
  const std::string auth_ok = R"("auth_replies": ["334 UGFzc3dvcmQ6", "235 2.7.0 Accepted"])";
  const std::vector<Scenario> scenarios = {
      {"EHLO refused, HELO accepted: no AUTH",
       R"({"replies": {"EHLO": ["500 5.5.1 Command unrecognized"], "HELO": ["250 hello"]}})",
       "HELO monitor.test\r\n" + DeliveryBytes(false, data) + "QUIT\r\n",
       0,
       "",
       {}},
      {"EHLO without AUTH line",
       R"({"replies": {"EHLO": ["250-mail.test\r\n250-SIZE 1000\r\n250 8BITMIME"]}})",
       DeliveryBytes(false, data) + "QUIT\r\n",
       0,
       "",
       {}},
      {"only PLAIN offered",
       R"({"replies": {"EHLO": ["250-mail.test\r\n250-AUTH PLAIN CRAM-MD5\r\n250 OK"]}})",
       DeliveryBytes(false, data) + "QUIT\r\n",
       0,
       "",
       {"PLAIN", "CRAM-MD5"}},
      {"AUTH= form, lower case, duplicates",
       R"({"replies": {"EHLO": ["250-mail.test\r\n250-auth=login plain\r\n250-AUTH LOGIN\r\n250 OK"],
           "AUTH": ["334 VXNlcm5hbWU6"]}, )" +
           auth_ok + "}",
       DeliveryBytes(true, data) + "QUIT\r\n",
       0,
       "",
       {"LOGIN", "PLAIN"}},
      {"535 to the password",
       R"({"replies": {"EHLO": ["250-mail.test\r\n250 AUTH LOGIN"], "AUTH": ["334 VXNlcm5hbWU6"]},
           "auth_replies": ["334 UGFzc3dvcmQ6", "535 5.7.8 Authentication failed"]})",
       "RSET\r\nAUTH LOGIN\r\n" + EncodeBase64(kUser) + "\r\n" + EncodeBase64(kPassword) +
           "\r\nQUIT\r\n",
       535,
       "5.7.8 Authentication failed\r\n",
       {"LOGIN"}},
      {"334 refused at the user name",
       R"({"replies": {"EHLO": ["250-mail.test\r\n250 AUTH LOGIN"], "AUTH": ["334 VXNlcm5hbWU6"]},
           "auth_replies": ["501 5.5.2 Cannot decode"]})",
       "RSET\r\nAUTH LOGIN\r\n" + EncodeBase64(kUser) + "\r\nQUIT\r\n",
       501,
       "5.5.2 Cannot decode\r\n",
       {"LOGIN"}},
      {"550 to the first RCPT: second not tried",
       R"({"replies": {"RCPT": ["550 5.1.1 No such user", "250 OK"]}})",
       "RSET\r\nMAIL FROM:<monitor@quorvant.example>\r\nRCPT TO:<quell@home.example>\r\nQUIT\r\n",
       550,
       "5.1.1 No such user\r\n",
       {}},
      {"251 accepted like 250",
       R"({"replies": {"RCPT": ["251 User not local; will forward", "251 also forwarded"]}})",
       DeliveryBytes(false, data) + "QUIT\r\n",
       0,
       "",
       {}},
      {"MAIL FROM refused",
       R"({"replies": {"MAIL": ["553-5.1.8 Sender rejected\r\n553 5.1.8 see policy"]}})",
       "RSET\r\nMAIL FROM:<monitor@quorvant.example>\r\nQUIT\r\n",
       553,
       "5.1.8 Sender rejected\r\n5.1.8 see policy\r\n",
       {}},
      {"DATA refused",
       R"({"replies": {"DATA": ["451 4.3.0 Try later"]}})",
       "RSET\r\nMAIL FROM:<monitor@quorvant.example>\r\nRCPT TO:<quell@home.example>\r\n"
       "RCPT TO:<5550100@txt.example>\r\nDATA\r\nQUIT\r\n",
       451,
       "4.3.0 Try later\r\n",
       {}},
      {"message refused after the dot",
       R"({"data_end": ["554 5.6.0 Message rejected"]})",
       DeliveryBytes(false, data) + "QUIT\r\n",
       554,
       "5.6.0 Message rejected\r\n",
       {}},
      {"multi-line replies throughout",
       R"({"greeting": "220-mail.test ESMTP\r\n220-no spam\r\n220 go ahead",
           "replies": {"EHLO": ["250-mail.test\r\n250-PIPELINING\r\n250 HELP"],
                       "RSET": ["250-reset\r\n250 done"], "MAIL": ["250-ok\r\n250 sender ok"],
                       "DATA": ["354-go\r\n354 end with dot"]},
           "data_end": ["250-queued\r\n250 as 4711"]})",
       DeliveryBytes(false, data) + "QUIT\r\n",
       0,
       "",
       {}},
      {"RSET refused is ignored",
       R"({"replies": {"RSET": ["502 5.5.1 Not implemented"]}})",
       DeliveryBytes(false, data) + "QUIT\r\n",
       0,
       "",
       {}},
  };
  for (const Scenario& s : scenarios) {
    SCOPED_TRACE(s.name);
    ScriptedServer server = Scripted(s.script);
    auto smtp = Client(server.port());
    TNetMessage message = AlertMessage();
    smtp->OpenConnection(10000);
    EXPECT_EQ(smtp->AuthMechanisms(), s.mechanisms);
    try {
      smtp->DeliverMessage(message);
      EXPECT_EQ(s.error_code, 0) << "no refusal raised";
    } catch (const net::ENetProtocolReplyError& e) {
      EXPECT_EQ(e.ReplyErrorCode(), s.error_code);
      EXPECT_EQ(std::string(e.what()), s.error_text);
    }
    smtp->CloseConnection();
    EXPECT_EQ(server.ReceivedAfterClose(), "EHLO monitor.test\r\n" + s.client_bytes);
  }
}

TEST_F(SmtpSessionTest, LastReplyOfAMultiLineReply) {
  ScriptedServer server =
      Scripted(R"({"data_end": ["250-queued\r\n250-on node 2\r\n250 as 4711"]})");
  auto smtp = Client(server.port());
  TNetMessage message = AlertMessage();
  smtp->OpenConnection(10000);
  smtp->DeliverMessage(message);
  EXPECT_EQ(smtp->LastReply().NumericCode, 250);
  EXPECT_EQ(smtp->LastReply().Text, (std::vector<std::string>{"queued", "on node 2", "as 4711"}));
  smtp->CloseConnection();
}

TEST_F(SmtpSessionTest, GreetingOtherThan220WritesQuitAndRaisesItsText) {
  ScriptedServer server = Scripted(R"({"greeting": "421 4.3.2 mail.test busy, try later"})");
  auto smtp = Client(server.port());
  try {
    smtp->OpenConnection(10000);
    FAIL() << "greeting 421 accepted";
  } catch (const net::ENetProtocolReplyError& e) {
    EXPECT_EQ(e.ReplyErrorCode(), 421);
    EXPECT_STREQ(e.what(), "4.3.2 mail.test busy, try later\r\n");
  }
  EXPECT_FALSE(smtp->IsOpen());
  EXPECT_EQ(server.ReceivedAfterClose(), "QUIT\r\n");
}

// The refusal, not a failure of the QUIT that follows it, reaches the caller.
TEST_F(SmtpSessionTest, GreetingRefusalOfAServerThatHangsUpAtOnce) {
  ScriptedServer server =
      Scripted(R"({"greeting": "554 5.7.1 No service for you", "close_after_greeting": true})");
  auto smtp = Client(server.port());
  try {
    smtp->OpenConnection(10000);
    FAIL() << "greeting 554 accepted";
  } catch (const net::ENetProtocolReplyError& e) {
    EXPECT_EQ(e.ReplyErrorCode(), 554);
    EXPECT_STREQ(e.what(), "5.7.1 No service for you\r\n");
  }
  EXPECT_FALSE(smtp->IsOpen());
}

TEST_F(SmtpSessionTest, HeloRefusedAfterEhloClosesTheSession) {
  ScriptedServer server = Scripted(R"({"replies": {"EHLO": ["502 no"], "HELO": ["554 go away"]}})");
  auto smtp = Client(server.port());
  EXPECT_THROW(smtp->OpenConnection(10000), net::ENetProtocolReplyError);
  EXPECT_FALSE(smtp->IsOpen());
  EXPECT_EQ(server.ReceivedAfterClose(), "EHLO monitor.test\r\nHELO monitor.test\r\nQUIT\r\n");
  // The shared channel is free again for the next account.
  ScriptedServer next = Scripted("{}");
  auto other = Client(next.port());
  other->OpenConnection(10000);
  other->CloseConnection();
  EXPECT_EQ(next.ReceivedAfterClose(), "EHLO monitor.test\r\nQUIT\r\n");
}

TEST_F(SmtpSessionTest, UseEhloFalseSendsHeloAndNoLogin) {
  ScriptedServer server = Scripted(R"({"replies": {"HELO": ["250 hello"]}})");
  auto smtp = Client(server.port());
  smtp->SetUseEhlo(false);
  EXPECT_EQ(smtp->AuthenticationType(), TAuthenticationType::atNone);
  TNetMessage message = AlertMessage();
  smtp->OpenConnection(10000);
  smtp->DeliverMessage(message);
  smtp->CloseConnection();
  EXPECT_EQ(server.ReceivedAfterClose(),
            "HELO monitor.test\r\n" +
                DeliveryBytes(false, AlertHeaderBlock() + "IP 10.0.0.7 Is Down!\r\n") + "QUIT\r\n");
}

TEST_F(SmtpSessionTest, EmptyHeloNameUsesTheLocalHostName) {
  ScriptedServer server = Scripted("{}");
  auto smtp = Client(server.port());
  smtp->HeloName = "";
  smtp->OpenConnection(10000);
  smtp->CloseConnection();
  const std::string host = net::TNetStack::Instance().LocalHostName();
  ASSERT_FALSE(host.empty());
  EXPECT_EQ(server.ReceivedAfterClose(), "EHLO " + host + "\r\nQUIT\r\n");
}

// A server that stops answering, or dribbles bytes that never make a reply,
// ends the delivery with "Read Timeout" after the account's reply bound,
// instead of holding the caller forever.
TEST_F(SmtpSessionTest, SilentServerEndsWithReadTimeout) {
  struct Case {
    std::string name, script, sent_before_quit;
    bool during_open;
  };
  const std::vector<Case> cases = {
      {"silent greeting", R"({"greeting": "SILENT"})", "", true},
      {"silent after EHLO", R"({"replies": {"EHLO": ["SILENT"]}})", "EHLO monitor.test\r\n", true},
      // Empty lines keep arriving but never a reply: the bound is per reply,
      // not per received block.
      {"empty lines after EHLO", R"({"replies": {"EHLO": ["DRIP"]}})", "EHLO monitor.test\r\n",
       true},
      {"silent after MAIL FROM", R"({"replies": {"MAIL": ["SILENT"]}})",
       "EHLO monitor.test\r\nRSET\r\nMAIL FROM:<monitor@quorvant.example>\r\n", false},
      {"silent after the dot", R"({"data_end": ["SILENT"]})",
       "EHLO monitor.test\r\n" +
           DeliveryBytes(false, AlertHeaderBlock() + "IP 10.0.0.7 Is Down!\r\n"),
       false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ScriptedServer server = Scripted(c.script);
    auto smtp = Client(server.port());
    smtp->ReplyTimeout = 1000;
    smtp->DataTerminationTimeout = 1000;
    TNetMessage message = AlertMessage();
    const auto start = std::chrono::steady_clock::now();
    try {
      smtp->OpenConnection(10000);
      ASSERT_FALSE(c.during_open) << "open did not time out";
      smtp->DeliverMessage(message);
      FAIL() << "no time-out";
    } catch (const net::ENetReadTimeout& e) {
      EXPECT_STREQ(e.what(), "Read Timeout");
    }
    const auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_GE(waited, 900ms);
    EXPECT_LT(waited, 10s);
    EXPECT_EQ(smtp->IsOpen(), !c.during_open);
    smtp->CloseConnection();
    EXPECT_EQ(server.ReceivedAfterClose(), c.sent_before_quit + "QUIT\r\n");
  }
}

// Empty lines as fast as the client takes them: the bound holds for the whole reply
// whatever arrives, and once it is up bytes already waiting are not taken.
TEST_F(SmtpSessionTest, FloodOfEmptyLinesEndsAtTheReplyBound) {
  ScriptedServer server = Scripted(R"({"replies": {"EHLO": ["FLOOD"]}})");
  auto smtp = Client(server.port());
  smtp->ReplyTimeout = 1000;
  const auto start = std::chrono::steady_clock::now();
  EXPECT_THROW(smtp->OpenConnection(10000), net::ENetReadTimeout);
  const auto waited = std::chrono::steady_clock::now() - start;
  EXPECT_GE(waited, 900ms);
  EXPECT_LT(waited, 5s);  // the server floods for 20 s
  EXPECT_FALSE(smtp->IsOpen());
}

// The answer to the final "." may come after minutes on a server that scans the
// message: it has a bound of its own, longer than every other reply's.
TEST_F(SmtpSessionTest, SlowAnswerToTheFinalDotIsAwaitedWithinItsOwnBound) {
  ScriptedServer server = Scripted(R"({"data_end": ["DELAY 1500 250 queued"]})");
  auto smtp = Client(server.port());
  smtp->ReplyTimeout = 500;
  smtp->DataTerminationTimeout = 10000;
  TNetMessage message = AlertMessage();
  smtp->OpenConnection(10000);
  EXPECT_NO_THROW(smtp->DeliverMessage(message));
  EXPECT_EQ(smtp->LastReply().NumericCode, 250);
  // Still bounded: shorter than the pause, it times out.
  smtp->DataTerminationTimeout = 700;
  const auto start = std::chrono::steady_clock::now();
  EXPECT_THROW(smtp->DeliverMessage(message), net::ENetReadTimeout);
  const auto waited = std::chrono::steady_clock::now() - start;
  EXPECT_GE(waited, 650ms);
  smtp->CloseConnection();
}

TEST_F(SmtpSessionTest, ReplyBoundIsAnAccountSettingAndReadTimeoutWins) {
  TNetSMTP smtp;
  EXPECT_EQ(smtp.ReplyTimeout, 30000);
  EXPECT_EQ(smtp.DataTerminationTimeout, 600000);
  EXPECT_EQ(smtp.ReadTimeout, 0);
  EXPECT_EQ(smtp.Port, 25);
  ScriptedServer server = Scripted(R"({"replies": {"EHLO": ["SILENT"]}})");
  auto client = Client(server.port());
  client->ReplyTimeout = 60000;
  client->ReadTimeout = 500;  // a positive read time-out is used as it is
  const auto start = std::chrono::steady_clock::now();
  EXPECT_THROW(client->OpenConnection(10000), net::ENetReadTimeout);
  EXPECT_LT(std::chrono::steady_clock::now() - start, 20s);
}

TEST_F(SmtpSessionTest, ServerClosingDuringDataFailsTheDelivery) {
  ScriptedServer server = Scripted(R"({"close_in_data": true})");
  auto smtp = Client(server.port());
  TNetMessage message = AlertMessage();
  smtp->OpenConnection(10000);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_THROW(smtp->DeliverMessage(message), net::ENetException);
  EXPECT_LT(std::chrono::steady_clock::now() - start, 20s);
  try {
    smtp->CloseConnection();
  } catch (const net::ENetException&) {
    // Writing QUIT to a closed peer may fail; the client is closed either way.
  }
  EXPECT_FALSE(smtp->IsOpen());
  EXPECT_FALSE(smtp->LoggedIn());
  const std::string received = server.ReceivedAfterClose();
  EXPECT_EQ(received.rfind("EHLO monitor.test\r\nRSET\r\n", 0), 0u) << received;
  EXPECT_NE(received.find("DATA\r\nFrom: "), std::string::npos) << received;
}

TEST_F(SmtpSessionTest, UntrustedCertificateFailsTheOpen) {
  ScriptedServer server(ca_->SelfSignedLocalhost(), "{}");
  auto smtp = Client(server.port());
  EXPECT_THROW(smtp->OpenConnection(10000), net::ENetException);
  EXPECT_FALSE(smtp->IsOpen());
  EXPECT_EQ(server.ReceivedAfterClose(), "");  // no SMTP byte left the client
}

TEST_F(SmtpSessionTest, CloseConnectionOnAClosedClientSendsNothing) {
  // Never opened.
  tallyvox::testing::TNetScriptedIOHandler channel;
  TNetSMTP never;
  never.SetIOHandler(&channel);
  EXPECT_NO_THROW(never.CloseConnection());
  EXPECT_EQ(channel.Sent(), "");
  EXPECT_EQ(channel.ConnectCount(), 0);
  TNetSMTP without_channel;
  EXPECT_NO_THROW(without_channel.CloseConnection());

  // Closed after a session: the second close sends nothing more.
  ScriptedServer server = Scripted("{}");
  auto smtp = Client(server.port());
  smtp->OpenConnection(10000);
  smtp->CloseConnection();
  EXPECT_NO_THROW(smtp->CloseConnection());
  EXPECT_FALSE(smtp->IsOpen());
  EXPECT_EQ(server.ReceivedAfterClose(), "EHLO monitor.test\r\nQUIT\r\n");
}

}  // namespace
}  // namespace tallyvox::mail
