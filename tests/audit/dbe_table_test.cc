#include "audit/dbe_table.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "base/datetime.h"
#include "dbe/dbe_engine.h"
#include "dbe/dbf_format.h"
#include "support/dbf_builder.h"
#include "support/fault_env.h"
#include "support/lock_holder.h"
#include "support/support.h"

namespace tallyvox::audit {
namespace {

using testing::BuildDbf;
using testing::TestDbf;
using testing::TestDbfRecord;

TestDbf AuditTable(std::vector<TestDbfRecord> records, int time_length = 20, int decimals = 10) {
  TestDbf t;
  t.fields = {{"ipaddress", 'C', 64, 0}, {"time", 'N', time_length, decimals}};
  t.records = std::move(records);
  return t;
}

// Reads a table with Debian's python3-dbfread: one line per record, repr of each value.
std::string ReadWithDbfread(const testing::TempDir& dir, const std::string& path) {
  const std::string script = dir.File("read.py");
  testing::WriteFile(script,
                     "import sys, dbfread\n"
                     "for r in dbfread.DBF(sys.argv[1], ignore_missing_memofile=True):\n"
                     "    print('|'.join(repr(v) for v in r.values()))\n");
  std::string out;
  EXPECT_EQ(testing::RunCommand("/usr/bin/python3 " + script + " " + path + " 2>&1", &out), 0)
      << out;
  return out;
}

uint32_t RecordCount(const std::string& path) {
  const std::string bytes = testing::ReadFile(path);
  const dbe::DbfParseResult parsed = dbe::ParseDbfHeader(bytes, bytes.size());
  EXPECT_EQ(parsed.fault, dbe::DbfHeaderFault::kNone) << parsed.detail;
  return parsed.header.record_count;
}

// The message of what `f` throws as T, or "no exception".
template <typename T, typename F>
std::string Thrown(F&& f) {
  try {
    f();
  } catch (const T& e) {
    return e.what();
  }
  return "no exception";
}

// The class a refusal is raised as, and its message.
template <typename F>
std::string Raised(F&& f) {
  try {
    f();
  } catch (const EDbeDatabaseError& e) {
    return std::string("EDbeDatabaseError: ") + e.what();
  } catch (const EDatabaseError& e) {
    return std::string("EDatabaseError: ") + e.what();
  }
  return "no exception";
}

class AuditTableTest : public ::testing::Test {
 protected:
  void SetUp() override { settings_.ApplyStoredValues(); }

  std::string Make(const TestDbf& table, const std::string& name = "config.dbf") {
    const std::string path = dir_.File(name);
    testing::WriteFile(path, BuildDbf(table));
    return path;
  }
  void Open(TDbeTable& table, const std::string& name = "config.dbf") {
    table.SetDatabaseName(dir_.path() + "/");
    table.SetTableName(name);
    table.SetActive(true);
  }
  // The monitor's audit write.
  static void AuditWrite(TDbeTable& table, const std::string& address, double start) {
    table.EditRecord();
    table.SetFieldText("ipaddress", address);
    table.SetFieldFloat("time", start);
    table.PostRecord();
  }

