// The request/response exchange (client.h) over the TCP/IP client transport
// against mwserver instances on loopback: outcomes, OnException states, the
// reconnect budget, redirects, server errors, tokens and state ids.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "middleware/client/client.h"
#include "middleware/client/client_exceptions.h"
#include "middleware/client/client_transport.h"
#include "mwclient/scripted_server.h"
#include "support/mwserver_process.h"
#include "support/support.h"

namespace tallyvox::mw {
namespace {

using Clock = std::chrono::steady_clock;
using tallyvox::testing::MwServerProcess;

const char kHost[] = "127.0.0.1";
const TMwVariantList kProbeArgs = {Variant("select * from ufile7"), Variant("*"), Variant("*")};

struct ExceptionCall {
  TMwRequestStates old_state;
  std::string message;
};
struct ReconnectCall {
  bool alternative;
  int retries_left;
  bool operator==(const ReconnectCall&) const = default;
};

// A transport configured as the monitor configures it (VerifyTransfer on,
// RequestTimeout 5 unless a test shortens it, blocking connect, no budget)
// and a client with ClientData "COMMON", recording every event.
class ExchangeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    transport_.SetHost(kHost);
    transport_.SetConnectTimeout(0);
    transport_.SetRequestTimeout(5);
    transport_.SetVerifyTransfer(true);
    transport_.OnException = [this](TMwCustomClient* sender, TMwRequestStates old_state,
                                    TMwRequestStates& new_state, const std::exception& e) {
      EXPECT_EQ(sender, &client_);
      EXPECT_EQ(new_state, rsReconnect);
      exceptions_.push_back({old_state, e.what()});
      if (on_exception_) on_exception_(old_state, new_state);
    };
    transport_.OnConnectionLost = [this](TMwCustomClientTransport* sender) {
      EXPECT_EQ(sender, &transport_);
      ++connection_lost_;
    };
    transport_.OnReconnect = [this](TMwCustomClientTransport*, bool alternative, int retries) {
      reconnects_.push_back({alternative, retries});
      if (on_reconnect_) on_reconnect_();
    };
    client_.SetTransport(&transport_);
    client_.SetClientData(Variant("COMMON"));
    client_.OnClientTransmit = [this](TMwCustomClient*,
                                      const TMwCustomRequestTransportStream& request) {
      transmitted_ids_.push_back(request.RequestID());
    };
  }

  // An mwserver on a port of its own choosing (server->port()).
  std::unique_ptr<MwServerProcess> Server(std::vector<std::string> options = {}) {
    std::vector<std::string> args = {"--listen", std::string(kHost) + ":0"};
    args.insert(args.end(), options.begin(), options.end());
    auto server = std::make_unique<MwServerProcess>(args);
    EXPECT_TRUE(server->ready()) << server->Output();
    return server;
  }

  Variant Probe() { return client_.SendRequest("MW_QUERY", "MW_1.0", "EXECUTE", kProbeArgs); }

  // Runs a probe that must fail with "Connection lost.".
  void ExpectConnectionLost() {
    try {
      Probe();
      FAIL() << "the probe succeeded";
    } catch (const EMwException& e) {
      EXPECT_EQ(e.ErrorCode(), kMwErrConnectionLost);
      EXPECT_STREQ(e.what(), "Connection lost.");
    }
  }

  // ExpectConnectionLost, timed: the seconds the probe took to fail.
  double SecondsToConnectionLost() {
    const auto start = Clock::now();
    ExpectConnectionLost();
    return std::chrono::duration<double>(Clock::now() - start).count();
  }

  TMwTCPIPClientTransport transport_;
  TMwSimpleClient client_;
  std::vector<ExceptionCall> exceptions_;
  std::vector<ReconnectCall> reconnects_;
  std::vector<int32_t> transmitted_ids_;
  int connection_lost_ = 0;
  std::function<void(TMwRequestStates, TMwRequestStates&)> on_exception_;
  std::function<void()> on_reconnect_;
};

