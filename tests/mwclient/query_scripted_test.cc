// The client query against an in-process scripted server built on the wire
// classes: result shapes mwserver never sends (wrong record versions, a
// result that is no array), and openings whose rows arrive as dataset stream
// blocks written here by the table stream format.
#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

#include "middleware/client/client_query.h"
#include "middleware/client/client_transport.h"
#include "middleware/client/connection_pool.h"
#include "middleware/wire/dataset_stream_format.h"
#include "middleware/wire/memory_table.h"
#include "middleware/wire/mw_exception.h"
#include "middleware/wire/request_stream.h"
#include "middleware/wire/response_stream.h"
#include "middleware/wire/transport_stream.h"
#include "middleware/wire/wire_errors.h"
#include "mwclient/scripted_server.h"
#include "support/error_code_of.h"

namespace tallyvox::mw {
namespace {

Variant Arr(std::vector<Variant> items) { return Variant::Array(varVariant, 0, std::move(items)); }

// A table of two fields and three rows, as a server would hold it.
void FillCities(TCustomMemTable& table) {
  TField id;
  id.name = "ID";
  id.type = ftInteger;
  table.AddField(id);
  TField name;
  name.name = "CITY";
  name.type = ftString;
  name.size = 20;
  table.AddField(name);
  table.AppendRecord({TFieldValue::Integer(501), TFieldValue::Text("Holtsville")});
  table.AppendRecord({TFieldValue::Integer(544), TFieldValue::Text("Holtsville")});
  table.AppendRecord({TFieldValue::Integer(601), TFieldValue()});
}

// A QUERY answer: [1, cursor id, key fields] and the rows in the STREAM
// section, written with full (or short) field definitions.
void AnswerQuery(TMwCustomResponseTransportStream& response, bool short_definitions) {
  TCustomMemTable table;
  FillCities(table);
  TMwBinaryStreamFormat format;
  if (short_definitions) format.PrepareForRecords(false, false);
  response.SetResult(Arr({Variant(1), Variant(4711), Variant("ID")}));
  TMwMemoryStream& stream = response.EnsureAttachedStream(true);
  stream.Write(format.SaveToString(table));
}

using testing::ErrorCodeOf;
using testing::ScriptedServer;
using testing::SeenRequest;

class QueryScriptedTest : public ::testing::Test {
 protected:
  void Start(ScriptedServer::Script script) {
    server_ = std::make_unique<ScriptedServer>(std::move(script));
    ASSERT_NE(server_->port(), 0);
    transport_.SetHost("127.0.0.1");
    transport_.SetPort(server_->port());
    transport_.SetVerifyTransfer(true);
    transport_.SetRequestTimeout(5);
    pool_.SetTransport(&transport_);
    pool_.SetMaxConnections(5);
    query_.SetConnectionPool(&pool_);
    query_.SetTransportStreamFormat(&format_);
    query_.BeforeOpen = [this](TMwClientQuery& q) {
      events_.push_back("BeforeOpen rows=" + std::to_string(q.Table().RecordCount()));
    };
    query_.AfterOpen = [this](TMwClientQuery& q) {
      events_.push_back("AfterOpen rows=" + std::to_string(q.Table().RecordCount()));
    };
  }

