// The request/response exchange (client.h) over the TCP/IP client transport
// against mwserver instances on loopback: outcomes, request ids, the states
// OnException reports, events, cancelling and reassembling.
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

}  // namespace
}  // namespace tallyvox::mw