TEST_F(ExchangeTest, ExecuteEndToEndInBothFramings) {
  auto server = Server({"--rows", "7", "--out-param", "P1:Integer:Output:5"});
  const int port = server->port();
  for (bool verify : {true, false}) {
    SCOPED_TRACE(verify ? "verified header" : "4-byte length");
    transport_.SetVerifyTransfer(verify);
    transport_.Disconnect();
    int connects = 0;
    transport_.OnConnected = [&](TMwCustomClientTransport*, TMwTransportInfo*) { ++connects; };
    transport_.SetPort(port);
    const Variant result = Probe();
    ASSERT_TRUE(result.IsArray());
    ASSERT_EQ(result.Items().size(), 3u);
    EXPECT_EQ(result.Items()[0].AsInteger(), 1);
    const Variant& params = result.Items()[1];
    ASSERT_TRUE(params.IsArray());
    ASSERT_EQ(params.ArrayHighBound(), 1);
    EXPECT_EQ(params.Items()[1].Items()[0].AsString(), "P1");
    EXPECT_EQ(params.Items()[1].Items()[1].AsString(), "Integer");
    EXPECT_EQ(result.Items()[2].AsInteger(), 7);
    EXPECT_EQ(connects, 1);  // one connection attempt, one transmit, one receive
    EXPECT_TRUE(exceptions_.empty());
    EXPECT_FALSE(client_.Cancelled());
    EXPECT_EQ(client_.ClientData().AsString(), "COMMON");  // the server echoes DATA
  }
  EXPECT_TRUE(server->WaitForOutput("arg0=\"select * from ufile7\" arg1=\"*\" arg2=\"*\""));
  EXPECT_EQ(server->CountLines("data=\"COMMON\""), 2) << server->Output();
  EXPECT_EQ(server->CountLines("function=\"EXECUTE\""), 2);
}

TEST_F(ExchangeTest, ConsecutiveRequestsCarryConsecutiveIds) {
  auto server = Server();
  const int port = server->port();
  transport_.SetPort(port);
  Probe();
  Probe();
  ASSERT_EQ(transmitted_ids_.size(), 2u);
  EXPECT_EQ(transmitted_ids_[1], transmitted_ids_[0] + 1);
  EXPECT_EQ(client_.LastRequestID(), transmitted_ids_[1]);
  EXPECT_TRUE(server->WaitForOutput("requestid=" + std::to_string(transmitted_ids_[1]) + " "));
  EXPECT_EQ(server->CountLines("requestid=" + std::to_string(transmitted_ids_[0]) + " "), 1);
}

// The counter is process-wide and starts at 0: checked in a fresh process
// (the "threadsafe" death-test style re-runs this binary for this test only).
TEST(RequestCounterTest, FirstRequestOfTheProcessIsZeroThenOne) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        TMwTCPIPClientTransport transport;
        transport.SetHost(kHost);
        tallyvox::testing::RefusingPort refusing;
        transport.SetPort(refusing.port());  // refused: the ids are taken all the same
        transport.SetConnectTimeout(0);
        TMwSimpleClient client;
        client.SetTransport(&transport);
        std::vector<int32_t> ids;
        client.OnClientTransmit = [&](TMwCustomClient*,
                                      const TMwCustomRequestTransportStream& request) {
          ids.push_back(request.RequestID());
        };
        for (int i = 0; i < 2; ++i) {
          try {
            client.SendRequest("MW_QUERY", "MW_1.0", "EXECUTE", {});
          } catch (const EMwException&) {
          }
        }
        std::exit(ids == std::vector<int32_t>{0, 1} ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "");
}

TEST_F(ExchangeTest, RefusedServerReportsTransmitThenConnectionLost) {
  tallyvox::testing::RefusingPort refusing;
  transport_.SetPort(refusing.port());
  bool lost_after_exception = false;
  transport_.OnConnectionLost = [&](TMwCustomClientTransport*) {
    lost_after_exception = exceptions_.size() == 1;
    ++connection_lost_;
  };
  ExpectConnectionLost();
  EXPECT_TRUE(lost_after_exception);
  ASSERT_EQ(exceptions_.size(), 1u);
  EXPECT_EQ(exceptions_[0].old_state, rsTransmit);
  EXPECT_NE(exceptions_[0].message.find("Connection refused."), std::string::npos)
      << exceptions_[0].message;
  EXPECT_EQ(connection_lost_, 1);
  EXPECT_TRUE(reconnects_.empty());
}

