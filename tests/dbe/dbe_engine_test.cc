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

#include "dbe/dbf_format.h"
#include "support/dbf_builder.h"
#include "support/fault_env.h"
#include "support/lock_holder.h"
#include "support/support.h"

namespace tallyvox::dbe {
namespace {

using testing::BuildDbf;
using testing::TestDbf;
using testing::TestDbfField;
using testing::TestDbfRecord;

std::string LastErrorText(uint32_t* code = nullptr) {
  uint32_t c = 0;
  char text[kDbeMaxErrorLength];
  uint16_t length = sizeof text;
  EXPECT_EQ(DbeGetLastError(&c, text, &length), kDbeSuccess);
  if (code) *code = c;
  return std::string(text, length);
}

// An fcntl request for the one byte at `offset`, as the engine's locks use it.
struct flock OneByte(int64_t offset, short type) {
  struct flock fl {};
  fl.l_type = type;
  fl.l_whence = SEEK_SET;
  fl.l_start = offset;
  fl.l_len = 1;
  return fl;
}

TestDbf AuditTable(std::vector<TestDbfRecord> records) {
  TestDbf t;
  t.fields = {{"ipaddress", 'C', 64, 0}, {"time", 'N', 20, 10}};
  t.records = std::move(records);
  return t;
}

class DbeEngineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(DbeShowDeleted(0), kDbeSuccess);
    ASSERT_EQ(DbeConnect(dir_.path().c_str(), &connection_), kDbeSuccess);
  }
  void TearDown() override {
    DbeDisconnect(connection_);
    DbeShowDeleted(0);
  }
  std::string Write(const std::string& name, const std::string& bytes) {
    const std::string path = dir_.File(name);
    testing::WriteFile(path, bytes);
    return path;
  }
  DbeResult Open(const std::string& path, DbeHandle* table, uint32_t options = 0) {
    return DbeOpenTable(connection_, path.c_str(), nullptr, kDbeTableCdx, 1, 1, 1, options, table);
  }
  DbeHandle OpenOk(const std::string& path) {
    DbeHandle t = 0;
    EXPECT_EQ(Open(path, &t), kDbeSuccess) << LastErrorText();
    return t;
  }
  std::string Record(DbeHandle t) {
    uint32_t length = 0;
    EXPECT_EQ(DbeGetRecordLength(t, &length), kDbeSuccess);
    std::string rec(length, '\0');
    EXPECT_EQ(DbeGetRecord(t, reinterpret_cast<uint8_t*>(rec.data()), &length), kDbeSuccess)
        << LastErrorText();
    return rec;
  }
  uint32_t Current(DbeHandle t) {
    uint32_t r = 0;
    EXPECT_EQ(DbeGetRecordNum(t, 2, &r), kDbeSuccess);
    return r;
  }

  testing::FaultEnv env_;
  testing::TempDir dir_;
  DbeHandle connection_ = 0;
};

// ---- Bad files -------------------------------------------------------------------------

std::string Patch(std::string bytes, size_t at, std::initializer_list<uint8_t> values) {
  for (uint8_t v : values) bytes[at++] = static_cast<char>(v);
  return bytes;
}