  TDbeSettings settings_;
  testing::FaultEnv env_;
  testing::TempDir dir_;
};

TEST_F(AuditTableTest, EmptyTableGetsItsRecordThenEveryWriteOverwritesIt) {
  const std::string path = Make(AuditTable({}));
  TDbeTable table;
  Open(table);
  EXPECT_TRUE(table.Active());
  EXPECT_EQ(table.RecordNumber(), 0u);
  AuditWrite(table, "10.0.0.1", EncodeTime(11, 0, 0, 0));
  EXPECT_EQ(table.State(), TDataSetState::dsBrowse);
  EXPECT_EQ(table.RecordNumber(), 1u);
  EXPECT_EQ(RecordCount(path), 1u);
  EXPECT_EQ(ReadWithDbfread(dir_, path), "'10.0.0.1'|0.4583333333\n");
  AuditWrite(table, "192.168.100.200", EncodeTime(23, 59, 59, 999));
  AuditWrite(table, "10.20.30.40", EncodeTime(8, 0, 0, 0));
  EXPECT_EQ(RecordCount(path), 1u);
  EXPECT_EQ(ReadWithDbfread(dir_, path), "'10.20.30.40'|0.3333333333\n");
  std::string dump;
  ASSERT_EQ(testing::RunCommand("dbfdump " + path, &dump), 0);
  EXPECT_NE(dump.find("10.20.30.40"), std::string::npos) << dump;
  EXPECT_NE(dump.find("0.3333333333"), std::string::npos) << dump;
  const std::string bytes = testing::ReadFile(path);
  EXPECT_EQ(bytes.size(), 97u + 85 + 1);
  EXPECT_EQ(bytes.back(), '\x1A');
}

TEST_F(AuditTableTest, OnlyTheFirstVisibleRecordChanges) {
  const std::string path = Make(AuditTable({{true, {"deleted", "0.1"}},
                                            {false, {"first", "0.2"}},
                                            {false, {"second", "0.3"}},
                                            {true, {"deleted too", "0.4"}}}));
  const std::string before = testing::ReadFile(path);
  TDbeTable table;
  Open(table);
  EXPECT_EQ(table.RecordNumber(), 2u);
  EXPECT_EQ(table.FieldText("ipaddress"), "first");
  AuditWrite(table, "10.1.1.1", 0.75);
  AuditWrite(table, "10.1.1.2", 0.5);
  const std::string after = testing::ReadFile(path);
  ASSERT_EQ(after.size(), before.size());
  const size_t rec2 = 97 + 85, rec3 = rec2 + 85;
  EXPECT_EQ(after.substr(4, rec2 - 4), before.substr(4, rec2 - 4));  // all but the date
  EXPECT_EQ(after.substr(rec3), before.substr(rec3));
  EXPECT_EQ(after.substr(rec2, 85), " 10.1.1.2" + std::string(56, ' ') + "        0.5000000000");
  EXPECT_EQ(ReadWithDbfread(dir_, path), "'10.1.1.2'|0.5\n'second'|0.3\n");
}

TEST_F(AuditTableTest, AddressesAreStoredEmptyWholeOrCut) {
  const std::string long_address(100, '7');
  struct Case {
    std::string address;
    std::string stored;
  } cases[] = {
      {"", ""},
      {"10.0.0.1", "10.0.0.1"},
      {long_address, long_address.substr(0, 64)},
      {"   ", ""},  // all blanks goes out as an empty field
  };
  const std::string path = Make(AuditTable({{false, {"previous", "0.1"}}}));
  TDbeTable table;
  Open(table);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.address);
    AuditWrite(table, c.address, 0.25);
    EXPECT_EQ(ReadWithDbfread(dir_, path), "'" + c.stored + "'|0.25\n");
    EXPECT_EQ(testing::ReadFile(path).substr(97 + 1, 64),
              c.stored + std::string(64 - c.stored.size(), ' '));
  }
}

TEST_F(AuditTableTest, NarrowTimeFieldFailsBeforeAnythingIsWritten) {
  const std::string path = Make(AuditTable({{false, {"old", "0.1"}}}, 3, 2));
  const std::string before = testing::ReadFile(path);
  TDbeTable table;
  Open(table);
  table.EditRecord();
  table.SetFieldText("ipaddress", "10.0.0.9");
  try {
    table.SetFieldFloat("time", 0.4583);
    FAIL() << "no exception";
  } catch (const EDbeDatabaseError& e) {
    EXPECT_STREQ(e.what(), "DbeTable1: Numeric out of range.");
  }
  EXPECT_EQ(testing::ReadFile(path), before);
  EXPECT_EQ(table.State(), TDataSetState::dsEdit);
  EXPECT_THROW(table.SetFieldFloat("time", 0.5), EDbeDatabaseError);  // "0.50" needs 4
  table.SetActive(false);                                             // abandons the edit
  EXPECT_EQ(testing::ReadFile(path), before);
  EXPECT_TRUE(testing::LockHolder(path, 1).ok());
}