TEST_F(ExchangeTest, ServerThatClosesReportsReceive) {
  for (const char* fault : {"close", "drop"}) {
    SCOPED_TRACE(fault);
    exceptions_.clear();
    connection_lost_ = 0;
    auto server = Server({"--fault", fault});
    const int port = server->port();
    transport_.Disconnect();
    transport_.SetPort(port);
    ExpectConnectionLost();
    ASSERT_EQ(exceptions_.size(), 1u);
    EXPECT_EQ(exceptions_[0].old_state, rsReceive) << exceptions_[0].message;
    EXPECT_EQ(connection_lost_, 1);
  }
}

// Servers that accept and then stop sending: "silent" never answers, "huge"
// announces 256 MiB, sends 16 bytes and stalls. Either fails the probe within
// about RequestTimeout, with or without the verified header, since the waits
// after the header are bounded as well; nothing near the announced size is
// allocated.
TEST_F(ExchangeTest, StalledServersTimeOutWithinRequestTimeout) {
  for (const char* fault : {"silent", "huge"}) {
    SCOPED_TRACE(fault);
    auto server = Server({"--fault", fault});
    const int port = server->port();
    transport_.SetPort(port);
    transport_.SetRequestTimeout(1);
    for (bool verify : {true, false}) {
      SCOPED_TRACE(verify ? "verified header" : "4-byte length");
      exceptions_.clear();
      connection_lost_ = 0;
      transport_.Disconnect();
      transport_.SetVerifyTransfer(verify);
      const double seconds = SecondsToConnectionLost();
      EXPECT_GE(seconds, 0.8);
      EXPECT_LT(seconds, 6.0);
      ASSERT_EQ(exceptions_.size(), 1u);
      EXPECT_EQ(exceptions_[0].old_state, rsReceive);
      EXPECT_EQ(exceptions_[0].message, "Read Timeout");
      EXPECT_EQ(connection_lost_, 1);
    }
  }
}

// The monitor's own setting: RequestTimeout 5 with the verified header.
TEST_F(ExchangeTest, SilentServerWithTheMonitorSettings) {
  auto server = Server({"--fault", "silent"});
  const int port = server->port();
  transport_.SetPort(port);
  const double seconds = SecondsToConnectionLost();
  EXPECT_GE(seconds, 4.5);
  EXPECT_LT(seconds, 10.0);
  ASSERT_EQ(exceptions_.size(), 1u);
  EXPECT_EQ(exceptions_[0].message, "Read Timeout");
  EXPECT_EQ(connection_lost_, 1);
}

TEST_F(ExchangeTest, EventsOfASuccessfulCall) {
  auto server = Server({"--rows", "2"});
  const int port = server->port();
  transport_.SetPort(port);
  std::vector<std::string> events;
  client_.OnClientRequest = [&](TMwCustomClient*, const std::string& service, const std::string&,
                                const std::string& func, const TMwVariantList& args) {
    events.push_back("request " + service + " " + func + " " + std::to_string(args.size()));
  };
  client_.OnClientTransmit = [&](TMwCustomClient*, const TMwCustomRequestTransportStream&) {
    events.push_back("transmit");
  };
  transport_.OnConnected = [&](TMwCustomClientTransport*, TMwTransportInfo*) {
    events.push_back("connected");
  };
  transport_.OnSend = [&](TMwCustomClientTransport*, TMwTransportInfo*, TMwCustomTransportStream&) {
    events.push_back("send");
  };
  transport_.OnReceive = [&](TMwCustomClientTransport*, TMwTransportInfo*,
                             TMwCustomTransportStream& stream) {
    events.push_back("receive " + std::to_string(stream.BufferSize() > 0));
  };
  client_.OnClientReceive = [&](TMwCustomClient*, const TMwCustomResponseTransportStream& r) {
    events.push_back("client receive " + std::to_string(r.RequestID() == client_.LastRequestID()));
  };
  client_.OnClientResponse = [&](TMwCustomClient*, const std::string&, const std::string&,
                                 const std::string&, const TMwVariantList&, Variant& result) {
    events.push_back("response");
    result = Variant("replaced");
  };
  client_.SetRequestAttributes(TMwStrings{"A=1", "B=2"});
  const Variant result = Probe();
  EXPECT_EQ(result.AsString(), "replaced");
  EXPECT_EQ(events,
            (std::vector<std::string>{"request MW_QUERY EXECUTE 3", "transmit", "connected", "send",
                                      "receive 1", "client receive 1", "response"}));
  EXPECT_EQ(client_.ResponseAttributes(), (TMwStrings{"A=1", "B=2"}));  // mwserver echoes them
  EXPECT_GT(transport_.LastActivity(), 0.0);
}

