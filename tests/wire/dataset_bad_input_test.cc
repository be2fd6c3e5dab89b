// Malformed dataset blocks: every truncation and many corruptions of a real
// block raise an exception (ASan/UBSan builds prove nothing is read out of
// bounds), and lengths that announce more than the block holds fail at once.
#include <gtest/gtest.h>

#include <string>

#include "middleware/wire/dataset_decimal.h"
#include "middleware/wire/dataset_errors.h"
#include "middleware/wire/dataset_filer.h"
#include "middleware/wire/dataset_stream_format.h"
#include "wire/dataset_test_tables.h"

namespace tallyvox::mw {
namespace {

std::string RealBlock() {
  TCustomMemTable table;
  testing::FillAllTypes(table);
  table.IndexDefs().push_back({"ByS", "S", "By S", ixUnique});
  TMwBinaryStreamFormat format;
  format.DeltaFlags = sfSaveDeltas;
  format.KeepDeltaPairs = sfKeepDeltaPairs;
  return format.SaveToString(table);
}

TEST(DatasetBadInputTest, EveryTruncatedPrefixIsRejected) {
  const std::string block = RealBlock();
  ASSERT_GT(block.size(), 2000u);
  TMwBinaryStreamFormat format;
  for (size_t n = 0; n < block.size(); ++n) {
    const std::string prefix = block.substr(0, n);  // exactly n bytes on the heap
    TCustomMemTable table;
    try {
      format.LoadFromString(table, prefix);
      FAIL() << "prefix of " << n << " bytes accepted";
    } catch (const EReadError& e) {
      ASSERT_STREQ(e.what(), "Stream read error") << n;
    }
  }
  TCustomMemTable table;
  format.LoadFromString(table, block);
  EXPECT_EQ(table.RecordCount(), 4);
}

// One field of each value encoding, a few records with older versions.
std::string CompactBlock() {
  TCustomMemTable table;
  const TFieldType types[] = {ftInteger, ftBoolean,    ftDateTime,    ftCurrency, ftLargeInt,
                              ftMemo,    ftWideString, ftFMTBcdField, ftString};
  for (TFieldType type : types) {
    table.AddField(testing::MakeField("F" + std::to_string(static_cast<int>(type)), type));
  }
  const std::vector<TFieldValue> values = {TFieldValue::Integer(-300),
                                           TFieldValue::Boolean(true),
                                           TFieldValue::Float(45000.5),
                                           TFieldValue::Integer(123456),
                                           TFieldValue::Integer(1),
                                           TFieldValue::Text(std::string("m\0\1", 3)),
                                           TFieldValue::Text("\xC3\xA9t\xC3\xA9"),
                                           TFieldValue::Text(DecimalRecordFromDouble(2.5)),
                                           TFieldValue::Text("t\xE9xt")};
  table.AppendRecord(values);
  table.AppendRecord(std::vector<TFieldValue>(values.size()), usInserted);
  table.EditRecord(0, values);
  TMwBinaryStreamFormat format;
  format.DeltaFlags = sfSaveDeltas;
  format.KeepDeltaPairs = sfKeepDeltaPairs;
  return format.SaveToString(table);
}

TEST(DatasetBadInputTest, CorruptedBytesRaiseOrLoad) {
  const std::string block = CompactBlock();
  TMwBinaryStreamFormat format;
  int rejected = 0, loaded = 0;
  for (size_t i = 0; i < block.size(); ++i) {
    for (int value : {0x00, 0x01, 0x05, 0x0C, 0x12, 0x13, 0x14, 0x7F, 0xFF}) {
      std::string bad = block;
      if (static_cast<uint8_t>(bad[i]) == value) continue;
      bad[i] = static_cast<char>(value);
      TCustomMemTable table;
      try {
        format.LoadFromString(table, bad);
        ++loaded;
      } catch (const EMwException&) {
        ++rejected;
      }
    }
  }
  EXPECT_GT(rejected, 0);
  EXPECT_GT(loaded, 0);  // a changed value byte still makes a valid block
}

std::string Bytes(std::initializer_list<int> bytes) {
  std::string s;
  for (int b : bytes) s.push_back(static_cast<char>(b));
  return s;
}

TEST(DatasetBadInputTest, HugeAnnouncedLengthsFailAtOnce) {
  // TPF0, version, empty definitions and indexes, one field name, one record
  // with one version whose single value announces 2 GB.
  const std::string head = std::string("TPF0") + Bytes({0x03, 0x0C, 0x62, 0x01, 0x00, 0x01, 0x00});
  const std::string record = Bytes({0x01, 0x02, 0x00, 0x01, 0x02, 0x00, 0x08, 0x08});
  struct Case {
    TFieldType type;
    std::string value;
  };
  const Case cases[] = {
      {ftString, Bytes({0x0C, 0xFF, 0xFF, 0xFF, 0x7F, 'a'})},
      {ftString, Bytes({0x14, 0x00, 0x00, 0x00, 0x80, 'a'})},
      {ftWideString, Bytes({0x12, 0xFF, 0xFF, 0xFF, 0x7F, 'a', 0})},
      {ftBlob, Bytes({0x04, 0xFF, 0xFF, 0xFF, 0x7F, 'a'})},
      {ftMemo, Bytes({0x04, 0x00, 0x00, 0x00, 0x80, 'a'})},  // negative count
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(static_cast<int>(c.type));
    TCustomMemTable table;
    table.AddField(testing::MakeField("F", c.type));
    const std::string block =
        head + Bytes({0x01, 0x06, 0x01, 'F', 0x00}) + record + c.value + Bytes({0x00, 0x00});
    ASSERT_LT(block.size(), 40u);
    TMwBinaryStreamFormat format;
    EXPECT_THROW(format.LoadFromString(table, block), EReadError);
    EXPECT_EQ(table.RecordCount(), 0);
  }
  // Deeply nested lists in a skipped value do not recurse.
  TCustomMemTable table;
  table.AddField(testing::MakeField("F", ftInteger));
  const std::string nested =
      head + Bytes({0x01, 0x06, 0x01, 'G', 0x00}) + record + std::string(1 << 20, '\x01');
  TMwBinaryStreamFormat format;
  EXPECT_THROW(format.LoadFromString(table, nested), EReadError);
}

TEST(DatasetBadInputTest, FewListedFieldsOfAWideTableCannotExhaustMemory) {
  // 2000 defined fields, one of them listed, then a record with 20000 versions
  // of 4 bytes each: 40 million field values from about 130 KB.
  std::string block = "TPF0";
  TFilerWriter writer(&block);
  writer.WriteInteger(kDatasetStreamVersion);
  writer.WriteListBegin();
  for (int i = 0; i < 2000; ++i) {
    writer.WriteString("F" + std::to_string(i));
    writer.WriteString("Integer");
    writer.WriteInteger(0);
    writer.WriteString("");
    writer.WriteString("");
    writer.WriteInteger(0);
    writer.WriteBoolean(false);
    writer.WriteBoolean(false);
    writer.WriteString("Data");
    writer.WriteString("");
    writer.WriteString("");
    for (int flag = 0; flag < 4; ++flag) writer.WriteBoolean(false);
  }
  writer.WriteListEnd();
  writer.WriteListBegin();
  writer.WriteListEnd();
  writer.WriteListBegin();
  writer.WriteString("F1999");
  writer.WriteListEnd();
  writer.WriteListBegin();
  writer.WriteInteger(0);
  writer.WriteListBegin();
  for (int v = 0; v < 20000; ++v) {
    writer.WriteInteger(usUnmodified);
    writer.WriteBoolean(false);
    writer.WriteBoolean(true);  // null
  }
  writer.WriteListEnd();
  writer.WriteListEnd();
  TCustomMemTable table;
  TMwBinaryStreamFormat format;
  try {
    format.LoadFromString(table, block);
    FAIL() << "loaded";
  } catch (const EMemTableError& e) {
    EXPECT_STREQ(e.what(), "Dataset block too large for the table.");
  }
  EXPECT_EQ(table.RecordCount(), 0);
}

}  // namespace
}  // namespace tallyvox::mw