TEST_F(AuditTableTest, RecordLockedByAnotherProcessStopsTheWrite) {
  const std::string path = Make(AuditTable({{false, {"old", "0.1"}}}));
  TDbeTable table;
  Open(table);
  {
    testing::LockHolder holder(path, 1);
    ASSERT_TRUE(holder.ok());
    try {
      AuditWrite(table, "10.0.0.1", 0.5);
      FAIL() << "no exception";
    } catch (const EDbeDatabaseError& e) {
      EXPECT_EQ(std::string(e.what()), "DbeTable1: Record 1 is locked by another user: " + path);
      EXPECT_EQ(e.ErrorCode(), dbe::kDbeErrRecordLocked);
      EXPECT_EQ(e.Where().table_name, "config.dbf");
      EXPECT_EQ(e.Where().path, dir_.path());
    }
    EXPECT_EQ(table.State(), TDataSetState::dsBrowse);
  }
  AuditWrite(table, "10.0.0.1", 0.5);
  EXPECT_EQ(ReadWithDbfread(dir_, path), "'10.0.0.1'|0.5\n");
}

// Another monitor's audit write, or `dbetool record`, holds the record for a moment:
// the write waits for it (tried again every 10 ms), so a collision that short costs
// nothing. A lock held longer still ends the write with the lock error, after a wait
// bounded in time (250 ms) and in attempts.
TEST_F(AuditTableTest, ABriefRecordLockIsWaitedForAndALongOneFailsAfterABoundedRetry) {
  const std::string path = Make(AuditTable({{false, {"old", "0.1"}}}));
  const uint64_t lock_byte = dbe::kDbeLockBase + 1;
  TDbeTable table;
  Open(table);
  {
    testing::LockHolder brief(path, 1, "0.1");
    ASSERT_TRUE(brief.ok()) << brief.Output();
    AuditWrite(table, "10.0.0.1", 0.5);
    EXPECT_GE(env_.RefusedLocks(lock_byte), 1) << "the write never met the lock";
    EXPECT_EQ(table.State(), TDataSetState::dsBrowse);
    EXPECT_EQ(ReadWithDbfread(dir_, path), "'10.0.0.1'|0.5\n");
  }
  testing::LockHolder held(path, 1);
  ASSERT_TRUE(held.ok()) << held.Output();
  const int refused_before = env_.RefusedLocks(lock_byte);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(Thrown<EDbeDatabaseError>([&] { AuditWrite(table, "10.0.0.2", 0.25); }),
            "DbeTable1: Record 1 is locked by another user: " + path);
  const auto waited = std::chrono::steady_clock::now() - start;
  const int attempts = env_.RefusedLocks(lock_byte) - refused_before;
  EXPECT_GE(waited, std::chrono::milliseconds(250));
  EXPECT_LT(waited, std::chrono::seconds(3)) << "waited for the holder to let go";
  EXPECT_GE(attempts, 2);
  EXPECT_LE(attempts, 26);
  EXPECT_EQ(table.State(), TDataSetState::dsBrowse);
  held.Release();
  AuditWrite(table, "10.0.0.3", 0.75);
  EXPECT_EQ(ReadWithDbfread(dir_, path), "'10.0.0.3'|0.75\n");
}

