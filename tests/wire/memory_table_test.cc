// The in-memory table's own rules: value kinds and ranges, versions, counters.
#include "middleware/wire/memory_table.h"

#include <gtest/gtest.h>

#include "middleware/wire/dataset_errors.h"
#include "wire/dataset_test_tables.h"

namespace tallyvox::mw {
namespace {

using testing::MakeField;

TEST(MemoryTableTest, FieldsByNameAndNumber) {
  TCustomMemTable table;
  table.AddField(MakeField("Name", ftString, 10));
  table.AddField(MakeField("Amount", ftCurrency));
  EXPECT_EQ(table.FieldIndex("AMOUNT"), 1);
  EXPECT_EQ(table.FindField("nope"), nullptr);
  EXPECT_EQ(&table.FieldByName("name"), &table.Field(0));
  EXPECT_THROW(table.FieldByName("nope"), EMemTableError);
  EXPECT_THROW(table.AddField(MakeField("NAME", ftInteger)), EMemTableError);
  EXPECT_EQ(FieldTypeName(ftFMTBcdField), "FMTBcdField");
  EXPECT_EQ(FindFieldType("integer", true), ftInteger);
  EXPECT_FALSE(FindFieldType("integer", false).has_value());
  EXPECT_FALSE(FindFieldType("Money", true).has_value());
  EXPECT_FALSE(IsAcceptedFieldType(ftVariant));
  EXPECT_TRUE(IsAcceptedFieldType(ftGuid));
}

TEST(MemoryTableTest, ValuesAreCheckedAgainstTheirField) {
  TCustomMemTable table;
  table.AddField(MakeField("S", ftSmallInt));
  table.AddField(MakeField("W", ftWord));
  table.AddField(MakeField("T", ftString, 5));
  table.AddField(MakeField("B", ftFMTBcdField));
  EXPECT_THROW(table.AppendRecord({TFieldValue::Text("1")}), EMemTableError);
  EXPECT_THROW(table.AppendRecord({TFieldValue(), TFieldValue::Integer(-1)}), EMemTableError);
  EXPECT_THROW(
      table.AppendRecord({TFieldValue(), TFieldValue(), TFieldValue(), TFieldValue::Text("x")}),
      EMemTableError);
  EXPECT_THROW(table.AppendRecord(std::vector<TFieldValue>(5)), EMemTableError);
  try {
    table.AppendRecord({TFieldValue::Integer(40000)});
    FAIL();
  } catch (const EMemTableError& e) {
    EXPECT_STREQ(e.what(),
                 "40000 is not a valid value for field 'S'. The allowed range is -32768 to 32767");
  }
  EXPECT_EQ(table.RecordCount(), 0);
  const int row = table.AppendRecord({TFieldValue::Integer(-5)});
  EXPECT_TRUE(table.Value(row, "T").IsNull());
  EXPECT_THROW(table.Value(row, "S").AsText(), EMemTableError);
}

TEST(MemoryTableTest, VersionsCountersAndClose) {
  TCustomMemTable table;
  int opened = 0, closed = 0;
  table.AfterOpen = [&](TCustomMemTable&) { ++opened; };
  table.BeforeClose = [&](TCustomMemTable&) { ++closed; };
  table.AddField(MakeField("V", ftInteger));
  table.AppendRecord({TFieldValue::Integer(1)});
  EXPECT_TRUE(table.Active());
  table.EditRecord(0, {TFieldValue::Integer(2)});
  table.EditRecord(0, {TFieldValue::Integer(3)});
  table.DeleteRecord(0);
  const TMemRecord& r = table.Record(0);
  EXPECT_EQ(r.current.update_status, usDeleted);
  ASSERT_EQ(r.older_versions.size(), 3u);
  EXPECT_EQ(r.older_versions[0].values[0], TFieldValue::Integer(3));
  EXPECT_EQ(r.older_versions[2].update_status, usUnmodified);
  EXPECT_EQ(table.DeletedCount(), 1);
  table.AddField(MakeField("LATE", ftString, 4));  // existing versions grow a null value
  EXPECT_EQ(table.Record(0).older_versions[2].values.size(), 2u);
  table.Close();
  EXPECT_EQ(table.RecordCount(), 0);
  EXPECT_EQ(table.DeletedCount(), 0);
  EXPECT_EQ(table.NextRecordId(), 0);
  EXPECT_EQ(table.FieldCount(), 2);
  EXPECT_EQ(opened, 1);
  EXPECT_EQ(closed, 1);
}

}  // namespace
}  // namespace tallyvox::mw