// Where a failure happens decides the OldState: before the transmit's
// closing step it is rsTransmit, while sending it is already rsReceive.
TEST_F(ExchangeTest, OldStateFollowsTheClosingStepOfTheTransmit) {
  auto server = Server();
  const int port = server->port();
  transport_.SetPort(port);
  client_.OnClientTransmit = [](TMwCustomClient*, const TMwCustomRequestTransportStream&) {
    throw std::runtime_error("before connecting");
  };
  ExpectConnectionLost();
  ASSERT_EQ(exceptions_.size(), 1u);
  EXPECT_EQ(exceptions_[0].old_state, rsTransmit);
  EXPECT_EQ(exceptions_[0].message, "before connecting");

  exceptions_.clear();
  client_.OnClientTransmit = nullptr;
  transport_.OnSend = [](TMwCustomClientTransport*, TMwTransportInfo*, TMwCustomTransportStream&) {
    throw std::runtime_error("while sending");
  };
  ExpectConnectionLost();
  ASSERT_EQ(exceptions_.size(), 1u);
  EXPECT_EQ(exceptions_[0].old_state, rsReceive);
  EXPECT_EQ(exceptions_[0].message, "while sending");
}

// The buffered bytes reach the socket in EndTransmit: a send that fails there
// is a failure while sending too, reported once as rsReceive.
TEST(ExchangeFlushTest, FailedFlushReportsReceiveOnce) {
  class FailingFlushTransport : public TMwTCPIPClientTransport {
   public:
    void EndTransmit(TMwTransportInfo* info, TMwCustomTransportStream& stream) override {
      TMwTCPIPClientTransport::EndTransmit(info, stream);
      throw std::runtime_error("flush failed");
    }
  };
  MwServerProcess server({"--listen", std::string(kHost) + ":0"});
  ASSERT_TRUE(server.ready()) << server.Output();
  FailingFlushTransport transport;
  transport.SetHost(kHost);
  transport.SetPort(server.port());
  transport.SetVerifyTransfer(true);
  transport.SetRequestTimeout(5);
  std::vector<ExceptionCall> exceptions;
  transport.OnException = [&](TMwCustomClient*, TMwRequestStates old_state, TMwRequestStates&,
                              const std::exception& e) {
    exceptions.push_back({old_state, e.what()});
  };
  TMwSimpleClient client;
  client.SetTransport(&transport);
  EXPECT_THROW(client.SendRequest("MW_QUERY", "MW_1.0", "EXECUTE", kProbeArgs), EMwException);
  ASSERT_EQ(exceptions.size(), 1u);
  EXPECT_EQ(exceptions[0].old_state, rsReceive);
  EXPECT_EQ(exceptions[0].message, "flush failed");
}

TEST_F(ExchangeTest, CancelFromOnExceptionReturnsWithoutError) {
  tallyvox::testing::RefusingPort refusing;
  transport_.SetPort(refusing.port());
  on_exception_ = [](TMwRequestStates, TMwRequestStates& next) { next = rsCancel; };
  const Variant result = Probe();
  EXPECT_TRUE(result.IsEmpty());
  EXPECT_TRUE(client_.Cancelled());
  EXPECT_EQ(connection_lost_, 0);
  ASSERT_EQ(exceptions_.size(), 1u);
}

