// One alert's delivery through one account, as the monitor makes it, is
// bounded: the wait for the answer to the final "." by the account's
// data_timeout_ms, and the whole delivery by the delivery bound (120 s in
// the programs, shortened here), against a scripted server over TLS.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "adapters/smtp_delivery.h"
#include "assembly/runner.h"
#include "support/mail_servers.h"
#include "support/real_fixture.h"
#include "support/test_ca.h"

namespace tallyvox::monitor::testing {
namespace {

using namespace std::chrono_literals;
using SteadyClock = std::chrono::steady_clock;
using tallyvox::testing::ScriptedServer;

class MailBoundsTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { ca_ = new tallyvox::testing::TestCA(); }
  static void TearDownTestSuite() {
    delete ca_;
    ca_ = nullptr;
  }
  static inline tallyvox::testing::TestCA* ca_ = nullptr;
  TempDir dir_;
};

TEST_F(MailBoundsTest, TheFinalDotAndTheWholeDeliveryWaitNoLongerThanTheirBounds) {
  struct Case {
    const char* name;
    std::string script;
    int32_t data_timeout_ms;
    int32_t delivery_bound_ms;
    std::chrono::milliseconds at_least;
  };
  const std::string slow = "DELAY 400 250 slow";
  const std::vector<Case> cases = {
      {"no answer to the final dot", R"({"data_end": ["SILENT"]})", 1000, kMailDeliveryBoundMs,
       900ms},
      // Each answer within the reply time-out, 3.2 s for the whole delivery.
      {"every answer slow",
       R"({"greeting": "DELAY 400 220 slow", "replies": {"EHLO": [")" + slow + R"("], "RSET": [")" +
           slow + R"("], "MAIL": [")" + slow + R"("], "RCPT": [")" + slow +
           R"("], "DATA": ["DELAY 400 354 go"]}, "data_end": [")" + slow + R"("]})",
       kAlertDataTimeoutMs, 1500, 1400ms},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ScriptedServer server(ca_->Localhost(), c.script);
    Settings settings = TestSettings(dir_.path(), 9, server.port(), ca_->ca_cert_file());
    settings.mail.accounts[3].data_timeout_ms = c.data_timeout_ms;
    settings.mail.delivery_bound_ms = c.delivery_bound_ms;
    StopSignal stop{ShutDownSockets};
    SmtpDelivery mail(settings.mail, stop);
    const auto start = SteadyClock::now();
    const Delivery d = mail.Send(4, Letter{kDownSubject, "IP 10.0.0.7 Is Down!"});
    const auto took = SteadyClock::now() - start;
    EXPECT_FALSE(d.delivered);
    EXPECT_GE(took, c.at_least);
    EXPECT_LT(took, c.at_least + 2s);
    EXPECT_EQ(d.error, "Read Timeout");  // the text the alert's message box shows
    EXPECT_FALSE(d.close_failure);       // the QUIT after the bound was written
  }
}

}  // namespace
}  // namespace tallyvox::monitor::testing
