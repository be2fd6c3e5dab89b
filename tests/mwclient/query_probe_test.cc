// The client query against a real mwserver on loopback: the monitor's probe
// end to end, output parameters, statement splitting, parameter quoting on
// the wire, the cache path and the failures that pass through Execute.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "adapters/probe_channel.h"
#include "middleware/client/client_exceptions.h"
#include "middleware/client/client_query.h"
#include "middleware/client/client_transport.h"
#include "middleware/client/connection_pool.h"
#include "middleware/client/pooled_session.h"
#include "middleware/client/transaction.h"
#include "middleware/wire/dataset_stream_format.h"
#include "middleware/wire/mw_exception.h"
#include "middleware/wire/string_list.h"
#include "mwclient/error_code_of.h"
#include "mwclient/pool_test_server.h"

namespace tallyvox::mw {
namespace {

using testing::ErrorCodeOf;

// The monitor's components (monitor/probe_channel.h) after one PrepareCycle,
// with counting event handlers.
struct MonitorComponents : monitor::MwProbeChannel {
  TMwTCPIPClientTransport& transport = MwTCPIPClientTransport1;
  TMwClientConnectionPool& pool = MwClientConnectionPool1;
  TMwPooledSession& session = MwPooledSession1;
  TMwClientQuery& query = qUFile7;
  int before_open = 0;
  int after_open = 0;
  int exceptions = 0;
  TMwRequestStates old_state = rsSuccess;
  int connection_lost = 0;

  MonitorComponents() {
    query.BeforeOpen = [this](TMwClientQuery&) { ++before_open; };
    query.AfterOpen = [this](TMwClientQuery&) { ++after_open; };
    PrepareCycle();
    transport.OnException = [this](TMwCustomClient*, TMwRequestStates old_s,
                                   TMwRequestStates& new_s, const std::exception&) {
      ++exceptions;
      old_state = old_s;
      EXPECT_EQ(new_s, rsReconnect);
    };
    transport.OnConnectionLost = [this](TMwCustomClientTransport*) { ++connection_lost; };
  }

