// The SMTP client over a scripted channel (no network): what it sends for inputs
// that must not reach the wire as they are (line breaks in addresses, names and
// header values, leading dots), what it makes of replies (a NUL in a refusal, a
// flood of empty lines), and its settings.
#include <gtest/gtest.h>

#include <chrono>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "mail/env_guard.h"
#include "mail/header_coding.h"
#include "mail/mail_exceptions.h"
#include "mail/message.h"
#include "mail/smtp.h"
#include "net/exceptions.h"
#include "support/alert_message.h"
#include "support/scripted_io_handler.h"

namespace tallyvox::mail {
namespace {

using namespace std::chrono_literals;
using testing::EnvGuard;

constexpr char kHelo[] = "monitor.test";

// The alert message as the monitor sets it up, with a fixed date.
TNetMessage AlertMessage() {
  TNetMessage message = tallyvox::testing::AlertMessage();
  message.SetDate(EncodeDate(2026, 12, 10) + EncodeTime(1, 2, 3, 0));
  return message;
}

// Sessions over a scripted channel (no network): what the client sends for
// inputs that must not reach the wire as they are.
class ScriptedChannelTest : public ::testing::Test {
 protected:
  void SetUp() override {
    env_.Set("TZ", "UTC0");
    env_.Locale("en_US.UTF-8");
    smtp_.SetIOHandler(&channel_);
    smtp_.HeloName = kHelo;
  }
  void Serve(const std::vector<std::string>& replies) {
    for (const std::string& reply : replies) channel_.AddInput(reply + "\r\n");
  }

  EnvGuard env_;
  tallyvox::testing::TNetScriptedIOHandler channel_;
  TNetSMTP smtp_;
};

// A channel that, once its script is used up, always has more empty lines waiting: a
// block of them every millisecond, at most `blocks` blocks.
class EmptyLineFlood : public tallyvox::testing::TNetScriptedIOHandler {
 public:
  explicit EmptyLineFlood(int blocks) : left_(blocks) { SetHangAtEnd(true); }
  bool WaitReadable(int32_t timeout_ms) override {
    return TNetScriptedIOHandler::WaitReadable(timeout_ms) || left_ > 0;
  }
  int32_t ReceiveRaw(void* buffer, int32_t length) override {
    if (left_ > 0 && !TNetScriptedIOHandler::WaitReadable(0)) {
      --left_;
      std::this_thread::sleep_for(1ms);
      AddInput(std::string(256, '\n'));
    }
    return TNetScriptedIOHandler::ReceiveRaw(buffer, length);
  }
  int left() const { return left_; }