TEST_F(ExchangeTest, ReassembleBuildsANewRequestWithTheNextId) {
  auto server = Server();
  const int live = server->port();
  tallyvox::testing::RefusingPort refusing;
  transport_.SetPort(refusing.port());  // refused first
  on_exception_ = [&](TMwRequestStates, TMwRequestStates& next) {
    transport_.SetPort(live);
    next = rsReassemble;
  };
  const Variant result = Probe();
  ASSERT_TRUE(result.IsArray());
  ASSERT_EQ(transmitted_ids_.size(), 2u);
  EXPECT_EQ(transmitted_ids_[1], transmitted_ids_[0] + 1);
  EXPECT_TRUE(server->WaitForOutput("requestid=" + std::to_string(transmitted_ids_[1]) + " "));
  EXPECT_EQ(server->CountLines("function="), 1);
}

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

TEST_F(ExchangeTest, ServerErrorsRaiseTheirClassesAndTexts) {
  auto server = Server();
  const int port = server->port();
  transport_.SetPort(port);
  try {
    client_.SendRequest("NOPE", "MW_1.0", "EXECUTE", {});
    FAIL();
  } catch (const EMwNoServiceException& e) {
    EXPECT_EQ(e.ErrorCode(), 100100);
    EXPECT_STREQ(e.what(), "Service 'NOPE' not available");
  }
  try {
    client_.SendRequest("MW_QUERY", "MW_1.0", "FROB", {});
    FAIL();
  } catch (const EMwUnknownFuncException& e) {
    EXPECT_EQ(e.ErrorCode(), 100101);
    EXPECT_STREQ(e.what(), "Function 'FROB' not available");
  }
  EXPECT_TRUE(exceptions_.empty());  // server errors bypass OnException
  EXPECT_EQ(connection_lost_, 0);
}

TEST_F(ExchangeTest, OtherStatusCodesAppendServerMarker) {
  auto server =
      Server({"--fault", "error", "--error-code", "42", "--error-text", "Table ufile7 is locked"});
  transport_.SetPort(server->port());
  try {
    Probe();
    FAIL();
  } catch (const EMwServerException&) {
    FAIL() << "status 42 is not one of the server exception classes";
  } catch (const EMwException& e) {
    EXPECT_EQ(e.ErrorCode(), 42);
    EXPECT_STREQ(e.what(), "Table ufile7 is locked (SERVER)");
  }
  EXPECT_TRUE(exceptions_.empty());
}

TEST_F(ExchangeTest, AbortAndAuthStatusesMapToTheirClasses) {
  for (int code : {100001, 100200}) {
    auto server = Server({"--fault", "error", "--error-code", std::to_string(code), "--error-text",
                          "Not authenticated"});
    const int port = server->port();
    transport_.Disconnect();
    transport_.SetPort(port);
    try {
      Probe();
      FAIL();
    } catch (const EMwServerException& e) {
      EXPECT_EQ(e.ErrorCode(), code);
      EXPECT_STREQ(e.what(), "Not authenticated");
      if (code == 100001) {
        EXPECT_NE(dynamic_cast<const EMwAbortException*>(&e), nullptr);
      } else {
        EXPECT_NE(dynamic_cast<const EMwAuthException*>(&e), nullptr);
      }
    }
  }
}

TEST_F(ExchangeTest, TokenReplacesUsernameAndPassword) {
  auto server = Server({"--token", "t"});
  const int port = server->port();
  transport_.SetPort(port);
  client_.SetUsername("u");
  client_.SetPassword("p");
  Probe();
  EXPECT_EQ(client_.Token(), "t");
  Probe();
  EXPECT_TRUE(server->WaitForOutput("token=\"t\" username=\"\" password=\"\""));
  EXPECT_EQ(server->CountLines("token=\"\" username=\"u\" password=\"p\""), 1) << server->Output();
}