  // One row of a poll cycle (rows 2 to 111) against a test server, which is
  // not on port 80: AimProbe fresh, RunProbe and, on every way out,
  // ReleaseProbe.
  void Probe(const std::string& host, int port) {
    transport.SetPort(port);
    AimProbe(host, /*fresh=*/true);
    struct Release {
      MonitorComponents& m;
      ~Release() { m.ReleaseProbe(); }
    } release{*this};
    RunProbe();
  }
};

TEST(QueryProbeTest, SucceedsAgainstAServerThatExecutes) {
  testing::PoolTestServer server({"--rows", "7"});
  ASSERT_TRUE(server.ready()) << server.Output();
  MonitorComponents m;
  EXPECT_EQ(m.query.SessionName(), m.session.EffectiveSessionName());
  EXPECT_EQ(m.query.RowsAffected(), -1);

  ASSERT_NO_THROW(m.Probe(server.ip(), server.port()));
  EXPECT_EQ(m.query.RowsAffected(), 7);
  EXPECT_EQ(m.exceptions, 0);
  EXPECT_EQ(m.before_open, 0);
  EXPECT_EQ(m.after_open, 0);
  EXPECT_FALSE(m.query.Active());
  EXPECT_TRUE(m.query.Params().Empty());
  EXPECT_EQ(m.pool.ConnectionCount(), 0);  // ReleaseProbe deactivated the pool
  EXPECT_EQ(m.pool.CallsServed(), 1);
  ASSERT_TRUE(server.WaitForLines("function=\"EXECUTE\"", 1)) << server.Output();
  EXPECT_EQ(server.CountLines("service=\"MW_QUERY\" version=\"MW_1.0\" function=\"EXECUTE\""), 1)
      << server.Output();
  EXPECT_EQ(server.CountLines("data=\"COMMON\" args=3 arg0=\"select * from ufile7\" arg1=\"*\" "
                              "arg2=\"*\""),
            1)
      << server.Output();
  EXPECT_EQ(server.CountLines("stateid=-1"), 1) << server.Output();

  // A second probe connects afresh and succeeds again.
  ASSERT_NO_THROW(m.Probe(server.ip(), server.port()));
  EXPECT_TRUE(server.WaitForLines("function=\"EXECUTE\"", 2));
  EXPECT_EQ(m.query.EffectiveClient().ClientData(), Variant("COMMON"));
}

// Row 1 keeps the pool active with its connection; the next row's fresh aim
// discards it, so that row's probe reaches its own server only.
TEST(QueryProbeTest, FreshAimLeavesNoConnectionOfTheEarlierServer) {
  testing::PoolTestServer first;
  testing::PoolTestServer second;
  ASSERT_TRUE(first.ready()) << first.Output();
  ASSERT_TRUE(second.ready()) << second.Output();
  MonitorComponents m;
  m.transport.SetPort(first.port());
  m.AimProbe(first.ip(), /*fresh=*/false);
  ASSERT_NO_THROW(m.RunProbe());
  EXPECT_EQ(m.pool.ConnectionCount(), 1);  // row 1 does not release the pool
  ASSERT_TRUE(first.WaitForLines("function=\"EXECUTE\"", 1)) << first.Output();

  m.Probe(second.ip(), second.port());
  EXPECT_TRUE(second.WaitForLines("function=\"EXECUTE\"", 1)) << second.Output();
  EXPECT_EQ(first.CountLines("function=\"EXECUTE\""), 1) << first.Output();
  EXPECT_EQ(m.pool.ConnectionCount(), 0);
  EXPECT_EQ(m.exceptions, 0);
}

// Row 1 and the connection test keep the pool active, so their next probe
// uses the same pooled connection. A probe that timed out must leave nothing
// behind for it: the server answers every request 1.5 s late, so the first
// answer arrives while the second probe waits, and the second probe's own
// answer comes too late as well. Both probes fail.
TEST(QueryProbeTest, ALateAnswerIsNotTakenForTheNextProbe) {
  testing::PoolTestServer server({"--delay", "1500"});
  ASSERT_TRUE(server.ready()) << server.Output();
  MonitorComponents m;
  m.transport.SetRequestTimeout(1);
  m.transport.SetPort(server.port());
  m.AimProbe(server.ip(), /*fresh=*/false);
  for (int probe = 1; probe <= 2; ++probe) {
    SCOPED_TRACE(probe);
    std::string message;
    EXPECT_EQ(ErrorCodeOf([&] { m.RunProbe(); }, &message), 0x00F10101) << message;
    EXPECT_EQ(m.exceptions, probe);
    EXPECT_EQ(m.pool.ConnectionCount(), 1);
  }
  EXPECT_TRUE(server.WaitForLines("function=\"EXECUTE\"", 2)) << server.Output();
}

// The monitor clears the transport's Params before every poll cycle, which
// keeps a MAXTRANSPORTSTREAMSIZE limit set before (on the template). The
// pooled connections' transports must keep it as well: an answer announcing
// more fails the probe with "Transportstream size out of bounds." before any
// of its body is read, the usual answer (a few hundred bytes) as much as the
// 256 MiB one.
TEST(QueryProbeTest, MaxTransportStreamSizeCapsAPooledConnectionsAnswer) {
  for (const char* fault : {"none", "huge"}) {
    SCOPED_TRACE(fault);
    testing::PoolTestServer server({"--fault", fault});
    ASSERT_TRUE(server.ready()) << server.Output();
    MonitorComponents m;
    std::vector<std::string> seen;
    m.transport.OnException = [&](TMwCustomClient*, TMwRequestStates, TMwRequestStates&,
                                  const std::exception& e) { seen.push_back(e.what()); };
    m.transport.SetParams(TMwStrings{"MAXTRANSPORTSTREAMSIZE=64"});
    m.PrepareCycle();
    ASSERT_EQ(m.transport.MaxTransportStreamSize(), 64);
    const auto start = std::chrono::steady_clock::now();
    std::string message;
    EXPECT_EQ(ErrorCodeOf([&] { m.Probe(server.ip(), server.port()); }, &message), 0x00F10101)
        << message;
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(4));
    EXPECT_EQ(seen, std::vector<std::string>{"Transportstream size out of bounds."});
  }
}

TEST(QueryProbeTest, RefusedServerRaisesConnectionLostAfterOneOnException) {
  MonitorComponents m;
  tallyvox::testing::RefusingPort refusing;
  std::string message;
  EXPECT_EQ(ErrorCodeOf([&] { m.Probe("127.0.0.1", refusing.port()); }, &message), 0x00F10101);
  EXPECT_EQ(message, "Connection lost.");
  EXPECT_EQ(m.exceptions, 1);
  EXPECT_EQ(m.old_state, rsTransmit);
  EXPECT_EQ(m.connection_lost, 1);
  EXPECT_EQ(m.before_open + m.after_open, 0);
  EXPECT_EQ(m.query.RowsAffected(), 0);  // set to 0 when the execution started
}

// Servers that fail after accepting the connection: every kind of failure
// ends the probe in "Connection lost." after exactly one OnException from
// the receiving state (the connection's transport carries the monitor's
// handler), within about RequestTimeout even when the server never answers
// or stalls inside a message, and leaves no connection behind.
struct FailingServerCase {
  const char* name;
  const char* fault;
  const char* exception_text;  // what OnException saw; null: not compared (racy)
};

void PrintTo(const FailingServerCase& c, std::ostream* os) { *os << c.name; }

class QueryFailingServerTest : public ::testing::TestWithParam<FailingServerCase> {};

TEST_P(QueryFailingServerTest, ProbeFailsWithConnectionLost) {
  const FailingServerCase& c = GetParam();
  testing::PoolTestServer server({"--fault", c.fault});
  ASSERT_TRUE(server.ready()) << server.Output();
  MonitorComponents m;
  m.transport.SetRequestTimeout(1);
  std::string seen_text;
  m.transport.OnException = [&](TMwCustomClient*, TMwRequestStates old_s, TMwRequestStates&,
                                const std::exception& e) {
    ++m.exceptions;
    m.old_state = old_s;
    seen_text = e.what();
  };
  auto start = std::chrono::steady_clock::now();
  std::string message;
  EXPECT_EQ(ErrorCodeOf([&] { m.Probe(server.ip(), server.port()); }, &message), 0x00F10101);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
  EXPECT_EQ(message, "Connection lost.");
  EXPECT_EQ(m.exceptions, 1);
  EXPECT_EQ(m.old_state, rsReceive);
  if (c.exception_text != nullptr) {
    EXPECT_EQ(seen_text, c.exception_text);
  }
  EXPECT_EQ(m.connection_lost, 1);
  EXPECT_EQ(m.pool.ConnectionCount(), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Faults, QueryFailingServerTest,
    ::testing::Values(
        FailingServerCase{"Silent", "silent", "Read Timeout"},
        FailingServerCase{"DropAfterRequest", "drop", "Connection Closed Gracefully."},
        // Closed at once: end of stream or a reset, as the race goes.
        FailingServerCase{"CloseOnAccept", "close", nullptr},
        FailingServerCase{"BadChecksum", "badheader", "Invalid data"},
        FailingServerCase{"NonHexLength", "badhex", "Invalid data"},
        // The monitor's probe caps responses at 1 MiB: a huge
        // announced length is refused before any body is read.
        FailingServerCase{"HugeAnnouncedLength", "huge", "Transportstream size out of bounds."},
        FailingServerCase{"UnframedAnswer", "rawclose", nullptr}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(QueryProbeTest, ServerErrorPassesThroughAndUnlocksTheConnection) {
  testing::PoolTestServer server(
      {"--fault", "error", "--error-code", "42", "--error-text", "Boom"});
  ASSERT_TRUE(server.ready()) << server.Output();
  MonitorComponents m;
  m.transport.SetHost(server.ip());
  m.transport.SetPort(server.port());
  std::string message;
  EXPECT_EQ(ErrorCodeOf([&] { m.query.Execute(); }, &message), 42);
  EXPECT_EQ(message, "Boom (SERVER)");
  // The connection stays in the pool, unlocked, with no user.
  EXPECT_EQ(m.pool.ConnectionCount(), 1);
  EXPECT_EQ(m.pool.TotalUserCount(), 0);
  EXPECT_EQ(m.pool.StatusText(), "1:-1");
  EXPECT_EQ(m.query.Connection(), nullptr);
}

TEST(QueryProbeTest, UnknownServiceRaisesItsServerClass) {
  testing::PoolTestServer server;
  ASSERT_TRUE(server.ready()) << server.Output();
  MonitorComponents m;
  m.transport.SetHost(server.ip());
  m.transport.SetPort(server.port());
  m.query.SetQueryService("NO_SUCH");
  EXPECT_THROW(m.query.Execute(), EMwNoServiceException);
}

class QueryServerTest : public ::testing::Test {
 protected:
  void Start(std::vector<std::string> options) {
    server_ = std::make_unique<testing::PoolTestServer>(std::move(options));
    ASSERT_TRUE(server_->ready()) << server_->Output();
    transport_.SetHost(server_->ip());
    transport_.SetPort(server_->port());
    transport_.SetRequestTimeout(5);
    pool_.SetTransport(&transport_);
    pool_.SetMaxConnections(5);
    query_.SetConnectionPool(&pool_);
    query_.SetTransportStreamFormat(&format_);
  }

  std::unique_ptr<testing::PoolTestServer> server_;
  TMwTCPIPClientTransport transport_;
  TMwClientConnectionPool pool_;
  TMwBinaryStreamFormat format_;
  TMwClientQuery query_;
};

TEST_F(QueryServerTest, OutputParametersFromPositionsOneToN) {
  Start({"--rows", "3", "--out-param", "total:integer:Output:42", "--out-param",
         "who:String:InputOutput:O\"Brien", "--out-param", "r:Float:sideways:1.5"});
  query_.SetQuery({"update t set a = 1"});
  query_.Execute();
  ASSERT_EQ(query_.Params().Count(), 3u);
  const TParam& total = query_.Params()[0];
  EXPECT_EQ(total.name, "total");
  EXPECT_EQ(total.data_type, ftInteger);
  EXPECT_EQ(total.param_type, ptOutput);
  EXPECT_EQ(total.value.AsString(), "42");
  EXPECT_EQ(query_.Params()[1].name, "who");
  EXPECT_EQ(query_.Params()[1].data_type, ftString);
  EXPECT_EQ(query_.Params()[1].param_type, ptInputOutput);
  EXPECT_EQ(query_.Params()[1].value.AsString(), "O\"Brien");
  EXPECT_EQ(query_.Params()[2].param_type, ptUnknown);
  EXPECT_EQ(query_.RowsAffected(), 3);
}

TEST_F(QueryServerTest, UnknownOutputDataTypeMoney) {
  Start({"--out-param", "m:Money:Output:12"});
  std::string message;
  EXPECT_EQ(ErrorCodeOf([&] { query_.Execute(); }, &message), 0x00F20201);
  EXPECT_EQ(message, "Unknown parameter datatype (MONEY) send from server.");
  EXPECT_EQ(pool_.TotalUserCount(), 0);
}

TEST_F(QueryServerTest, ParameterDescriptionTravelsQuoted) {
  Start({});
  query_.SetQuery({"select * from people where name = :p"});
  ASSERT_EQ(query_.Params().Count(), 1u);
  TParam& p = query_.Params()[0];
  p.data_type = ftString;
  p.param_type = ptInput;
  p.value = Variant("O\"Brien");
  query_.Execute();
  // The server's log escapes a double quote as \".
  EXPECT_TRUE(server_->WaitForLines(R"(arg1="\"p,1,1=O\"\"Brien\"")", 1)) << server_->Output();
}

TEST_F(QueryServerTest, SplittingWithoutPassthroughSendsOneCallPerStatement) {
  Start({"--rows", "5"});
  query_.SetStatementPassthrough(false);
  query_.SetQuery({"update t set a = 1", "where b = 2", "!delete from t"});
  query_.Execute();
  ASSERT_TRUE(server_->WaitForLines("function=\"EXECUTE\"", 2)) << server_->Output();
  EXPECT_EQ(server_->CountLines("function=\"EXECUTE\""), 2);
  EXPECT_EQ(server_->CountLines(R"(arg0="update t set a = 1\x0D\x0Awhere b = 2")"), 1)
      << server_->Output();
  EXPECT_EQ(server_->CountLines(R"(arg0="delete from t")"), 1) << server_->Output();
  EXPECT_EQ(query_.RowsAffected(), 5);
}

TEST_F(QueryServerTest, EmptyQuerySendsStarAndMacrosExpand) {
  Start({});
  query_.Execute();
  EXPECT_TRUE(server_->WaitForLines(R"(arg0="*" arg1="*" arg2="*")", 1)) << server_->Output();
  pool_.Macros.Add("T=ufile7");
  query_.SetQuery({"select * from {%T%}"});
  query_.SetSchemaName("  dbo ");
  query_.Execute();
  EXPECT_TRUE(server_->WaitForLines(R"(arg0="select * from ufile7" arg1="*" arg2="dbo")", 1))
      << server_->Output();
  pool_.SetEnableMacros(false);
  query_.Execute();
  EXPECT_TRUE(server_->WaitForLines(R"(arg0="select * from {%T%}")", 1)) << server_->Output();
}

TEST_F(QueryServerTest, CacheReturnsStoredOutputParametersWithoutTheServer) {
  Start({"--out-param", "n:Integer:Output:9"});
  pool_.SetEnableCache(true);
  query_.SetCached(true);
  query_.SetQuery({"select count(*) from t"});
  query_.Execute();
  ASSERT_EQ(query_.Params().Count(), 1u);
  EXPECT_EQ(pool_.Cache().Count(), 1u);
  EXPECT_EQ(pool_.CacheInsertions(), 1);
  server_->Stop();  // a call would now fail
  pool_.DisconnectAll();
  query_.Params().Clear();
  ASSERT_NO_THROW(query_.Execute());
  ASSERT_EQ(query_.Params().Count(), 1u);
  EXPECT_EQ(query_.Params()[0].name, "n");
  EXPECT_EQ(query_.Params()[0].value.AsString(), "9");
  EXPECT_EQ(pool_.CacheHits(), 1);
  EXPECT_EQ(pool_.CallsServed(), 2);
  EXPECT_EQ(server_->CountLines("function=\"EXECUTE\""), 1);
  // Another statement is another key: it needs the (stopped) server.
  query_.SetQuery({"select count(*) from u"});
  EXPECT_ANY_THROW(query_.Execute());
}

TEST_F(QueryServerTest, CacheOffAtThePoolStoresNothing) {
  Start({});
  query_.SetCached(true);
  query_.Execute();
  query_.Execute();
  EXPECT_EQ(pool_.Cache().Count(), 0u);
  EXPECT_TRUE(server_->WaitForLines("function=\"EXECUTE\"", 2));
}

TEST_F(QueryServerTest, CallerTransactionKeepsTheConnectionLockedUntilReleased) {
  Start({});
  TMwTransaction transaction;
  query_.Execute(&transaction);
  EXPECT_EQ(transaction.Count(), 1u);
  EXPECT_EQ(pool_.TotalUserCount(), 1);
  TMwClientQuery second;
  second.SetConnectionPool(&pool_);
  second.SetTransportStreamFormat(&format_);
  second.Execute(&transaction);  // reuses the transaction's connection
  EXPECT_EQ(pool_.ConnectionCount(), 1);
  EXPECT_EQ(transaction.Count(), 1u);
  transaction.Release();
  EXPECT_EQ(pool_.TotalUserCount(), 0);
}

TEST_F(QueryServerTest, OpeningLoadsTheServersTableThroughTheDatasetFormat) {
  Start({});
  // The query's persistent fields; the server's short definitions and rows
  // are matched to them by name.
  const struct {
    const char* name;
    TFieldType type;
    int32_t size;
  } fields[] = {{"zip", ftString, 5},
                {"CITY", ftString, 30},
                {"STATE", ftString, 2},
                {"POPULATION", ftInteger, 0}};
  for (const auto& f : fields) {
    TField field;
    field.name = f.name;
    field.type = f.type;
    field.size = f.size;
    query_.Table().AddField(field);
  }
  std::vector<std::string> events;
  query_.BeforeOpen = [&](TMwClientQuery& q) {
    events.push_back("BeforeOpen " + std::to_string(q.Table().RecordCount()));
  };
  query_.AfterOpen = [&](TMwClientQuery& q) {
    events.push_back("AfterOpen " + std::to_string(q.Table().RecordCount()));
  };
  query_.SetQuery({"select * from zipcodes"});
  query_.SetActive(true);
  EXPECT_TRUE(query_.Active());
  EXPECT_EQ(events, (std::vector<std::string>{"BeforeOpen 0", "AfterOpen 4"}));
  TCustomMemTable& t = query_.Table();
  ASSERT_EQ(t.RecordCount(), 4);
  EXPECT_EQ(t.Value(0, "ZIP").AsText(), "10001");
  EXPECT_EQ(t.Value(1, "CITY").AsText(), "Chicago");
  EXPECT_EQ(t.Value(3, "STATE").AsText(), "WA");
  EXPECT_EQ(t.Value(2, "POPULATION").AsInteger(), 11232);
  EXPECT_EQ(query_.OwnerId(), 4711);   // the cursor id
  EXPECT_EQ(query_.KeyFields, "ZIP");  // the key fields the server named
  EXPECT_EQ(pool_.TotalUserCount(), 0);
  EXPECT_TRUE(server_->WaitForLines(R"(function="QUERY" requestid=)", 1)) << server_->Output();
  EXPECT_EQ(server_->CountLines(R"(args=7 arg0="select * from zipcodes" arg1="*" )"
                                R"(arg2="\"zip\";\"CITY\";\"STATE\";\"POPULATION\"")"),
            1)
      << server_->Output();
  query_.SetActive(false);
  EXPECT_EQ(t.RecordCount(), 0);
}

TEST(QueryConfigTest, MissingPieces) {
  TMwClientQuery query;
  std::string message;
  query.SetSessionName("NO_SESSION_HERE");
  EXPECT_EQ(ErrorCodeOf([&] { query.Execute(); }, &message), 0x04300004);
  EXPECT_EQ(message, "Session or ConnectionPool must be specified.");

  TMwPooledSession session;  // a session without a pool
  session.SetSessionName("POOLLESS_SESSION");
  query.SetSessionName("POOLLESS_SESSION");
  EXPECT_EQ(ErrorCodeOf([&] { query.Execute(); }, &message), 0x04300004);
  EXPECT_EQ(message, "Connection pool not found.");

  testing::PoolTestServer server;
  ASSERT_TRUE(server.ready());
  TMwTCPIPClientTransport transport;
  transport.SetHost(server.ip());
  transport.SetPort(server.port());
  TMwClientConnectionPool pool;
  pool.SetTransport(&transport);
  query.SetConnectionPool(&pool);
  EXPECT_EQ(ErrorCodeOf([&] { query.Execute(); }, &message), 0x00F00004);
  EXPECT_EQ(message, "TransportStreamFormat not specified.");
  EXPECT_EQ(pool.TotalUserCount(), 0);
  EXPECT_EQ(ErrorCodeOf([&] { query.OpenInTransaction(nullptr); }, &message), 0x03010005);
  EXPECT_EQ(message, "Transaction not provided.");
}

TEST(QueryClientTest, EffectiveClientAndTemplate) {
  TMwClientQuery query;
  TMwSimpleClient own;
  own.SetUsername("u");
  own.SetToken("t");
  own.SetClientData(Variant("X"));
  own.SetStateID(12);
  query.SetClient(&own);
  EXPECT_EQ(&query.EffectiveClient(), &own);
  query.SetClientAsTemplate(true);
  TMwCustomSimpleClient& internal = query.EffectiveClient();
  EXPECT_NE(&internal, &own);
  EXPECT_EQ(internal.Username(), "u");
  EXPECT_EQ(internal.Token(), "t");
  EXPECT_EQ(internal.ClientData(), Variant("X"));
  EXPECT_EQ(internal.StateID(), 12);
  query.SetClient(nullptr);
  EXPECT_EQ(&query.EffectiveClient(), &internal);
}

TEST(QueryTextTest, ParamCheckKeepsValuesOfExistingParameters) {
  TMwClientQuery query;
  query.SetQuery({"select * from t where a = :a and b = :b"});
  ASSERT_EQ(query.Params().Count(), 2u);
  query.Params()[1].value = Variant(5);
  query.SetQuery({"select * from t where b = :b or c = :c or b = :b"});
  ASSERT_EQ(query.Params().Count(), 2u);
  EXPECT_EQ(query.Params()[0].name, "b");
  EXPECT_EQ(query.Params()[0].value, Variant(5));
  EXPECT_EQ(query.Params()[1].name, "c");
  query.SetParamCheck(false);
  query.SetQuery({"select :zzz"});
  EXPECT_EQ(query.Params().Count(), 2u);
}

}  // namespace
}  // namespace tallyvox::mw
