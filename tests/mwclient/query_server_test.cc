// The client query against a real mwserver on loopback: output parameters,
// statement splitting, parameter quoting on the wire, the cache path and the
// failures that pass through Execute.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "middleware/client/client_exceptions.h"
#include "middleware/client/client_query.h"
#include "middleware/client/client_transport.h"
#include "middleware/client/connection_pool.h"
#include "middleware/client/pooled_session.h"
#include "middleware/client/transaction.h"
#include "middleware/wire/dataset_stream_format.h"
#include "middleware/wire/mw_exception.h"
#include "middleware/wire/string_list.h"
#include "support/error_code_of.h"
#include "support/pool_test_server.h"

namespace tallyvox::mw {
namespace {

using testing::ErrorCodeOf;

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