 private:
  int left_;
};

// Empty lines are skipped, but the time they take counts: bytes that keep arriving,
// already waiting at every look, do not hold a reply past its bound.
TEST(SmtpReplyBoundTest, EmptyLinesAlwaysWaitingEndAtTheBound) {
  EmptyLineFlood channel(20000);  // 20 s of empty lines at least
  channel.AddInput("220 hi\r\n");
  TNetSMTP smtp;
  smtp.SetIOHandler(&channel);
  smtp.HeloName = kHelo;
  smtp.ReplyTimeout = 300;
  EXPECT_THROW(smtp.OpenConnection(0), net::ENetReadTimeout);
  EXPECT_GT(channel.left(), 15000) << "the reply wait went on past its bound";
  EXPECT_EQ(channel.Sent(), "EHLO monitor.test\r\nQUIT\r\n");
}

TEST_F(ScriptedChannelTest, RawMessageLinesAreStillDotDoubled) {
  Serve({"220 hi", "250 hello", "250 reset", "250 sender", "250 rcpt", "354 go", "250 done"});
  TNetMessage message;
  message.NoEncode = true;
  message.From.SetAddress("a@x");
  message.Recipients.Add("", "b@x");
  message.Headers.Add("Subject: raw");
  message.Body = {"one", ".", ".two"};
  smtp_.OpenConnection(0);
  smtp_.DeliverMessage(message);
  EXPECT_EQ(channel_.Sent(),
            "EHLO monitor.test\r\nRSET\r\nMAIL FROM:<a@x>\r\nRCPT TO:<b@x>\r\nDATA\r\n"
            "Subject: raw\r\n\r\none\r\n..\r\n..two\r\n.\r\n");
}

TEST_F(ScriptedChannelTest, AddressWithLineBreakIsRefusedBeforeAnythingIsSent) {
  Serve({"220 hi", "250 hello"});
  smtp_.OpenConnection(0);
  channel_.ClearSent();
  for (const char* address : {"a@x>\r\nRCPT TO:<evil@y", "a@x\n", "a\r@x"}) {
    TNetMessage message = AlertMessage();
    message.BccList.Add("", address);
    EXPECT_THROW(smtp_.DeliverMessage(message), ENetMessageException) << address;
  }
  TNetMessage message = AlertMessage();
  message.From.SetAddress("m@x\r\nDATA");
  EXPECT_THROW(smtp_.DeliverMessage(message), ENetMessageException);
  EXPECT_EQ(channel_.Sent(), "");
}

// Display names, the subject and the Sender's and Reply-To's addresses (settings
// values) go into header lines only: a line break in them continues its header line,
// so it can neither start a header of its own (Bcc), nor end the header block, nor
// end the data early with a line of a single dot.
TEST_F(ScriptedChannelTest, LineBreaksInHeaderValuesNeitherInjectHeadersNorEndTheData) {
  Serve({"220 hi", "250 hello", "250 reset", "250 sender", "250 rcpt", "250 rcpt", "354 go",
         "250 done"});
  const std::string evil = "x\r\n.\r\nBcc: evil@y\r\n\r\nbody\n.\rRCPT TO:<z@y>";
  TNetMessage message = AlertMessage();
  message.Subject += evil;
  message.From.SetName("Quorvant" + evil);
  message.Sender = TNetEMailAddressItem("Quell" + evil, "quell@home.example" + evil);
  message.Recipients[0].SetName("Quell" + evil);
  message.ReplyTo.Add("Reply" + evil, "reply@home.example" + evil);
  smtp_.OpenConnection(0);
  smtp_.DeliverMessage(message);
  const std::string sent = channel_.Sent();
  ASSERT_EQ(sent.rfind("EHLO monitor.test\r\nRSET\r\nMAIL FROM:<monitor@quorvant.example>\r\n"
                       "RCPT TO:<quell@home.example>\r\nRCPT TO:<5550100@txt.example>\r\n"
                       "DATA\r\n",
                       0),
            0u)
      << sent;
  const std::string data = sent.substr(sent.find("DATA\r\n") + 6);
  // The data ends at its first line of a single dot, after the body.
  const size_t header_end = data.find("\r\n\r\n");
  ASSERT_NE(header_end, std::string::npos);
  EXPECT_EQ(data.substr(header_end + 4), "IP 10.0.0.7 Is Down!\r\n.\r\n");
  EXPECT_EQ(data.find("\r\n.\r\n"), data.size() - 5);
  const std::set<std::string> names = {"From", "Subject",    "To",        "Sender",  "Reply-To",
                                       "Date", "X-Priority", "X-Library", "X-Mailer"};
  size_t start = 0;
  while (start < header_end + 2) {
    const size_t end = data.find("\r\n", start);
    const std::string line = data.substr(start, end - start);
    start = end + 2;
    EXPECT_EQ(line.find_first_of("\r\n"), std::string::npos) << line;
    if (line[0] == ' ' || line[0] == '\t') continue;  // a continuation line
    EXPECT_EQ(names.count(line.substr(0, line.find(':'))), 1u) << "a header of its own: " << line;
  }
}

TEST_F(ScriptedChannelTest, HeloNameWithLineBreakClosesTheSession) {
  Serve({"220 hi"});
  smtp_.HeloName = "host\r\nMAIL FROM:<x@y>";
  EXPECT_THROW(smtp_.OpenConnection(0), ENetMessageException);
  EXPECT_FALSE(smtp_.IsOpen());
  EXPECT_EQ(channel_.Sent(), "QUIT\r\n");
}

// A mail server's reply may hold any byte: the refusal keeps its text whole, a NUL
// shown as \x00 (what() would end there) and the rest as the server sent it.
TEST_F(ScriptedChannelTest, RefusalTextWithANulKeepsItsEnd) {
  using namespace std::string_literals;
  Serve({"220 hi", "250 hello", "250 reset", "550 no\0such \x1b[2Juser"s});
  TNetMessage message = AlertMessage();
  smtp_.OpenConnection(0);
  try {
    smtp_.DeliverMessage(message);
    FAIL() << "delivered";
  } catch (const net::ENetProtocolReplyError& e) {
    EXPECT_EQ(e.ReplyErrorCode(), 550);
    EXPECT_STREQ(e.what(), "no\\x00such \x1b[2Juser\r\n");
  }
}

TEST_F(ScriptedChannelTest, DeliverOnAClosedClientRaisesAndSendsNothing) {
  TNetMessage message = AlertMessage();
  try {
    smtp_.DeliverMessage(message);
    FAIL() << "delivered without a connection";
  } catch (const net::ENetConnClosedGracefully& e) {
    EXPECT_STREQ(e.what(), "Connection Closed Gracefully.");
  }
  EXPECT_EQ(channel_.Sent(), "");
}

TEST(SmtpSettingsTest, AuthenticationTypeAndUseEhloAreCoupled) {
  TNetSMTP smtp;
  EXPECT_TRUE(smtp.UseEhlo());
  EXPECT_EQ(smtp.AuthenticationType(), TAuthenticationType::atNone);
  smtp.SetUseEhlo(false);
  smtp.SetAuthenticationType(TAuthenticationType::atLogin);
  EXPECT_TRUE(smtp.UseEhlo());
  smtp.SetUseEhlo(false);
  EXPECT_EQ(smtp.AuthenticationType(), TAuthenticationType::atNone);
  smtp.SetUseEhlo(true);
  EXPECT_EQ(smtp.AuthenticationType(), TAuthenticationType::atNone);
}

}  // namespace
}  // namespace tallyvox::mail