TEST_F(ExchangeTest, StateIdsAreRememberedAndReleased) {
  auto server = Server({"--state-id", "7"});
  const int port = server->port();
  transport_.SetPort(port);
  Probe();
  EXPECT_EQ(client_.StateID(), 7);
  auto states = client_.RememberedStates();
  ASSERT_EQ(states.size(), 1u);
  EXPECT_EQ(states[0].StateID, 7);
  EXPECT_EQ(states[0].ServiceName, "MW_QUERY");
  EXPECT_EQ(states[0].ServiceVersion, "MW_1.0");
  Probe();  // the same id again is not a new state
  EXPECT_EQ(client_.RememberedStates().size(), 1u);
  EXPECT_TRUE(server->WaitForOutput("stateid=7 "));

  client_.ReleaseAllStates();
  EXPECT_EQ(client_.StateID(), -1);
  EXPECT_TRUE(client_.RememberedStates().empty());
  EXPECT_TRUE(server->WaitForOutput("function=\"__RELEASESTATE\" requestid="));
  EXPECT_EQ(server->CountLines("function=\"__RELEASESTATE\""), 1);
}

TEST_F(ExchangeTest, DuplicateStateIdFails) {
  auto server = Server({"--state-id", "7"});
  const int port = server->port();
  transport_.SetPort(port);
  Probe();
  client_.SetStateID(3);  // 7 stays remembered; the next answer hands out 7 again
  try {
    Probe();
    FAIL();
  } catch (const EMwException& e) {
    EXPECT_EQ(e.ErrorCode(), kMwErrDuplicateStateId);
    EXPECT_STREQ(e.what(), "Duplicate state ID");
  }
  client_.ForgetStates();
  EXPECT_TRUE(client_.RememberedStates().empty());
  EXPECT_EQ(client_.StateID(), -1);
}

TEST_F(ExchangeTest, StateIdMinusOneRemembersNothing) {
  auto server = Server();  // echoes the request's STATEID
  transport_.SetPort(server->port());
  client_.SetStateID(-1);
  Probe();
  EXPECT_EQ(client_.StateID(), -1);
  EXPECT_TRUE(client_.RememberedStates().empty());
  client_.ReleaseState(-1);  // nothing to do, nothing sent
  EXPECT_EQ(server->CountLines("function="), 1);
}

TEST_F(ExchangeTest, BadVerifiedHeadersAreInvalidData) {
  for (const char* fault : {"badheader", "badhex"}) {
    SCOPED_TRACE(fault);
    exceptions_.clear();
    auto server = Server({"--fault", fault});
    const int port = server->port();
    transport_.Disconnect();
    transport_.SetPort(port);
    ExpectConnectionLost();
    ASSERT_EQ(exceptions_.size(), 1u);
    EXPECT_EQ(exceptions_[0].old_state, rsReceive);
    EXPECT_EQ(exceptions_[0].message, "Invalid data");
  }
}

TEST_F(ExchangeTest, ReadUntilDisconnectTakesEverythingUntilClose) {
  auto server = Server({"--fault", "rawclose", "--rows", "9"});
  const int port = server->port();
  transport_.SetPort(port);
  transport_.SetVerifyTransfer(false);
  transport_.SetTransportStateOptions(mwtsoReadUntilDisconnect);
  const Variant result = Probe();
  ASSERT_TRUE(result.IsArray());
  EXPECT_EQ(result.Items()[2].AsInteger(), 9);
}

TEST_F(ExchangeTest, MaxTransportStreamSizeRefusesLargerAnswers) {
  auto server = Server();
  const int port = server->port();
  transport_.SetPort(port);
  transport_.SetParams(TMwStrings{"MAXTRANSPORTSTREAMSIZE=20"});
  ExpectConnectionLost();
  ASSERT_EQ(exceptions_.size(), 1u);
  EXPECT_EQ(exceptions_[0].message, "Transportstream size out of bounds.");
  transport_.SetParams(TMwStrings{});  // clearing Params keeps the limit
  EXPECT_EQ(transport_.MaxTransportStreamSize(), 20);
}

