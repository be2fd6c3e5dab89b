// The request/response exchange: what becomes of the server's answers
// (server errors, tokens, state ids, bad headers, sizes, answers that cannot
// be taken) and calls that cannot be made.
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