  std::unique_ptr<ScriptedServer> server_;
  TMwTCPIPClientTransport transport_;
  TMwClientConnectionPool pool_;
  TMwBinaryStreamFormat format_;
  TMwClientQuery query_;
  std::vector<std::string> events_;
};

TEST_F(QueryScriptedTest, WrongExecuteRecordVersion) {
  Start([](const SeenRequest&, TMwCustomResponseTransportStream& r) {
    r.SetResult(Arr({Variant(2), Arr({Variant(0)}), Variant(1)}));
  });
  std::string message;
  EXPECT_EQ(ErrorCodeOf([&] { query_.Execute(); }, &message), 0x00F20102);
  EXPECT_EQ(message, "Wrong execute result record version from server (2).");
  EXPECT_EQ(pool_.TotalUserCount(), 0);
}

// A server's error text may hold any byte. what() ends at the first NUL, so the
// message shows each NUL as \x00 and keeps what follows it, " (SERVER)" too;
// the other bytes stay as the server sent them (escaped where they are shown).
TEST_F(QueryScriptedTest, ServerErrorTextWithANulKeepsItsEnd) {
  using namespace std::string_literals;
  Start([](const SeenRequest&, TMwCustomResponseTransportStream& r) {
    r.SetError(42, "Table\0 ufile7\x1b[2J is\r\nlocked"s);
  });
  std::string message;
  EXPECT_EQ(ErrorCodeOf([&] { query_.Execute(); }, &message), 42);
  EXPECT_EQ(message, "Table\\x00 ufile7\x1b[2J is\r\nlocked (SERVER)");
  EXPECT_EQ(pool_.TotalUserCount(), 0);
}

TEST_F(QueryScriptedTest, ResultOfTheWrongShapeFailsAndUnlocks) {
  const Variant results[] = {
      Variant(1),  // not an array
      // No element 0, with the lowest low bound a server can send.
      Variant::Array(varVariant, INT32_MIN, {Variant(1), Variant(2), Variant(3)}),
  };
  std::atomic<size_t> next{0};
  Start([&](const SeenRequest&, TMwCustomResponseTransportStream& r) {
    r.SetResult(results[next.load()]);
  });
  for (; next.load() < std::size(results); ++next) {
    SCOPED_TRACE(next.load());
    EXPECT_THROW(query_.Execute(), EVariantTypeCastError);
    EXPECT_EQ(pool_.TotalUserCount(), 0);
    EXPECT_EQ(query_.Connection(), nullptr);
  }
}

TEST_F(QueryScriptedTest, PositionZeroOfTheOutputArrayIsNotRead) {
  Start([](const SeenRequest&, TMwCustomResponseTransportStream& r) {
    // Position 0 holds garbage that would fail if it were read as a parameter.
    r.SetResult(Arr({Variant(1),
                     Arr({Variant("not a parameter"),
                          Arr({Variant("a"), Variant("integer"), Variant("Output"), Variant(1)}),
                          Arr({Variant("b"), Variant("DateTime"), Variant("Result"),
                               Variant::DateTime(45000.5)})}),
                     Variant(11)}));
  });
  query_.Params().Add({"old", ftString, ptInput, Variant("x")});
  query_.Execute();
  ASSERT_EQ(query_.Params().Count(), 2u);
  EXPECT_EQ(query_.Params()[0].name, "a");
  EXPECT_EQ(query_.Params()[0].value, Variant(1));
  EXPECT_EQ(query_.Params()[1].data_type, ftDateTime);
  EXPECT_EQ(query_.Params()[1].param_type, ptResult);
  EXPECT_EQ(query_.RowsAffected(), 11);
  // The request carried the old parameter's description.
  ASSERT_EQ(server_->Seen().size(), 1u);
  EXPECT_EQ(server_->Seen()[0].args[1].AsString(), "\"old,1,1=x\"");
}

TEST_F(QueryScriptedTest, OpeningLoadsRowsOfABlockWithFullDefinitions) {
  Start([](const SeenRequest&, TMwCustomResponseTransportStream& r) { AnswerQuery(r, false); });
  query_.SetQuery({"select * from cities"});
  query_.FetchMaxRecords = 50;
  query_.FetchRecordsOnDemand = 20;
  query_.Open();
  EXPECT_TRUE(query_.Active());
  EXPECT_EQ(events_, (std::vector<std::string>{"BeforeOpen rows=0", "AfterOpen rows=3"}));
  TCustomMemTable& t = query_.Table();
  ASSERT_EQ(t.FieldCount(), 2);
  ASSERT_EQ(t.RecordCount(), 3);
  EXPECT_EQ(t.Value(0, "ID").AsInteger(), 501);
  EXPECT_EQ(t.Value(1, "CITY").AsText(), "Holtsville");
  EXPECT_TRUE(t.Value(2, "CITY").IsNull());
  EXPECT_EQ(query_.OwnerId(), 4711);
  EXPECT_EQ(query_.KeyFields, "ID");
  EXPECT_EQ(pool_.TotalUserCount(), 0);
  ASSERT_EQ(server_->Seen().size(), 1u);
  const SeenRequest seen = server_->Seen()[0];
  EXPECT_EQ(seen.function, "QUERY");
  ASSERT_EQ(seen.args.size(), 7u);
  EXPECT_EQ(seen.args[0].AsString(), "select * from cities");
  EXPECT_EQ(seen.args[1].AsString(), "*");
  EXPECT_EQ(seen.args[2].AsString(), "*");  // no fields yet
  EXPECT_EQ(seen.args[3].AsString(), "*");
  EXPECT_EQ(seen.args[4].AsInteger(), 20);
  EXPECT_EQ(seen.args[5].AsString(), "");
  EXPECT_EQ(seen.args[6].AsString(), "*");
  // Closing drops the rows; opening again sends the field list.
  query_.Close();
  EXPECT_EQ(t.RecordCount(), 0);
  query_.ForceCacheUpdate = true;
  query_.Open();
  EXPECT_EQ(t.RecordCount(), 3);
  ASSERT_EQ(server_->Seen().size(), 2u);
  EXPECT_EQ(server_->Seen()[1].args[2].AsString(), "\"ID\";\"CITY\"");
  EXPECT_EQ(server_->Seen()[1].args[3].AsString(), "ID");
  EXPECT_EQ(server_->Seen()[1].args[5].AsString(), "FRESH");
}

TEST_F(QueryScriptedTest, OpeningMatchesShortDefinitionsToExistingFields) {
  Start([](const SeenRequest&, TMwCustomResponseTransportStream& r) { AnswerQuery(r, true); });
  TField city;
  city.name = "city";  // matched without regard to case
  city.type = ftString;
  city.size = 20;
  query_.Table().AddField(city);
  query_.Open();
  TCustomMemTable& t = query_.Table();
  ASSERT_EQ(t.FieldCount(), 1);
  ASSERT_EQ(t.RecordCount(), 3);
  EXPECT_EQ(t.Value(0, 0).AsText(), "Holtsville");
}

TEST_F(QueryScriptedTest, TruncatedOrForeignBlocksFailCleanly) {
  std::atomic<int> mode{0};
  Start([&](const SeenRequest&, TMwCustomResponseTransportStream& r) {
    TCustomMemTable table;
    FillCities(table);
    TMwBinaryStreamFormat format;
    std::string block = format.SaveToString(table);
    if (mode == 0) block.resize(block.size() / 2);  // cut in the middle of the rows
    if (mode == 1) block = "NOPE" + block.substr(4);
    if (mode == 2) block = block.substr(0, 9);  // within the first definition
    r.SetResult(Arr({Variant(1), Variant(1), Variant("ID")}));
    r.EnsureAttachedStream(true).Write(block);
  });
  for (int m : {0, 1, 2}) {
    mode = m;
    events_.clear();
    EXPECT_ANY_THROW(query_.Open()) << "mode " << m;
    EXPECT_FALSE(query_.Active());
    EXPECT_EQ(events_, (std::vector<std::string>{"BeforeOpen rows=0"})) << "mode " << m;
    EXPECT_EQ(pool_.TotalUserCount(), 0);
    query_.Table().ClearFields();
  }
}

TEST_F(QueryScriptedTest, WrongQueryVersionClosesWithoutAfterOpen) {
  Start([](const SeenRequest&, TMwCustomResponseTransportStream& r) {
    r.SetResult(Arr({Variant(3), Variant(1), Variant("")}));
  });
  std::string message;
  EXPECT_EQ(ErrorCodeOf([&] { query_.Open(); }, &message), 0x00F20101);
  EXPECT_EQ(message, "Wrong query record version from server (3).");
  EXPECT_FALSE(query_.Active());
  EXPECT_EQ(events_, (std::vector<std::string>{"BeforeOpen rows=0"}));
  EXPECT_EQ(pool_.TotalUserCount(), 0);
}

TEST_F(QueryScriptedTest, SplitOpeningExecutesBangStatementsAndAllowsOneResultSet) {
  Start([](const SeenRequest& seen, TMwCustomResponseTransportStream& r) {
    if (seen.function == "EXECUTE") {
      r.SetResult(Arr({Variant(1), Arr({Variant(0)}), Variant(2)}));
    } else {
      AnswerQuery(r, false);
    }
  });
  query_.SetStatementPassthrough(false);
  query_.SetQuery({"!update t set a = 1", "=select * from cities"});
  query_.Open();
  EXPECT_EQ(query_.Table().RecordCount(), 3);
  ASSERT_EQ(server_->Seen().size(), 2u);
  EXPECT_EQ(server_->Seen()[0].function, "EXECUTE");
  EXPECT_EQ(server_->Seen()[1].function, "QUERY");
  query_.Close();

  query_.SetQuery({"select 1", "=select 2"});
  std::string message;
  EXPECT_EQ(ErrorCodeOf([&] { query_.Open(); }, &message), 0x03010020);
  EXPECT_EQ(message, "Multiple resultset statements not allowed.");
  EXPECT_FALSE(query_.Active());
  EXPECT_EQ(pool_.TotalUserCount(), 0);
}

TEST_F(QueryScriptedTest, CachedOpeningIsServedFromTheCache) {
  Start([](const SeenRequest&, TMwCustomResponseTransportStream& r) { AnswerQuery(r, false); });
  pool_.SetEnableCache(true);
  query_.SetCached(true);
  query_.SetQuery({"select * from cities"});
  query_.Open();
  query_.Close();
  query_.Open();
  EXPECT_EQ(query_.Table().RecordCount(), 3);
  EXPECT_EQ(query_.Table().Value(0, "ID").AsInteger(), 501);
  EXPECT_EQ(server_->Seen().size(), 1u);
  EXPECT_EQ(pool_.CacheHits(), 1);
  // A result above MaxCacheRecordCount is not stored.
  pool_.Cache().Clear();
  pool_.SetMaxCacheRecordCount(2);
  query_.Close();
  query_.Open();
  EXPECT_EQ(pool_.Cache().Count(), 0u);
}

}  // namespace
}  // namespace tallyvox::mw
