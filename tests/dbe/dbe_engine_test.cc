// The table engine: bad files, versions and field types, positioning and
// visibility, its settings and its last error.
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