TEST_F(AuditTableTest, FailedPostKeepsTheLockAndIsRetriedByTheNextWrite) {
  const std::string path = Make(AuditTable({{false, {"old", "0.1"}}}));
  const std::string before = testing::ReadFile(path);
  TDbeTable table;
  Open(table);
  env_.FailWrites(ENOSPC, 1);
  try {
    AuditWrite(table, "10.0.0.1", 0.5);
    FAIL() << "no exception";
  } catch (const EDbeDatabaseError& e) {
    EXPECT_EQ(std::string(e.what()),
              "DbeTable1: Cannot write record 1 (No space left on device): " + path);
    EXPECT_EQ(e.ErrorCode(), dbe::kDbeErrWriteFailed);
  }
  EXPECT_EQ(table.State(), TDataSetState::dsEdit);
  EXPECT_EQ(testing::ReadFile(path), before);
  EXPECT_FALSE(testing::LockHolder(path, 1).ok());  // still ours
  AuditWrite(table, "10.0.0.2", 0.25);
  EXPECT_EQ(table.State(), TDataSetState::dsBrowse);
  EXPECT_EQ(ReadWithDbfread(dir_, path), "'10.0.0.2'|0.25\n");
  EXPECT_TRUE(testing::LockHolder(path, 1).ok());  // released after the good write
}

// The monitor's audit write on a stored record costs the record's lock, one read of the
// record under it, one write of it and the unlock: no look at the header or the file's
// size (the header's date is written only when the day changed).
TEST_F(AuditTableTest, AuditWriteReadsTheLockedRecordOnceAndWritesItOnce) {
  const std::string path = Make(AuditTable({{false, {"old", "0.1"}}}));
  TDbeTable table;
  Open(table);
  AuditWrite(table, "10.0.0.1", 0.5);  // today's date into the header
  env_.ResetCalls();
  AuditWrite(table, "10.0.0.2", 0.25);
  const testing::FaultEnv::Calls calls = env_.CallsSoFar();
  EXPECT_EQ(calls.reads, 1);
  EXPECT_EQ(calls.writes, 1);
  EXPECT_EQ(calls.stats, 0);
  EXPECT_EQ(calls.locks, 2);
  EXPECT_EQ(ReadWithDbfread(dir_, path), "'10.0.0.2'|0.25\n");
}

TEST_F(AuditTableTest, FailedFirstWriteOfAnEmptyTableIsRetriedIntoTheSameRecord) {
  const std::string path = Make(AuditTable({}));
  TDbeTable table;
  Open(table);
  // The append (record, then header) succeeds; storing the values fails.
  env_.FailWrites(EIO, 1, 2);
  EXPECT_NE(Thrown<EDbeDatabaseError>([&] {
              AuditWrite(table, "10.0.0.1", 0.5);
            }).find("DbeTable1: Cannot write record 1"),
            std::string::npos);
  EXPECT_EQ(table.State(), TDataSetState::dsInsert);
  AuditWrite(table, "10.0.0.2", 0.75);
  EXPECT_EQ(RecordCount(path), 1u);
  EXPECT_EQ(ReadWithDbfread(dir_, path), "'10.0.0.2'|0.75\n");
  AuditWrite(table, "10.0.0.3", 0.125);
  EXPECT_EQ(ReadWithDbfread(dir_, path), "'10.0.0.3'|0.125\n");
}

// Two monitors on one empty table, both in their first write: the later one finds the
// record the earlier one appended and edits it, so the table keeps one record.
TEST_F(AuditTableTest, SecondFirstWriteOnAnEmptyTableEditsTheRecordTheFirstAppended) {
  const std::string path = Make(AuditTable({}));
  TDbeTable first, second;
  Open(first);
  Open(second);
  first.EditRecord();
  second.EditRecord();
  ASSERT_EQ(first.State(), TDataSetState::dsInsert);
  ASSERT_EQ(second.State(), TDataSetState::dsInsert);
  first.SetFieldText("ipaddress", "10.0.0.1");
  first.SetFieldFloat("time", 0.25);
  first.PostRecord();
  // While the first edits that record, the second cannot write it: its write fails as an
  // edit of a locked record would, and is retried by the next one.
  first.EditRecord();
  first.SetFieldText("ipaddress", "10.0.0.3");
  second.SetFieldText("ipaddress", "10.0.0.2");  // only the field it changed is written
  EXPECT_NE(Thrown<EDbeDatabaseError>([&] {
              second.PostRecord();
            }).find("DbeTable1: Record 1 is locked by another user"),
            std::string::npos);
  EXPECT_EQ(second.State(), TDataSetState::dsInsert);
  first.PostRecord();
  second.PostRecord();
  EXPECT_EQ(RecordCount(path), 1u);
  EXPECT_EQ(second.RecordNumber(), 1u);
  EXPECT_EQ(second.FieldText("time"), "0.2500000000");
  EXPECT_EQ(ReadWithDbfread(dir_, path), "'10.0.0.2'|0.25\n");
  AuditWrite(first, "10.0.0.4", 0.75);
  AuditWrite(second, "10.0.0.5", 0.5);
  EXPECT_EQ(RecordCount(path), 1u);
  EXPECT_EQ(ReadWithDbfread(dir_, path), "'10.0.0.5'|0.5\n");
}