// Answers of a scripted server. A body past 32 KiB that arrives in parts is
// taken whole. An answer that carries another request's REQUESTID, or whose
// body does not decode, is a failed receive: nothing of it is taken, the
// connection is closed (a late or garbled answer never reaches the next
// call), OnException reports rsReceive once, and the call ends in
// "Connection lost.".
TEST_F(ExchangeTest, LargeAnswerInPartsArrivesWhole) {
  const std::string text(40000, 'r');
  testing::ScriptedServer server(
      [&](const testing::SeenRequest&, TMwCustomResponseTransportStream& response) {
        response.SetResult(Variant(text));
      },
      {.mangle = nullptr, .parts = 5, .pause = std::chrono::milliseconds(20)});
  transport_.SetPort(server.port());
  EXPECT_EQ(Probe().AsString(), text);
  EXPECT_TRUE(exceptions_.empty());
}

struct BadAnswerCase {
  const char* name;
  int32_t request_id_offset;  // added to the request's REQUESTID
  std::function<void(std::string&)> mangle;
  const char* message_part;  // in what OnException saw
};

TEST_F(ExchangeTest, AnswersThatCannotBeTakenAreFailedReceives) {
  const BadAnswerCase cases[] = {
      {"answer to another request", 1, nullptr, "REQUESTID"},
      {"answer to an earlier request", -1, nullptr, "REQUESTID"},
      {"truncated body", 0, [](std::string& bytes) { bytes.resize(bytes.size() - 3); },
       "Stream read error"},
      {"result text of another type", 0,
       [](std::string& bytes) {
         const std::string five(
             "\x03\0\0\0\x01\0\0\0"
             "5",
             9);
         bytes.replace(bytes.rfind(five) + 8, 1, "x");
       },
       "Could not convert"},
  };
  for (const BadAnswerCase& c : cases) {
    SCOPED_TRACE(c.name);
    exceptions_.clear();
    connection_lost_ = 0;
    testing::ScriptedServer server(
        [&](const testing::SeenRequest& seen, TMwCustomResponseTransportStream& response) {
          response.SetRequestID(seen.request_id + c.request_id_offset);
          response.SetToken("from the bad answer");
          response.SetResult(Variant::Integer(varInteger, 5));
        },
        {.mangle = c.mangle, .parts = 1, .pause = std::chrono::milliseconds(0)});
    transport_.SetPort(server.port());
    ExpectConnectionLost();
    ASSERT_EQ(exceptions_.size(), 1u);
    EXPECT_EQ(exceptions_[0].old_state, rsReceive);
    EXPECT_NE(exceptions_[0].message.find(c.message_part), std::string::npos)
        << exceptions_[0].message;
    EXPECT_EQ(connection_lost_, 1);
    EXPECT_FALSE(transport_.IsConnected());
    if (c.request_id_offset != 0) {
      EXPECT_EQ(client_.Token(), "");  // nothing of it taken
    }
  }
}

TEST_F(ExchangeTest, NoTransportAndAsynchronousCallsFail) {
  TMwSimpleClient bare;
  try {
    bare.SendRequest("MW_QUERY", "MW_1.0", "EXECUTE", {});
    FAIL();
  } catch (const EMwException& e) {
    EXPECT_EQ(e.ErrorCode(), kMwErrTransportNotSet);
    EXPECT_STREQ(e.what(), "Transport must be set.");
  }
  try {
    client_.AsyncCall("MW_QUERY", "MW_1.0", "EXECUTE", {});
    FAIL();
  } catch (const EMwException& e) {
    EXPECT_EQ(e.ErrorCode(), kMwErrAsyncNotSupported);
    EXPECT_STREQ(e.what(), "Asynchrone requests require use of messaging transport.");
  }
  {
    TMwTCPIPClientTransport temporary;
    bare.SetTransport(&temporary);
  }
  EXPECT_EQ(bare.Transport(), nullptr);  // cleared when the transport went away
}

}  // namespace
}  // namespace tallyvox::mw
