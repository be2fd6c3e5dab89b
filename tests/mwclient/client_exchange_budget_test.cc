// The request/response exchange: the reconnect budget, recovering by
// reconnecting, and redirects.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "middleware/client/client.h"
#include "middleware/client/client_exceptions.h"
#include "middleware/client/client_transport.h"
#include "mwclient/exchange_fixture.h"
#include "mwclient/scripted_server.h"
#include "support/mwserver_process.h"
#include "support/support.h"

namespace tallyvox::mw {
namespace {

using namespace exchangetest;  // NOLINT: the fixture and its helpers
using tallyvox::testing::MwServerProcess;

struct BudgetCase {
  const char* name;
  int max_retries;
  int max_retries_alternative;
  bool auto_fallback;
  std::vector<ReconnectCall> reconnects;
};

class BudgetTest : public ExchangeTest, public ::testing::WithParamInterface<BudgetCase> {};

// A server that never answers correctly (refused): the reconnects the
// budget allows, then "Connection lost.".
TEST_P(BudgetTest, SpendsTheBudgetThenGivesUp) {
  const BudgetCase& c = GetParam();
  tallyvox::testing::RefusingPort refused_port;
  const int refused = refused_port.port();
  tallyvox::testing::RefusingPort fallback_port;
  const int fallback = fallback_port.port();
  transport_.SetPort(refused);
  transport_.SetMaxRetries(c.max_retries);
  transport_.SetMaxRetriesAlternative(c.max_retries_alternative);
  transport_.SetAutoFallback(c.auto_fallback);
  TMwConnectionString entry;
  entry.Add("PORT=" + std::to_string(fallback));
  transport_.SetFallbackServers({entry});
  std::vector<int> ports_at_reconnect;
  on_reconnect_ = [&] { ports_at_reconnect.push_back(transport_.Port()); };
  ExpectConnectionLost();
  EXPECT_EQ(reconnects_, c.reconnects);
  EXPECT_EQ(connection_lost_, 1);
  // One failure per attempt: the first transmit, then every reconnect.
  ASSERT_EQ(exceptions_.size(), c.reconnects.size() + 1);
  EXPECT_EQ(exceptions_[0].old_state, rsTransmit);
  for (size_t i = 1; i < exceptions_.size(); ++i) EXPECT_EQ(exceptions_[i].old_state, rsReconnect);
  for (int port : ports_at_reconnect) EXPECT_EQ(port, c.auto_fallback ? fallback : refused);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, BudgetTest,
    ::testing::Values(BudgetCase{"none", 0, 0, false, {}},
                      BudgetCase{"three_plain", 3, 0, false, {{false, 2}, {false, 1}}},
                      BudgetCase{"one_then_two_fallback", 1, 2, true, {{true, 2}, {true, 1}}},
                      BudgetCase{"alternative_only", 0, 2, false, {{true, 1}}}),
    [](const ::testing::TestParamInfo<BudgetCase>& info) { return info.param.name; });

TEST_F(ExchangeTest, ReconnectCanRecover) {
  auto server = Server();
  const int live = server->port();
  tallyvox::testing::RefusingPort refusing;
  transport_.SetPort(refusing.port());
  transport_.SetMaxRetries(2);
  on_reconnect_ = [&] { transport_.SetPort(live); };
  EXPECT_TRUE(Probe().IsArray());
  EXPECT_EQ(reconnects_, (std::vector<ReconnectCall>{{false, 1}}));
  EXPECT_EQ(exceptions_.size(), 1u);
  EXPECT_EQ(connection_lost_, 0);
}

TEST_F(ExchangeTest, RedirectMovesToTheAlternative) {
  auto good = Server({"--rows", "3"});
  const int target = good->port();
  auto redirector = Server(
      {"--fault", "redirect", "--redirect",
       "HOST=127.0.0.1;PORT=" + std::to_string(target) + ";<|CLIENT_ALT1|>;HOST=127.0.0.2;PORT=1"});
  const int redirecting = redirector->port();
  transport_.SetPort(redirecting);
  transport_.SetMaxRetries(2);
  const Variant result = Probe();
  ASSERT_TRUE(result.IsArray());
  EXPECT_EQ(result.Items()[2].AsInteger(), 3);
  EXPECT_EQ(transport_.Port(), target);
  EXPECT_EQ(reconnects_, (std::vector<ReconnectCall>{{false, 1}}));
  EXPECT_TRUE(exceptions_.empty());
  ASSERT_EQ(transport_.RedirectAlternatives().size(), 2u);
  EXPECT_EQ(transport_.RedirectAlternatives()[1].Values("HOST"), "127.0.0.2");
  EXPECT_TRUE(redirector->WaitForOutput("status=110000"));
  EXPECT_TRUE(good->WaitForOutput("function=\"EXECUTE\""));
}

// A reconnect that fails after a redirect reports the redirect state.
TEST_F(ExchangeTest, FailedRedirectReportsRedirectState) {
  tallyvox::testing::RefusingPort refused_port;
  const int refused = refused_port.port();
  auto redirector =
      Server({"--fault", "redirect", "--redirect", "PORT=" + std::to_string(refused)});
  const int redirecting = redirector->port();
  transport_.SetPort(redirecting);
  transport_.SetMaxRetries(2);
  ExpectConnectionLost();
  ASSERT_EQ(exceptions_.size(), 1u);
  EXPECT_EQ(exceptions_[0].old_state, rsRedirect);
  EXPECT_EQ(transport_.Port(), refused);
  EXPECT_EQ(reconnects_, (std::vector<ReconnectCall>{{false, 1}}));
}

TEST_F(ExchangeTest, RedirectWithoutBudgetIsConnectionLostAtOnce) {
  auto redirector = Server({"--fault", "redirect", "--redirect", "PORT=1"});
  const int redirecting = redirector->port();
  transport_.SetPort(redirecting);
  ExpectConnectionLost();
  EXPECT_TRUE(exceptions_.empty());
  EXPECT_TRUE(reconnects_.empty());
  EXPECT_EQ(connection_lost_, 1);
  EXPECT_EQ(transport_.Port(), redirecting);
}

}  // namespace
}  // namespace tallyvox::mw