TEST_F(AuditTableTest, TrailingSeparatorReachesTheSameConnectionAndFile) {
  Make(AuditTable({{false, {"old", "0.1"}}}));
  TDbeTable with, without, doubled;
  with.SetDatabaseName(dir_.path() + "/");
  without.SetDatabaseName(dir_.path());
  doubled.SetDatabaseName(dir_.path() + "//");
  for (TDbeTable* t : {&with, &without, &doubled}) t->SetTableName("config.dbf");
  with.SetActive(true);
  const size_t connections = TDbeConnectionList::Instance().Count();
  without.SetActive(true);
  doubled.SetActive(true);
  EXPECT_EQ(TDbeConnectionList::Instance().Count(), connections);
  EXPECT_EQ(with.TablePath(), dir_.path() + "/config.dbf");
  EXPECT_EQ(without.TablePath(), with.TablePath());
  EXPECT_EQ(doubled.TablePath(), with.TablePath());
  EXPECT_EQ(ResolveDatabaseFolder("/"), "/");
  // Two datasets on one table are two users: the second cannot edit while the first does.
  with.EditRecord();
  EXPECT_NE(Thrown<EDbeDatabaseError>([&] { without.EditRecord(); }).find("is locked"),
            std::string::npos);
  with.SetActive(false);  // abandoning the edit releases the lock
  AuditWrite(without, "10.9.9.9", 0.5);
  EXPECT_EQ(without.FieldText("ipaddress"), "10.9.9.9");
}

TEST_F(AuditTableTest, OpenRefusalsAndEngineErrors) {
  TestDbf corrupt = AuditTable({});
  std::string bytes = BuildDbf(corrupt);
  bytes[4] = 5;  // five records counted, none there
  testing::WriteFile(dir_.File("corrupt.dbf"), bytes);
  struct Case {
    std::string database, table, message;
    uint32_t code;
  } cases[] = {
      {dir_.path(), "", "DbeTable1: Missing TableName property", 0},
      {"", "config.dbf",
       "DbeTable1: One of the DatabaseName property or the DbeConnection property must have a "
       "value.",
       0},
      {dir_.path(), "nosuch.dbf", "DbeTable1: Table file not found: " + dir_.File("nosuch.dbf"),
       dbe::kDbeErrFileNotFound},
      {dir_.File("nofolder") + "/", "config.dbf",
       "DbeTable1: Folder not found: " + dir_.File("nofolder"), dbe::kDbeErrFileNotFound},
      {dir_.path(), "corrupt.dbf",
       "DbeTable1: Corrupt table header (record count 5 with record length 85 is beyond the "
       "file size 98): " +
           dir_.File("corrupt.dbf"),
       dbe::kDbeErrCorruptHeader},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.message);
    TDbeTable table;
    table.SetDatabaseName(c.database);
    table.SetTableName(c.table);
    try {
      table.SetActive(true);
      FAIL() << "opened";
    } catch (const EDbeDatabaseError& e) {
      EXPECT_EQ(std::string(e.what()), c.message);
      EXPECT_EQ(e.ErrorCode(), c.code);
    }
    EXPECT_FALSE(table.Active());
  }
}