TEST_F(DbeEngineTest, BadFilesGiveAnErrorNamingTheFile) {
  const std::string good = BuildDbf(AuditTable({{false, {"10.0.0.1", "0.5"}}}));
  const size_t hlen = 32 + 64 + 1;  // 97
  struct Case {
    const char* name;
    std::string bytes;
    DbeResult code;
    const char* detail;
  } cases[] = {
      {"empty", "", kDbeErrCorruptHeader, "shorter than a table header"},
      {"truncated_header", good.substr(0, 20), kDbeErrCorruptHeader, "shorter"},
      {"header_cut_in_descriptors", good.substr(0, 70), kDbeErrCorruptHeader, "header length"},
      {"unknown_version", Patch(good, 0, {0x41}), kDbeErrNotATable, "version"},
      {"header_length_beyond_file", Patch(good, 8, {0x00, 0x10}), kDbeErrCorruptHeader,
       "beyond the file size"},
      {"header_length_too_small", Patch(good, 8, {40, 0}), kDbeErrCorruptHeader, "too small"},
      // The terminator replaced by another descriptor's first byte: the descriptors run on.
      {"descriptors_past_header", Patch(good, hlen - 1, {'x'}), kDbeErrCorruptHeader,
       "run past the header"},
      {"record_length_too_small", Patch(good, 10, {50, 0}), kDbeErrCorruptHeader, "record length"},
      {"record_count_beyond_file", Patch(good, 4, {9, 0, 0, 0}), kDbeErrCorruptHeader,
       "record count 9"},
      {"huge_record_count", Patch(good, 4, {0xFF, 0xFF, 0xFF, 0xFF}), kDbeErrCorruptHeader,
       "record count"},
      {"field_length_zero", Patch(good, 32 + 16, {0}), kDbeErrCorruptHeader, "length 0"},
      {"unknown_field_type", Patch(good, 32 + 11, {'X'}), kDbeErrCorruptHeader, "unknown type"},
      {"no_fields", Patch(good, 32, {0x0D}), kDbeErrCorruptHeader, "no fields"},
      {"unnamed_field", Patch(good, 32, {0}), kDbeErrCorruptHeader, "no name"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string path = Write(std::string(c.name) + ".dbf", c.bytes);
    DbeHandle t = 0;
    EXPECT_EQ(Open(path, &t), c.code);
    uint32_t code = 0;
    const std::string text = LastErrorText(&code);
    EXPECT_EQ(code, c.code);
    EXPECT_NE(text.find(path), std::string::npos) << text;
    EXPECT_NE(text.find(c.detail), std::string::npos) << text;
  }
}

TEST_F(DbeEngineTest, MissingFilesAndFoldersAreReported) {
  DbeHandle t = 0;
  const std::string missing = dir_.File("nosuch.dbf");
  EXPECT_EQ(Open(missing, &t), kDbeErrFileNotFound);
  EXPECT_EQ(LastErrorText(), "Table file not found: " + missing);
  EXPECT_EQ(Open(dir_.path(), &t), kDbeErrNotATable);  // a folder is no table
  EXPECT_NE(LastErrorText().find(dir_.path()), std::string::npos);

  DbeHandle c = 0;
  const std::string no_folder = dir_.File("nosuch");
  EXPECT_EQ(DbeConnect(no_folder.c_str(), &c), kDbeErrFileNotFound);
  EXPECT_EQ(LastErrorText(), "Folder not found: " + no_folder);
}

TEST_F(DbeEngineTest, RecordCountChecksFollowTheFile) {
  // A table that was fine when opened and lost its records later.
  const std::string path =
      Write("t.dbf", BuildDbf(AuditTable({{false, {"a", "1"}}, {false, {"b", "2"}}})));
  const DbeHandle t = OpenOk(path);
  ASSERT_EQ(::truncate(path.c_str(), 97 + 85), 0);
  EXPECT_EQ(DbeGotoTop(t), kDbeErrCorruptHeader);
  EXPECT_NE(LastErrorText().find("record count 2"), std::string::npos);
  EXPECT_EQ(DbeGotoRecord(t, 2), kDbeErrCorruptHeader);
  DbeCloseTable(t);
}

// ---- Versions and field types ----------------------------------------------------------

TEST_F(DbeEngineTest, ReadsEveryVersionAndFieldType) {
  for (uint8_t version : {0x03, 0x30, 0x31, 0xF5, 0x83, 0x8B}) {
    SCOPED_TRACE(static_cast<int>(version));
    TestDbf d;
    d.version = version;
    d.fields = {{"NAME", 'C', 10, 0},  {"Qty", 'N', 4, 0},    {"price", 'N', 9, 2},
                {"ratio", 'F', 12, 4}, {"ok", 'L', 1, 0},     {"born", 'D', 8, 0},
                {"count", 'I', 4, 0},  {"weight", 'B', 8, 0}, {"stamp", 'T', 8, 0},
                {"notes", 'M', 10, 0}};
    d.records = {{false,
                  {"abc", "12", "3.25", "-0.5000", "T", "20240229", testing::Int32Bytes(-7),
                   testing::DoubleBytes(0.1),
                   testing::Int32Bytes(2460370) + testing::Int32Bytes(3600000), "        17"}}};
    const std::string path = Write("v.dbf", BuildDbf(d));
    const DbeHandle t = OpenOk(path);
    uint16_t n = 0;
    ASSERT_EQ(DbeGetNumFields(t, &n), kDbeSuccess);
    ASSERT_EQ(n, 10);
    const uint16_t types[] = {kDbeTypeString,    kDbeTypeNumeric, kDbeTypeNumeric, kDbeTypeNumeric,
                              kDbeTypeLogical,   kDbeTypeDate,    kDbeTypeInteger, kDbeTypeDouble,
                              kDbeTypeTimestamp, kDbeTypeMemo};
    DbfParseResult parsed = ParseDbfHeader(testing::ReadFile(path), testing::ReadFile(path).size());
    ASSERT_EQ(parsed.fault, DbfHeaderFault::kNone);
    ASSERT_EQ(DbeGotoTop(t), kDbeSuccess);
    const std::string rec = Record(t);
    const char* expected[] = {
        "abc",      "12", "3.25", "-0.5000", "T", "20240229", "-7", "0.1", "2024-02-29 01:00:00",
        "<memo 17>"};
    uint32_t offset = 1;
    for (uint32_t i = 1; i <= n; ++i) {
      uint16_t type = 0, decimals = 0;
      uint32_t length = 0, field_offset = 0;
      char name[129];
      uint16_t name_length = sizeof name;
      ASSERT_EQ(DbeGetFieldType(t, i, &type), kDbeSuccess);
      EXPECT_EQ(type, types[i - 1]) << i;
      ASSERT_EQ(DbeGetFieldLength(t, i, &length), kDbeSuccess);
      ASSERT_EQ(DbeGetFieldDecimals(t, i, &decimals), kDbeSuccess);
      ASSERT_EQ(DbeGetFieldOffset(t, i, &field_offset), kDbeSuccess);
      ASSERT_EQ(DbeGetFieldName(t, i, name, &name_length), kDbeSuccess);
      EXPECT_EQ(std::string(name, name_length), d.fields[i - 1].name);
      EXPECT_EQ(length, static_cast<uint32_t>(d.fields[i - 1].length));
      EXPECT_EQ(decimals, d.fields[i - 1].decimals);
      EXPECT_EQ(field_offset, offset);
      const DbfField& f = parsed.header.fields[i - 1];
      EXPECT_EQ(FieldValueText(f, reinterpret_cast<const uint8_t*>(rec.data()) + field_offset),
                expected[i - 1]);
      offset += length;
    }
    uint16_t type = 0;
    EXPECT_EQ(DbeGetFieldType(t, 11, &type), kDbeErrInvalidField);
    EXPECT_EQ(DbeGetFieldType(t, 0, &type), kDbeErrInvalidField);
    DbeCloseTable(t);
  }
}

TEST_F(DbeEngineTest, LongCharacterFieldsUseTheDecimalsByte) {
  TestDbf d;
  d.fields = {{"text", 'C', 300, 0}, {"n", 'N', 3, 0}};
  d.records = {{false, {std::string(300, 'x'), "7"}}};
  const DbeHandle t = OpenOk(Write("long.dbf", BuildDbf(d)));
  uint32_t length = 0, offset = 0;
  ASSERT_EQ(DbeGetFieldLength(t, 1, &length), kDbeSuccess);
  ASSERT_EQ(DbeGetFieldOffset(t, 2, &offset), kDbeSuccess);
  EXPECT_EQ(length, 300u);
  EXPECT_EQ(offset, 301u);
  DbeCloseTable(t);
}

// ---- Positioning and visibility --------------------------------------------------------

TEST_F(DbeEngineTest, DeletedRecordsAreInvisibleWithShowDeletedOff) {
  const std::string path = Write("t.dbf", BuildDbf(AuditTable({{true, {"gone1", "1"}},
                                                               {false, {"a", "2"}},
                                                               {true, {"gone2", "3"}},
                                                               {false, {"b", "4"}},
                                                               {true, {"gone3", "5"}}})));
  const DbeHandle t = OpenOk(path);
  uint16_t eof = 0, bof = 0, visible = 0;
  ASSERT_EQ(DbeGotoTop(t), kDbeSuccess);
  EXPECT_EQ(Current(t), 2u);
  ASSERT_EQ(DbeSkip(t, -1), kDbeSuccess);
  ASSERT_EQ(DbeAtBOF(t, &bof), kDbeSuccess);
  EXPECT_EQ(bof, 1);
  EXPECT_EQ(DbeIsRecordVisible(t, &visible), kDbeErrNoCurrentRecord);
  ASSERT_EQ(DbeSkip(t, 1), kDbeSuccess);
  EXPECT_EQ(Current(t), 2u);
  ASSERT_EQ(DbeSkip(t, 1), kDbeSuccess);
  EXPECT_EQ(Current(t), 4u);
  ASSERT_EQ(DbeIsRecordVisible(t, &visible), kDbeSuccess);
  EXPECT_EQ(visible, 1);
  ASSERT_EQ(DbeSkip(t, 1), kDbeSuccess);
  ASSERT_EQ(DbeAtEOF(t, &eof), kDbeSuccess);
  EXPECT_EQ(eof, 1);
  EXPECT_EQ(Current(t), 0u);
  uint8_t buf[200];
  uint32_t length = sizeof buf;
  EXPECT_EQ(DbeGetRecord(t, buf, &length), kDbeErrNoCurrentRecord);
  // A deleted record can still be reached by number; it is not visible.
  ASSERT_EQ(DbeGotoRecord(t, 3), kDbeSuccess);
  ASSERT_EQ(DbeIsRecordVisible(t, &visible), kDbeSuccess);
  EXPECT_EQ(visible, 0);
  EXPECT_EQ(DbeGotoRecord(t, 6), kDbeErrRecordOutOfRange);
  EXPECT_EQ(DbeGotoRecord(t, 0), kDbeErrRecordOutOfRange);

  ASSERT_EQ(DbeShowDeleted(1), kDbeSuccess);
  ASSERT_EQ(DbeGotoTop(t), kDbeSuccess);
  EXPECT_EQ(Current(t), 1u);
  ASSERT_EQ(DbeSkip(t, 4), kDbeSuccess);
  EXPECT_EQ(Current(t), 5u);
  DbeCloseTable(t);
}

TEST_F(DbeEngineTest, AllDeletedOrEmptyTableIsAtEof) {
  for (auto records :
       {std::vector<TestDbfRecord>{}, std::vector<TestDbfRecord>{{true, {"x", "1"}}}}) {
    const DbeHandle t = OpenOk(Write("t.dbf", BuildDbf(AuditTable(records))));
    uint16_t eof = 0;
    ASSERT_EQ(DbeGotoTop(t), kDbeSuccess);
    ASSERT_EQ(DbeAtEOF(t, &eof), kDbeSuccess);
    EXPECT_EQ(eof, 1);
    DbeCloseTable(t);
  }
}

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

// ---- Locks -----------------------------------------------------------------------------

TEST_F(DbeEngineTest, RecordLocksExcludeOtherProcesses) {
  const std::string path =
      Write("t.dbf", BuildDbf(AuditTable({{false, {"a", "1"}}, {false, {"b", "2"}}})));
  const DbeHandle t = OpenOk(path);
  {
    testing::LockHolder holder(path, 1);
    ASSERT_TRUE(holder.ok());
    EXPECT_EQ(DbeLockRecord(t, 1), kDbeErrRecordLocked);
    uint32_t code = 0;
    EXPECT_EQ(LastErrorText(&code), "Record 1 is locked by another user: " + path);
    EXPECT_EQ(code, kDbeErrRecordLocked);
    // Writing the held record without a lock is refused as well; another record is free.
    ASSERT_EQ(DbeGotoRecord(t, 1), kDbeSuccess);
    EXPECT_EQ(DbeWriteRecord(t), kDbeErrRecordLocked);
    EXPECT_EQ(DbeLockRecord(t, 2), kDbeSuccess);
    EXPECT_EQ(DbeUnlockRecord(t, 2), kDbeSuccess);
    holder.Release();
    EXPECT_EQ(DbeLockRecord(t, 1), kDbeSuccess);
  }
  // Now this table holds record 1: another process cannot lock it.
  testing::LockHolder second(path, 1);
  EXPECT_FALSE(second.ok());
  second.Release();
  EXPECT_EQ(DbeUnlockRecord(t, 1), kDbeSuccess);
  EXPECT_EQ(DbeUnlockRecord(t, 1), kDbeErrNotLocked);
  EXPECT_EQ(DbeLockRecord(t, 3), kDbeErrRecordOutOfRange);
  DbeCloseTable(t);
}

TEST_F(DbeEngineTest, LocksFollowTheDocumentedByteConvention) {
  const std::string path = Write("t.dbf", BuildDbf(AuditTable({{false, {"a", "1"}}})));
  const DbeHandle t = OpenOk(path);
  ASSERT_EQ(DbeLockRecord(t, 1), kDbeSuccess);
  // Another program following the convention sees the lock on byte base + 1 only.
  const int fd = ::open(path.c_str(), O_RDWR);
  ASSERT_GE(fd, 0);
  for (int64_t offset : {kDbeLockBase, kDbeLockBase + 1, kDbeLockBase + 2}) {
    struct flock fl = OneByte(offset, F_WRLCK);
    ASSERT_EQ(::fcntl(fd, F_OFD_GETLK, &fl), 0);
    EXPECT_EQ(fl.l_type == F_UNLCK, offset != kDbeLockBase + 1) << offset;
  }
  ::close(fd);
  // Two opens in one process are two users as well.
  const DbeHandle other = OpenOk(path);
  EXPECT_EQ(DbeLockRecord(other, 1), kDbeErrRecordLocked);
  DbeCloseTable(t);  // closing releases the lock
  EXPECT_EQ(DbeLockRecord(other, 1), kDbeSuccess);
  DbeCloseTable(other);
}

// ---- Interoperability ------------------------------------------------------------------

TEST_F(DbeEngineTest, ReadsAndWritesAShapelibTable) {
  const std::string path = dir_.File("shp.dbf");
  ASSERT_EQ(testing::RunCommand("dbfcreate " + path + " -s ipaddress 64 -n time 20 10"), 0);
  ASSERT_EQ(testing::RunCommand("dbfadd " + path + " 10.0.0.1 0.125"), 0);
  ASSERT_EQ(testing::RunCommand("dbfadd " + path + " 10.0.0.2 0.75"), 0);
  const DbeHandle t = OpenOk(path);
  ASSERT_EQ(DbeGotoTop(t), kDbeSuccess);
  EXPECT_EQ(Record(t).substr(1, 8), "10.0.0.1");
  ASSERT_EQ(DbeSkip(t, 1), kDbeSuccess);
  EXPECT_EQ(Record(t).substr(1, 8), "10.0.0.2");
  const std::string v = "172.16.0.99";
  ASSERT_EQ(DbeSetField(t, 1, reinterpret_cast<const uint8_t*>(v.data()), 11), kDbeSuccess);
  ASSERT_EQ(DbeWriteRecord(t), kDbeSuccess);
  ASSERT_EQ(DbeAppendRecord(t), kDbeSuccess);
  ASSERT_EQ(DbeSetField(t, 2, reinterpret_cast<const uint8_t*>("0.5"), 3), kDbeSuccess);
  ASSERT_EQ(DbeWriteRecord(t), kDbeSuccess);
  DbeCloseTable(t);
  std::string out;
  ASSERT_EQ(testing::RunCommand("dbfdump " + path, &out), 0);
  EXPECT_NE(out.find("10.0.0.1"), std::string::npos) << out;
  EXPECT_NE(out.find("172.16.0.99"), std::string::npos) << out;
  EXPECT_EQ(out.find("10.0.0.2"), std::string::npos) << out;
  EXPECT_NE(out.find("0.5000000000"), std::string::npos) << out;
}

// ---- Settings and errors ---------------------------------------------------------------

TEST(DbeEngineSettingsTest, DateFormatsAndServerTypes) {
  for (const char* good : {"MM/dd/yyyy", "MM/dd/ccyy", "dd.MM.yy", "d-M-yyyy", "yyyy-MM-dd"}) {
    EXPECT_EQ(DbeSetDateFormat(good), kDbeSuccess) << good;
  }
  for (const char* bad : {"", "MM/dd", "MM/dd/yyy", "%m/%d/%y", "MM/MM/yyyy", "hh:mm"}) {
    EXPECT_EQ(DbeSetDateFormat(bad), kDbeErrDateFormat) << bad;
  }
  EXPECT_EQ(DbeSetDateFormat(nullptr), kDbeErrDateFormat);
  char buffer[32];
  uint16_t length = sizeof buffer;
  ASSERT_EQ(DbeSetDateFormat("MM/dd/ccyy"), kDbeSuccess);
  ASSERT_EQ(DbeGetDateFormat(buffer, &length), kDbeSuccess);
  EXPECT_EQ(std::string(buffer, length), "MM/dd/ccyy");

  testing::TempDir dir;
  DbeHandle c = 0;
  ASSERT_EQ(DbeSetServerType(kDbeServerRemote | kDbeServerInternet), kDbeSuccess);
  EXPECT_EQ(DbeConnect(dir.path().c_str(), &c), kDbeErrServerType);
  EXPECT_EQ(DbeSetServerType(0), kDbeErrInvalidArgument);
  ASSERT_EQ(DbeSetServerType(kDbeServerLocal), kDbeSuccess);
  ASSERT_EQ(DbeConnect(dir.path().c_str(), &c), kDbeSuccess);
  EXPECT_EQ(DbeDisconnect(c), kDbeSuccess);
  EXPECT_EQ(DbeDisconnect(c), kDbeErrInvalidHandle);
}

TEST(DbeEngineErrorTest, LastErrorIsPerThreadAndFitsTheBuffer) {
  ASSERT_EQ(DbeSetLastError(kDbeErrPermission, "Update permission not granted."), 0u);
  uint32_t code = 0;
  char small[8];
  uint16_t length = sizeof small;
  ASSERT_EQ(DbeGetLastError(&code, small, &length), kDbeSuccess);
  EXPECT_EQ(code, 5054u);
  EXPECT_EQ(std::string(small, length), "Update ");
  std::string other_thread;
  std::thread([&] {
    char text[64];
    uint16_t n = sizeof text;
    uint32_t c = 1;
    DbeGetLastError(&c, text, &n);
    other_thread = std::to_string(c) + ":" + std::string(text, n);
  }).join();
  EXPECT_EQ(other_thread, "0:");
  DbeHandle t = 0;
  EXPECT_EQ(DbeGotoTop(12345), kDbeErrInvalidHandle);
  EXPECT_EQ(DbeOpenTable(12345, "/x.dbf", nullptr, kDbeTableCdx, 1, 1, 1, 0, &t),
            kDbeErrInvalidHandle);
  EXPECT_EQ(DbeGetIndexPageSize(1, nullptr), kDbeErrInvalidHandle);
}

}  // namespace
}  // namespace tallyvox::dbe
