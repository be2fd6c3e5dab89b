// The table engine writing: records, empty and text fields, appends (also
// from two processes and beyond the size limit), failed writes and read-only
// tables.
#include "dbe/dbe_engine.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <ctime>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "dbe/dbe_engine_fixture.h"
#include "dbe/dbf_format.h"
#include "support/dbf_builder.h"
#include "support/fault_env.h"
#include "support/lock_holder.h"
#include "support/support.h"

namespace tallyvox::dbe {
namespace {

using namespace enginetest;  // NOLINT: the fixture and its helpers

// ---- Writing ---------------------------------------------------------------------------

std::string TodayHeaderDate() {
  std::time_t now = std::time(nullptr);
  std::tm tm;
  localtime_r(&now, &tm);
  return std::string{static_cast<char>(tm.tm_year), static_cast<char>(tm.tm_mon + 1),
                     static_cast<char>(tm.tm_mday)};
}

TEST_F(DbeEngineTest, WriteRecordChangesOnlyThatRecordAndTheDate) {
  const std::string path =
      Write("t.dbf",
            BuildDbf(AuditTable({{false, {"a", "1"}}, {false, {"b", "2"}}, {false, {"c", "3"}}})));
  const std::string before = testing::ReadFile(path);
  const DbeHandle t = OpenOk(path);
  ASSERT_EQ(DbeGotoRecord(t, 2), kDbeSuccess);
  const std::string address = "192.168.10.20";
  ASSERT_EQ(DbeSetField(t, 1, reinterpret_cast<const uint8_t*>(address.data()),
                        static_cast<uint32_t>(address.size())),
            kDbeSuccess);
  const std::string time = "        0.2500000000";
  ASSERT_EQ(DbeSetFieldRaw(t, 2, reinterpret_cast<const uint8_t*>(time.data()), 20), kDbeSuccess);
  EXPECT_EQ(DbeSetFieldRaw(t, 2, reinterpret_cast<const uint8_t*>(time.data()), 19),
            kDbeErrFieldValue);
  ASSERT_EQ(DbeWriteRecord(t), kDbeSuccess) << LastErrorText();
  const std::string after = testing::ReadFile(path);
  ASSERT_EQ(after.size(), before.size());
  std::string expected = before;
  expected.replace(1, 3, TodayHeaderDate());
  const size_t rec2 = 97 + 85;
  expected.replace(rec2 + 1, 64, address + std::string(64 - address.size(), ' '));
  expected.replace(rec2 + 65, 20, time);
  EXPECT_EQ(after, expected);
  DbeCloseTable(t);
}

// While an open holds a record's lock nobody else writes the record, so the engine goes
// back to it without reading it again; once the bytes changed or the lock went, it reads.
// Records beyond the count it knows may have been appended by another user meanwhile.
TEST_F(DbeEngineTest, ALockedRecordIsReadAgainOnlyWhenItMayHaveChanged) {
  const std::string path = Write("t.dbf", BuildDbf(AuditTable({{false, {"a", "1"}}})));
  const DbeHandle t = OpenOk(path);
  const DbeHandle other = OpenOk(path);
  auto set = [](DbeHandle table, const std::string& text) {
    return DbeSetField(table, 1, reinterpret_cast<const uint8_t*>(text.data()),
                       static_cast<uint32_t>(text.size()));
  };
  auto address = [&](DbeHandle table) { return Record(table).substr(1, 1); };
  ASSERT_EQ(DbeLockRecord(t, 1), kDbeSuccess);
  ASSERT_EQ(DbeGotoRecord(t, 1), kDbeSuccess);
  env_.ResetCalls();
  ASSERT_EQ(DbeGotoRecord(t, 1), kDbeSuccess);
  EXPECT_EQ(env_.CallsSoFar().reads, 0);
  EXPECT_EQ(env_.CallsSoFar().stats, 0);
  // A change not written is dropped by going to the record again.
  ASSERT_EQ(set(t, "x"), kDbeSuccess);
  ASSERT_EQ(DbeGotoRecord(t, 1), kDbeSuccess);
  EXPECT_EQ(address(t), "a");
  // What this open wrote under the lock is what is stored.
  ASSERT_EQ(set(t, "b"), kDbeSuccess);
  ASSERT_EQ(DbeWriteRecord(t), kDbeSuccess);
  env_.ResetCalls();
  ASSERT_EQ(DbeGotoRecord(t, 1), kDbeSuccess);
  EXPECT_EQ(address(t), "b");
  EXPECT_EQ(env_.CallsSoFar().reads, 0);
  ASSERT_EQ(DbeUnlockRecord(t, 1), kDbeSuccess);
  // Another user writes the record once the lock is gone, then appends a record.
  ASSERT_EQ(DbeGotoRecord(other, 1), kDbeSuccess);
  ASSERT_EQ(set(other, "c"), kDbeSuccess);
  ASSERT_EQ(DbeWriteRecord(other), kDbeSuccess);
  ASSERT_EQ(DbeAppendRecord(other), kDbeSuccess);
  ASSERT_EQ(set(other, "d"), kDbeSuccess);
  ASSERT_EQ(DbeWriteRecord(other), kDbeSuccess);
  ASSERT_EQ(DbeLockRecord(t, 1), kDbeSuccess);
  ASSERT_EQ(DbeGotoRecord(t, 1), kDbeSuccess);
  EXPECT_EQ(address(t), "c");
  ASSERT_EQ(DbeLockRecord(t, 2), kDbeSuccess) << LastErrorText();
  ASSERT_EQ(DbeGotoRecord(t, 2), kDbeSuccess) << LastErrorText();
  EXPECT_EQ(address(t), "d");
  DbeCloseTable(t);
  DbeCloseTable(other);
}

TEST_F(DbeEngineTest, SetEmptyAndTextFieldsFollowTheFieldType) {
  TestDbf d;
  d.fields = {
      {"c", 'C', 5, 0}, {"n", 'N', 6, 2}, {"l", 'L', 1, 0}, {"d", 'D', 8, 0}, {"i", 'I', 4, 0}};
  d.records = {{false, {"abcde", "1.50", "T", "20200101", testing::Int32Bytes(5)}}};
  const std::string path = Write("t.dbf", BuildDbf(d));
  const DbeHandle t = OpenOk(path);
  ASSERT_EQ(DbeGotoTop(t), kDbeSuccess);
  auto set = [&](uint32_t field, const std::string& text) {
    return DbeSetField(t, field, reinterpret_cast<const uint8_t*>(text.data()),
                       static_cast<uint32_t>(text.size()));
  };
  EXPECT_EQ(set(1, "longer than five"), kDbeSuccess);
  EXPECT_EQ(set(2, "-2.5"), kDbeSuccess);
  EXPECT_EQ(set(2, "abc"), kDbeErrFieldValue);
  EXPECT_EQ(set(2, "1234567"), kDbeErrFieldValue);
  EXPECT_EQ(set(3, "F"), kDbeSuccess);
  EXPECT_EQ(set(3, "X"), kDbeErrFieldValue);
  EXPECT_EQ(set(4, "2021-01-01"), kDbeErrFieldValue);
  EXPECT_EQ(set(5, "1"), kDbeErrFieldValue);  // binary fields take raw bytes
  EXPECT_EQ(Record(t).substr(1, 12), "longe  -2.5F");
  ASSERT_EQ(DbeSetEmpty(t, 1), kDbeSuccess);
  ASSERT_EQ(DbeSetEmpty(t, 5), kDbeSuccess);
  const std::string rec = Record(t);
  EXPECT_EQ(rec.substr(1, 5), "     ");
  EXPECT_EQ(rec.substr(21, 4), std::string(4, '\0'));
  EXPECT_EQ(DbeSetEmpty(t, 9), kDbeErrInvalidField);
  DbeCloseTable(t);
}

TEST_F(DbeEngineTest, AppendKeepsTheEndMarkerAndCountsTheRecord) {
  for (bool marker : {true, false}) {
    SCOPED_TRACE(marker);
    TestDbf d = AuditTable({{false, {"a", "1"}}});
    d.end_marker = marker;
    const std::string path = Write("t.dbf", BuildDbf(d));
    const DbeHandle t = OpenOk(path);
    ASSERT_EQ(DbeAppendRecord(t), kDbeSuccess) << LastErrorText();
    EXPECT_EQ(Current(t), 2u);
    const std::string addr = "10.9.8.7";
    ASSERT_EQ(DbeSetField(t, 1, reinterpret_cast<const uint8_t*>(addr.data()), 8), kDbeSuccess);
    ASSERT_EQ(DbeWriteRecord(t), kDbeSuccess);
    const std::string bytes = testing::ReadFile(path);
    ASSERT_EQ(bytes.size(), 97u + 2 * 85 + 1);
    EXPECT_EQ(bytes.back(), '\x1A');
    EXPECT_EQ(bytes[4], 2);
    EXPECT_EQ(bytes.substr(1, 3), TodayHeaderDate());
    EXPECT_EQ(bytes.substr(97 + 85, 9), " 10.9.8.7");
    DbeCloseTable(t);
  }
}

TEST_F(DbeEngineTest, FailedWritesReportTheFileAndLoseNothing) {
  const std::string path = Write("t.dbf", BuildDbf(AuditTable({{false, {"a", "1"}}})));
  const std::string before = testing::ReadFile(path);
  const DbeHandle t = OpenOk(path);
  ASSERT_EQ(DbeGotoTop(t), kDbeSuccess);
  ASSERT_EQ(DbeSetEmpty(t, 1), kDbeSuccess);
  env_.FailWrites(ENOSPC, 1);
  EXPECT_EQ(DbeWriteRecord(t), kDbeErrWriteFailed);
  uint32_t code = 0;
  const std::string text = LastErrorText(&code);
  EXPECT_EQ(code, kDbeErrWriteFailed);
  EXPECT_NE(text.find(path), std::string::npos);
  EXPECT_NE(text.find(std::strerror(ENOSPC)), std::string::npos);
  EXPECT_EQ(testing::ReadFile(path), before);
  // Appending: a failed header update leaves the record uncounted and the file readable.
  env_.FailWrites(EIO, 1, 1);
  EXPECT_EQ(DbeAppendRecord(t), kDbeErrWriteFailed);
  const std::string bytes = testing::ReadFile(path);
  const DbfParseResult parsed = ParseDbfHeader(bytes, bytes.size());
  EXPECT_EQ(parsed.fault, DbfHeaderFault::kNone);
  EXPECT_EQ(parsed.header.record_count, 1u);
  // The next write succeeds.
  ASSERT_EQ(DbeGotoTop(t), kDbeSuccess);
  ASSERT_EQ(DbeWriteRecord(t), kDbeSuccess);
  DbeCloseTable(t);
}

TEST_F(DbeEngineTest, AppendBeyondTheFileSizeLimitFailsCleanly) {
  // A real write failure: another process that may not make the file grow (RLIMIT_FSIZE).
  const std::string path = Write("t.dbf", BuildDbf(AuditTable({{false, {"a", "1"}}})));
  const std::string before = testing::ReadFile(path);
  testing::ChildProcess child(
      {testing::TableChildPath(), "append", path, "1", "x", "--at-size-limit"});
  EXPECT_EQ(child.Wait(std::chrono::seconds(30)), 1);
  EXPECT_EQ(child.Output(), "Cannot write a new record (" + std::string(std::strerror(EFBIG)) +
                                "): " + path + " code " + std::to_string(kDbeErrWriteFailed) +
                                "\n");
  const std::string after = testing::ReadFile(path);
  const DbfParseResult parsed = ParseDbfHeader(after, after.size());
  EXPECT_EQ(parsed.fault, DbfHeaderFault::kNone);
  EXPECT_EQ(parsed.header.record_count, 1u);
  EXPECT_EQ(after.substr(0, before.size()), before);
}

// Another program appends while the table is being opened, between the opener's look at
// the file's size and its reading of the header: the record and the end marker first,
// then the count, as every append does. The open sees a whole table.
TEST_F(DbeEngineTest, OpenDuringAnotherProgramsAppendSeesAWholeTable) {
  const std::string path = Write("t.dbf", BuildDbf(AuditTable({{false, {"a", "1"}}})));
  env_.AfterNextStat([&] {
    const int fd = ::open(path.c_str(), O_WRONLY);
    std::string record(85, ' ');
    record[1] = 'b';
    record += '\x1a';
    const uint8_t count[4] = {2, 0, 0, 0};
    EXPECT_EQ(::pwrite(fd, record.data(), record.size(), 97 + 85), 86);
    EXPECT_EQ(::pwrite(fd, count, sizeof count, 4), 4);
    ::close(fd);
  });
  const DbeHandle t = OpenOk(path);
  uint32_t count = 0;
  ASSERT_EQ(DbeGetRecordCount(t, &count), kDbeSuccess);
  EXPECT_EQ(count, 2u);
  ASSERT_EQ(DbeGotoRecord(t, 2), kDbeSuccess) << LastErrorText();
  EXPECT_EQ(Record(t).substr(0, 2), " b");
  DbeCloseTable(t);
}

TEST_F(DbeEngineTest, ConcurrentAppendsFromTwoProcessesLoseNothing) {
  const std::string path = Write("t.dbf", BuildDbf(AuditTable({})));
  constexpr int kPerProcess = 100;
  std::vector<std::unique_ptr<testing::ChildProcess>> children;
  for (int p = 0; p < 2; ++p) {
    children.push_back(std::make_unique<testing::ChildProcess>(
        std::vector<std::string>{testing::TableChildPath(), "append", path,
                                 std::to_string(kPerProcess), std::to_string(p)}));
  }
  for (const auto& child : children) {
    EXPECT_EQ(child->Wait(std::chrono::seconds(60)), 0) << child->Output();
  }
  const DbeHandle t = OpenOk(path);
  std::set<std::string> seen;
  ASSERT_EQ(DbeGotoTop(t), kDbeSuccess);
  for (uint16_t eof = 0; DbeAtEOF(t, &eof) == kDbeSuccess && !eof; DbeSkip(t, 1)) {
    std::string v = Record(t).substr(1, 64);
    seen.insert(v.substr(0, v.find(' ')));
  }
  EXPECT_EQ(seen.size(), 2u * kPerProcess);
  uint32_t count = 0;
  ASSERT_EQ(DbeGetRecordCount(t, &count), kDbeSuccess);
  EXPECT_EQ(count, 2u * kPerProcess);
  DbeCloseTable(t);
}

// Another program holds the append lock (the byte at kDbeLockBase): an append waits for
// it instead of writing, and every other call of the engine goes on meanwhile.
TEST_F(DbeEngineTest, AppendWaitsForAHeldAppendLockWithoutStoppingTheEngine) {
  const std::string path = Write("t.dbf", BuildDbf(AuditTable({{false, {"a", "1"}}})));
  const DbeHandle t = OpenOk(path);
  const DbeHandle other = OpenOk(path);
  const int fd = ::open(path.c_str(), O_RDWR);
  ASSERT_GE(fd, 0);
  struct flock fl = OneByte(kDbeLockBase, F_WRLCK);
  ASSERT_EQ(::fcntl(fd, F_OFD_SETLK, &fl), 0);

  DbeResult appended = kDbeErrInvalidArgument;
  std::thread appender([&] { appended = DbeAppendRecord(t); });
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (env_.RefusedLocks(kDbeLockBase) == 0 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  EXPECT_GT(env_.RefusedLocks(kDbeLockBase), 0) << "the append did not wait for the lock";
  uint32_t count = 0;
  EXPECT_EQ(DbeGetRecordCount(other, &count), kDbeSuccess);  // not held up by the waiting append
  EXPECT_EQ(count, 1u);
  EXPECT_EQ(testing::ReadFile(path).size(), 97u + 85 + 1);

  fl.l_type = F_UNLCK;
  ASSERT_EQ(::fcntl(fd, F_OFD_SETLK, &fl), 0);
  ::close(fd);
  appender.join();
  EXPECT_EQ(appended, kDbeSuccess) << LastErrorText();  // still waiting when the lock came free
  ASSERT_EQ(DbeWriteRecord(t), kDbeSuccess);
  ASSERT_EQ(DbeGetRecordCount(other, &count), kDbeSuccess);
  EXPECT_EQ(count, 2u);
  DbeCloseTable(t);
  DbeCloseTable(other);
}

TEST_F(DbeEngineTest, ReadOnlyTablesRefuseChanges) {
  TestDbf d = AuditTable({{false, {"a", "1"}}});
  const std::string plain = Write("plain.dbf", BuildDbf(d));
  d.table_flags = 0x01;  // structural index we could not keep up to date
  const std::string indexed = Write("indexed.dbf", BuildDbf(d));
  DbeHandle by_option = 0;
  ASSERT_EQ(Open(plain, &by_option, kDbeOptionReadOnly), kDbeSuccess);
  const DbeHandle by_index = OpenOk(indexed);
  for (DbeHandle t : {by_option, by_index}) {
    uint32_t options = 0;
    ASSERT_EQ(DbeGetTableOpenOptions(t, &options), kDbeSuccess);
    EXPECT_EQ(options & kDbeOptionReadOnly, kDbeOptionReadOnly);
    EXPECT_EQ(options & kDbeOptionUpdateRight, 0u);
    ASSERT_EQ(DbeGotoTop(t), kDbeSuccess);
    EXPECT_EQ(DbeSetEmpty(t, 1), kDbeErrTableReadOnly);
    EXPECT_EQ(DbeLockRecord(t, 1), kDbeErrTableReadOnly);
    EXPECT_EQ(DbeAppendRecord(t), kDbeErrTableReadOnly);
    EXPECT_EQ(DbeWriteRecord(t), kDbeErrTableReadOnly);
    DbeCloseTable(t);
  }
}

}  // namespace
}  // namespace tallyvox::dbe