// Only a field that is not found (and a read-only table, below) is the runtime's own
// database error; every other refusal is an EDbeDatabaseError.
TEST_F(AuditTableTest, DatasetRefusals) {
  Make(AuditTable({{false, {"old", "0.1"}}}));
  TDbeTable table;
  EXPECT_EQ(Raised([&] { table.EditRecord(); }),
            "EDbeDatabaseError: DbeTable1: Cannot perform this operation on a closed dataset");
  Open(table);
  EXPECT_EQ(Raised([&] { table.SetTableName("other.dbf"); }),
            "EDbeDatabaseError: DbeTable1: Cannot perform this operation on an open dataset");
  EXPECT_EQ(Raised([&] { table.SetDatabaseName("/tmp"); }),
            "EDbeDatabaseError: DbeTable1: Cannot perform this operation on an open dataset");
  EXPECT_EQ(Raised([&] { table.SetFieldText("ipaddress", "x"); }),
            "EDbeDatabaseError: DbeTable1: Dataset not in edit mode");
  table.EditRecord();
  EXPECT_EQ(Raised([&] { table.SetFieldText("nosuch", "x"); }),
            "EDatabaseError: DbeTable1: Field 'nosuch' not found");
  EXPECT_EQ(Raised([&] { table.SetFieldFloat("time", 0); }), "no exception");
  EXPECT_EQ(Raised([&] { table.SetFieldText("time", "abc"); }),
            "EDbeDatabaseError: DbeTable1: 'abc' is not a valid floating point value");
  // Names match without regard to case; the text form of a number is accepted too.
  table.SetFieldText("IPADDRESS", "10.3.3.3");
  table.SetFieldText("Time", "0.125");
  table.PostRecord();
  EXPECT_EQ(table.FieldText("ipaddress"), "10.3.3.3");
  EXPECT_EQ(table.FieldText("TIME"), "0.1250000000");
}

TEST_F(AuditTableTest, ReadOnlyTableCannotBeModified) {
  TestDbf indexed = AuditTable({{false, {"old", "0.1"}}});
  indexed.table_flags = 0x01;  // a structural index this engine cannot keep up to date
  const std::string path = Make(indexed);
  const std::string before = testing::ReadFile(path);
  TDbeTable table;
  Open(table);
  EXPECT_EQ(Thrown<EDatabaseError>([&] { AuditWrite(table, "10.0.0.1", 0.5); }),
            "DbeTable1: Cannot modify a read-only dataset");
  EXPECT_EQ(testing::ReadFile(path), before);
}

TEST_F(AuditTableTest, TableWithoutWritePermissionIsRefused) {
  const std::string path = Make(AuditTable({{false, {"old", "0.1"}}}));
  const std::string before = testing::ReadFile(path);
  ASSERT_EQ(::chmod(path.c_str(), 0444), 0);
  // Another process starts the audit write; root, who may write any file, runs it as an
  // unprivileged user.
  std::vector<std::string> command = {testing::TableChildPath(), "edit", path};
  if (::geteuid() == 0) {
    ASSERT_EQ(::chmod(dir_.path().c_str(), 0755), 0);
    command.insert(command.begin(),
                   {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"});
  }
  testing::ChildProcess child(command);
  EXPECT_EQ(child.Wait(std::chrono::seconds(30)), 1);
  EXPECT_EQ(child.Output(), "DbeTable1: Update permission not granted on this table. code 5054\n");
  EXPECT_EQ(testing::ReadFile(path), before);
}

TEST_F(AuditTableTest, DoubleTimeFieldsKeepEveryBit) {
  for (uint8_t version : {0x30, 0x31}) {  // B is a double in Visual FoxPro tables
    SCOPED_TRACE(static_cast<int>(version));
    TestDbf t;
    t.version = version;
    t.fields = {{"IPADDRESS", 'C', 15, 0}, {"other", 'N', 4, 0}, {"TIME", 'B', 8, 0}};
    t.records = {{false, {"old", "42", testing::DoubleBytes(0.1)}}};
    const std::string path = Make(t);
    TDbeTable table;
    Open(table);
    EXPECT_EQ(table.Fields()[1].data_type, TFieldType::ftSmallint);
    EXPECT_EQ(table.Fields()[2].data_type, TFieldType::ftFloat);
    const double start = EncodeTime(13, 14, 15, 167);
    AuditWrite(table, "10.100.200.250", start);
    const std::string bytes = testing::ReadFile(path);
    const size_t rec = testing::DbfHeaderLength(t);
    EXPECT_EQ(bytes.substr(rec + 1 + 15 + 4, 8), testing::DoubleBytes(start));
    EXPECT_EQ(bytes.substr(rec + 1 + 15, 4), "  42");  // untouched field
    char expected[64];
    std::snprintf(expected, sizeof expected, "'10.100.200.250'|42|%.17g\n", start);
    std::string out = ReadWithDbfread(dir_, path);
    // dbfread prints the double with Python's shortest repr; compare as numbers.
    const size_t bar = out.rfind('|');
    EXPECT_EQ(out.substr(0, bar), "'10.100.200.250'|42");
    EXPECT_EQ(std::stod(out.substr(bar + 1)), start) << out << expected;
  }
}

TEST_F(AuditTableTest, FieldTypesMapToDatasetTypes) {
  TestDbf t;
  t.fields = {{"c", 'C', 10, 0}, {"n4", 'N', 4, 0}, {"n5", 'N', 5, 0}, {"n31", 'N', 3, 1},
              {"f", 'F', 10, 3}, {"b", 'B', 8, 0},  {"l", 'L', 1, 0},  {"d", 'D', 8, 0},
              {"i", 'I', 4, 0},  {"m", 'M', 10, 0}, {"t", 'T', 8, 0}};
  Make(t);
  TDbeTable table;
  Open(table);
  const TFieldType expected[] = {
      TFieldType::ftString,  TFieldType::ftSmallint, TFieldType::ftFloat,   TFieldType::ftFloat,
      TFieldType::ftFloat,   TFieldType::ftFloat,    TFieldType::ftBoolean, TFieldType::ftDate,
      TFieldType::ftInteger, TFieldType::ftMemo,     TFieldType::ftDateTime};
  ASSERT_EQ(table.Fields().size(), std::size(expected));
  for (size_t i = 0; i < std::size(expected); ++i) {
    EXPECT_EQ(table.Fields()[i].data_type, expected[i]) << table.Fields()[i].name;
    EXPECT_EQ(table.Fields()[i].number, i + 1);
  }
  // A new record on the empty table: every kind of settable field.
  table.EditRecord();
  EXPECT_EQ(table.State(), TDataSetState::dsInsert);
  table.SetFieldText("c", "text");
  table.SetFieldFloat("n4", 9999);
  EXPECT_NE(Thrown<EDbeDatabaseError>([&] {
              table.SetFieldFloat("n4", 10000);
            }).find("Numeric out of range."),
            std::string::npos);
  table.SetFieldFloat("i", -12);
  table.SetFieldText("l", "t");
  table.SetFieldText("d", "20261210");
  table.PostRecord();
  EXPECT_EQ(table.FieldText("n4"), "9999");
  EXPECT_EQ(table.FieldText("i"), "-12");
  EXPECT_EQ(table.FieldText("l"), "T");
  EXPECT_EQ(table.FieldText("d"), "20261210");
  EXPECT_EQ(table.FieldText("m"), "");  // memo left blank
}

TEST_F(AuditTableTest, ShapelibTableIsWrittenAndReadBackExactly) {
  const std::string path = dir_.File("config.dbf");
  ASSERT_EQ(testing::RunCommand("dbfcreate " + path + " -s ipaddress 64 -n time 20 10"), 0);
  ASSERT_EQ(testing::RunCommand("dbfadd " + path + " 10.0.0.1 0.125"), 0);
  ASSERT_EQ(testing::RunCommand("dbfadd " + path + " 10.0.0.2 0.75"), 0);
  TDbeTable table;
  Open(table);
  AuditWrite(table, "172.31.255.254", EncodeTime(17, 30, 0, 0));
  EXPECT_EQ(ReadWithDbfread(dir_, path), "'172.31.255.254'|0.7291666667\n'10.0.0.2'|0.75\n");
  std::string dump;
  ASSERT_EQ(testing::RunCommand("dbfdump " + path, &dump), 0);
  EXPECT_NE(dump.find("172.31.255.254"), std::string::npos) << dump;
  EXPECT_NE(dump.find("0.7291666667"), std::string::npos) << dump;
  EXPECT_NE(dump.find("10.0.0.2"), std::string::npos) << dump;
  EXPECT_EQ(dump.find("10.0.0.1 "), std::string::npos) << dump;
}

TEST(TDbeSettingsTest, OnePerProgramAndTheStoredValues) {
  {
    TDbeSettings settings;
    EXPECT_EQ(Raised([] { TDbeSettings second; }),
              "EDbeDatabaseError: Only one DbeSettings component is allowed per application");
    // Start-up values: the server types before the window's values are applied.
    EXPECT_EQ(settings.DbeServerTypes(), 6);
    settings.ApplyStoredValues();
    EXPECT_EQ(settings.DateFormat(), "MM/dd/yyyy");
    EXPECT_EQ(ProgramShortDateFormat(), "MM/dd/yyyy");
    EXPECT_EQ(settings.NumDecimals(), 2);
    EXPECT_FALSE(settings.ShowDeleted());
    EXPECT_EQ(settings.DbeServerTypes(), 1);
    EXPECT_EQ(settings.NumCachedCursors(), 25);
    uint16_t deleted = 1;
    ASSERT_EQ(dbe::DbeGetDeleted(&deleted), dbe::kDbeSuccess);
    EXPECT_EQ(deleted, 0);
    char format[32];
    uint16_t length = sizeof format;
    ASSERT_EQ(dbe::DbeGetDateFormat(format, &length), dbe::kDbeSuccess);
    EXPECT_EQ(std::string(format, length), "MM/dd/yyyy");
    EXPECT_EQ(Raised([&] { settings.SetDbeServerTypes(0); }),
              "EDbeDatabaseError: At least one server type must be selected.");
    EXPECT_NE(Thrown<EDbeDatabaseError>([&] {
                settings.SetDateFormat("yyyy");
              }).find("Invalid date format: yyyy"),
              std::string::npos);
    EXPECT_EQ(settings.DateFormat(), "MM/dd/yyyy");
  }
  TDbeSettings again;  // the first one is gone
  EXPECT_EQ(SystemShortDateFormat().empty(), false);
}

TEST(EDbeDatabaseErrorTest, NativeErrorAndColumnName) {
  struct Case {
    uint32_t code;
    std::string text;
    int native;
    std::string column;
  } cases[] = {
      {5006, "Record 1 is locked", 0, ""},
      {7200, "ERROR 7200: AQE Error: State = S0000; NATIVEERROR = 2121; Column not found", 2121,
       ""},
      {7200, "ERROR 7200: NATIVEERROR = 2121 no semicolon", 0, ""},
      {7200, "NATIVEERROR = 99; without the error number", 0, ""},
      {7200, "ERROR 7200: NATIVEERROR = 99999999999; too big", 0, ""},
      {5147, "Invalid value for column \"ipaddress\" here", 0, "ipaddress"},
      {5149, "column without quotes", 0, ""},
      {5148, "column \"unterminated", 0, ""},
      {5150, "column \"time\" outside the codes", 0, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    EDbeDatabaseError e(c.code, c.text, {"DbeTable1", "Form1", "/srv/apps/", "/srv/apps", "t"});
    EXPECT_EQ(std::string(e.what()), "DbeTable1: " + c.text);
    EXPECT_EQ(e.ErrorCode(), c.code);
    EXPECT_EQ(e.NativeError(), c.native);
    EXPECT_EQ(e.ColumnName(), c.column);
  }
}

}  // namespace
}  // namespace tallyvox::audit
