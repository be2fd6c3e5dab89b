// The dataset block: a golden block, round trips under every switch, the
// record selection and version rules, limits and events, and the failure texts.
#include "middleware/wire/dataset_stream_format.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "middleware/wire/dataset_decimal.h"
#include "middleware/wire/dataset_errors.h"
#include "middleware/wire/dataset_filer.h"
#include "wire/dataset_test_tables.h"

namespace tallyvox::mw {
namespace {

using testing::FillAllTypes;
using testing::MakeField;

std::string Bytes(std::initializer_list<int> bytes) {
  std::string s;
  for (int b : bytes) s.push_back(static_cast<char>(b));
  return s;
}
std::string Text(const std::string& s) { return Bytes({0x06, static_cast<int>(s.size())}) + s; }

// ID Integer, NAME String(10) required with origin T.NAME; one record (1, "Al").
void FillSmall(TCustomMemTable& table) {
  table.AddField(MakeField("ID", ftInteger));
  TField name = MakeField("NAME", ftString, 10);
  name.display_width = 10;
  name.required = true;
  name.origin = "T.NAME";
  table.AddField(name);
  table.AppendRecord({TFieldValue::Integer(1), TFieldValue::Text("Al")});
}

TEST(DatasetStreamFormatTest, SmallBlockIsByteExact) {
  TCustomMemTable table;
  FillSmall(table);
  table.AppendRecord({TFieldValue::Integer(200), TFieldValue()});
  TMwBinaryStreamFormat format;
  EXPECT_EQ(format.Version(), "1.04");
  const std::string expected =
      std::string("TPF0") + Bytes({0x03, 0x0C, 0x62}) +
      // Field definitions.
      Bytes({0x01}) + Text("ID") + Text("Integer") + Bytes({0x02, 0x00}) + Text("") + Text("") +
      Bytes({0x02, 0x00, 0x08, 0x08}) + Text("Data") + Text("") + Text("") +
      Bytes({0x08, 0x09, 0x09, 0x08}) +  // in-key, in-update, in-where, hidden
      Text("NAME") + Text("String") + Bytes({0x02, 0x0A}) + Text("") + Text("") +
      Bytes({0x02, 0x0A, 0x09, 0x08}) + Text("Data") + Text("") + Text("T.NAME") +
      Bytes({0x08, 0x09, 0x09, 0x08}) + Bytes({0x00}) +
      // No index definitions; the field names.
      Bytes({0x01, 0x00}) + Bytes({0x01}) + Text("ID") + Text("NAME") + Bytes({0x00}) +
      // Records: id, versions: status, then reserved false, null flag, value.
      Bytes({0x01}) +                                                        //
      Bytes({0x02, 0x00, 0x01, 0x02, 0x00, 0x08, 0x08, 0x02, 0x01}) +        // record 0: 1
      Bytes({0x08, 0x08}) + Text("Al") + Bytes({0x00}) +                     // "Al"
      Bytes({0x02, 0x01, 0x01, 0x02, 0x00, 0x08, 0x08, 0x03, 0xC8, 0x00}) +  // record 1: 200
      Bytes({0x08, 0x09, 0x00}) +                                            // null
      Bytes({0x00});
  EXPECT_EQ(format.SaveToString(table), expected);
}

void ExpectSameFields(const TCustomMemTable& a, const TCustomMemTable& b, bool attributes) {
  ASSERT_EQ(a.FieldCount(), b.FieldCount());
  for (int i = 0; i < a.FieldCount(); ++i) {
    const TField& x = a.Field(i);
    const TField& y = b.Field(i);
    SCOPED_TRACE(x.name);
    EXPECT_EQ(x.name, y.name);
    EXPECT_EQ(x.type, y.type);
    if (!attributes) continue;
    EXPECT_EQ(x.size, y.size);
    EXPECT_EQ(x.display_label, y.display_label);
    EXPECT_EQ(x.edit_mask, y.edit_mask);
    EXPECT_EQ(x.display_width, y.display_width);
    EXPECT_EQ(x.required, y.required);
    EXPECT_EQ(x.read_only, y.read_only);
    EXPECT_EQ(x.default_expression, y.default_expression);
    EXPECT_EQ(x.origin, y.origin);
  }
}

void ExpectSameVersion(const TRecordVersion& a, const TRecordVersion& b) {
  EXPECT_EQ(a.update_status, b.update_status);
  ASSERT_EQ(a.values.size(), b.values.size());
  for (size_t i = 0; i < a.values.size(); ++i) EXPECT_EQ(a.values[i], b.values[i]) << "field " << i;
}

TEST(DatasetStreamFormatTest, EveryFieldTypeRoundTrips) {
  TCustomMemTable source;
  FillAllTypes(source);
  TMwBinaryStreamFormat format;
  format.KeepDeltaPairs = sfKeepDeltaPairs;
  format.DeltaFlags = sfSaveDeltas;
  const std::string block = format.SaveToString(source);

  TCustomMemTable loaded;
  loaded.AddField(MakeField("OLD", ftInteger));  // replaced by the block's definitions
  format.LoadFromString(loaded, block);
  ExpectSameFields(source, loaded, true);
  ASSERT_EQ(loaded.RecordCount(), source.RecordCount());
  for (int row = 0; row < source.RecordCount(); ++row) {
    SCOPED_TRACE(row);
    const TMemRecord& a = source.Record(row);
    const TMemRecord& b = loaded.Record(row);
    EXPECT_EQ(b.tag, a.record_id);
    ExpectSameVersion(a.current, b.current);
    ASSERT_EQ(a.older_versions.size(), b.older_versions.size());
    for (size_t v = 0; v < a.older_versions.size(); ++v) {
      ExpectSameVersion(a.older_versions[v], b.older_versions[v]);
    }
  }
  // Provider flags are applied only with LoadProviderFlags.
  EXPECT_EQ(loaded.Field(0).provider_flags, TField().provider_flags);
  format.LoadProviderFlags = true;
  format.LoadFromString(loaded, block);
  for (int i = 0; i < loaded.FieldCount(); ++i) {
    EXPECT_EQ(loaded.Field(i).provider_flags, source.Field(i).provider_flags);
  }
  // A second identical save gives the same bytes.
  EXPECT_EQ(format.SaveToString(loaded).size(), block.size());
}

TEST(DatasetStreamFormatTest, EmptyTableKeepsDefinitions) {
  TCustomMemTable source;
  FillSmall(source);
  source.EmptyTable();
  source.IndexDefs().push_back({"ByName", "NAME;ID", "By name", ixUnique | ixCaseInsensitive});
  source.IndexDefs().push_back({"Desc", "ID", "", ixDescending | ixNonMaintained});
  TMwBinaryStreamFormat format;
  const std::string block = format.SaveToString(source);
  EXPECT_EQ(block.substr(block.size() - 2), Bytes({0x01, 0x00}));  // empty record list

  TCustomMemTable loaded;
  loaded.IndexDefs().push_back({"Stale", "X", "", 0});
  format.LoadFromString(loaded, block);
  EXPECT_EQ(loaded.RecordCount(), 0);
  EXPECT_TRUE(loaded.Active());
  ExpectSameFields(source, loaded, true);
  ASSERT_EQ(loaded.IndexDefs().size(), 2u);
  EXPECT_EQ(loaded.IndexDefs()[0].name, "ByName");
  EXPECT_EQ(loaded.IndexDefs()[0].fields, "NAME;ID");
  EXPECT_EQ(loaded.IndexDefs()[0].options, ixUnique | ixCaseInsensitive);
  EXPECT_EQ(loaded.IndexDefs()[1].options, ixDescending | ixNonMaintained);

  // Without IndexDefinitionFlags save the index list is empty.
  format.IndexDefinitionFlags = sfLoad;
  const std::string no_indexes = format.SaveToString(source);
  EXPECT_LT(no_indexes.size(), block.size());
  TCustomMemTable second;
  format.LoadFromString(second, no_indexes);
  EXPECT_TRUE(second.IndexDefs().empty());
}

TEST(DatasetStreamFormatTest, ShortDefinitionsAndExistingFields) {
  TCustomMemTable source;
  FillSmall(source);
  TMwBinaryStreamFormat format;
  format.ShortDefinitions = sfSave;
  const std::string block = format.SaveToString(source);
  // Definitions: name, origin and the four provider flags only.
  EXPECT_EQ(block.substr(7, 11),
            Bytes({0x01}) + Text("ID") + Text("") + Bytes({0x08, 0x09, 0x09, 0x08}));

  // The client's way: existing fields matched by name, in any order; fields
  // the block lacks stay null; names the table lacks are skipped.
  TCustomMemTable target;
  TField name = MakeField("name", ftString, 50);
  name.display_label = "Kept";
  target.AddField(name);
  target.AddField(MakeField("EXTRA", ftFloat));
  format.PrepareForRecords(false, false);
  format.LoadFromString(target, block);
  ASSERT_EQ(target.FieldCount(), 2);
  EXPECT_EQ(target.Field(0).display_label, "Kept");
  EXPECT_EQ(target.Field(0).origin, "T.NAME");
  ASSERT_EQ(target.RecordCount(), 1);
  EXPECT_EQ(target.Value(0, 0), TFieldValue::Text("Al"));
  EXPECT_TRUE(target.Value(0, 1).IsNull());

  // Full definitions with UseExistingFields: matched, not rebuilt.
  TMwBinaryStreamFormat full;
  TCustomMemTable existing;
  existing.AddField(MakeField("ID", ftInteger));
  full.UseExistingFields = true;
  full.LoadFromString(existing, full.SaveToString(source));
  EXPECT_EQ(existing.FieldCount(), 1);
  EXPECT_EQ(existing.Value(0, "ID"), TFieldValue::Integer(1));

  // Without the load bit of DefinitionFlags the entries are read and ignored.
  TMwBinaryStreamFormat ignore;
  ignore.DefinitionFlags = sfSave;
  TCustomMemTable kept;
  kept.AddField(MakeField("NAME", ftString, 5));
  ignore.LoadFromString(kept, ignore.SaveToString(source));
  EXPECT_EQ(kept.FieldCount(), 1);
  EXPECT_EQ(kept.Field(0).origin, "");
  EXPECT_EQ(kept.Value(0, 0), TFieldValue::Text("Al"));

  // Without its save bit the definitions list is empty.
  ignore.DefinitionFlags = 0;
  EXPECT_EQ(ignore.SaveToString(source).substr(7, 2), Bytes({0x01, 0x00}));
}

TEST(DatasetStreamFormatTest, FieldSelectionSwitches) {
  TCustomMemTable table;
  table.AddField(MakeField("DATA", ftInteger));
  TField calc = MakeField("CALC", ftInteger);
  calc.kind = fkCalculated;
  table.AddField(calc);
  TField lookup = MakeField("LOOK", ftInteger);
  lookup.kind = fkLookup;
  table.AddField(lookup);
  TField internal = MakeField("INTERNAL", ftInteger);
  internal.kind = fkInternalCalc;
  table.AddField(internal);
  TField hidden = MakeField("HIDDEN", ftInteger);
  hidden.visible = false;
  table.AddField(hidden);
  table.AddField(MakeField("BLOB", ftBlob));
  table.AddField(MakeField("OLE", ftParadoxOle));  // a blob type sent as text
  table.AppendRecord({TFieldValue::Integer(1), TFieldValue::Integer(2), TFieldValue::Integer(3),
                      TFieldValue::Integer(4), TFieldValue::Integer(5), TFieldValue::Text("b"),
                      TFieldValue::Text("o")});

  const auto saved_names = [&](TMwBinaryStreamFormat& format) {
    TCustomMemTable loaded;
    format.LoadFromString(loaded, format.SaveToString(table));
    std::string names;
    for (const TField& f : loaded.Fields()) names += f.name + ",";
    return names;
  };
  TMwBinaryStreamFormat format;
  EXPECT_EQ(saved_names(format), "DATA,HIDDEN,BLOB,OLE,");
  format.sfCalculated = sfSaveCalculated | sfLoadCalculated;
  format.sfLookup = sfSaveLookup;
  format.FieldKindFlags = sfSaveFieldKind;
  EXPECT_EQ(saved_names(format), "DATA,CALC,LOOK,HIDDEN,BLOB,OLE,");
  format.InvisibleFlags = sfLoad;
  format.BlobFlags = sfLoad;
  EXPECT_EQ(saved_names(format), "DATA,CALC,LOOK,");

  // Kinds travel only with FieldKindFlags; loading honours the load bits.
  TCustomMemTable loaded;
  format.LoadFromString(loaded, format.SaveToString(table));
  EXPECT_EQ(loaded.Field(1).kind, fkCalculated);
  EXPECT_TRUE(loaded.Value(0, "CALC") == TFieldValue::Integer(2));
  EXPECT_TRUE(loaded.Value(0, "LOOK").IsNull());  // no sfLoadLookup
  format.FieldKindFlags = 0;
  format.LoadFromString(loaded, format.SaveToString(table));
  EXPECT_EQ(loaded.Field(1).kind, fkData);

  // Load bits of BlobFlags, InvisibleFlags and DataFlags leave values null.
  TMwBinaryStreamFormat all;
  TCustomMemTable target;
  all.LoadFromString(target, all.SaveToString(table));
  target.EmptyTable();
  target.FieldByName("HIDDEN").visible = false;  // visibility does not travel
  all.DefinitionFlags = sfSave;
  all.BlobFlags = sfSave;
  all.InvisibleFlags = sfSave;
  all.LoadFromString(target, all.SaveToString(table));
  ASSERT_EQ(target.RecordCount(), 1);
  EXPECT_EQ(target.Value(0, "DATA"), TFieldValue::Integer(1));
  EXPECT_TRUE(target.Value(0, "HIDDEN").IsNull());
  EXPECT_TRUE(target.Value(0, "BLOB").IsNull());
  EXPECT_TRUE(target.Value(0, "OLE").IsNull());
  all.DataFlags = sfSave;
  all.BlobFlags = sfSave | sfLoad;
  all.LoadFromString(target, all.SaveToString(table));
  EXPECT_TRUE(target.Value(1, "DATA").IsNull());
  EXPECT_TRUE(target.Value(1, "BLOB").IsNull());  // a data field too
}

// A table with every history the save rules distinguish.
class DeltaTest : public ::testing::Test {
 protected:
  void SetUp() override {
    table_.AddField(MakeField("ID", ftInteger));
    table_.AddField(MakeField("V", ftString, 10));
    const auto row = [](int id, const char* v) {
      return std::vector<TFieldValue>{TFieldValue::Integer(id), TFieldValue::Text(v)};
    };
    table_.AppendRecord(row(1, "plain"));
    table_.AppendRecord(row(2, "old"));
    table_.EditRecord(1, row(2, "new"));  // modified
    table_.AppendRecord(row(3, "ins"), usInserted);
    table_.AppendRecord(row(4, "ins"), usInserted);
    table_.EditRecord(3, row(4, "ins+mod"));  // inserted then modified
    table_.EditRecord(3, row(4, "ins+mod2"));
    table_.AppendRecord(row(5, "ins"), usInserted);
    table_.DeleteRecord(4);  // inserted then deleted
    table_.AppendRecord(row(6, "gone"));
    table_.DeleteRecord(5);  // deleted
  }

  // "id:status/status..." per loaded record.
  std::string Saved(TMwCustomStreamFormat& format) {
    TCustomMemTable loaded;
    format.DefinitionFlags = sfSave | sfLoad;
    format.ShortDefinitions = 0;
    format.UseExistingFields = false;
    format.LoadFromString(loaded, format.SaveToString(table_));
    std::string out;
    for (const TMemRecord& r : loaded.Records()) {
      out += std::to_string(r.current.values[0].AsInteger()) + ":" +
             std::to_string(r.current.update_status);
      for (const TRecordVersion& v : r.older_versions) out += "/" + std::to_string(v.update_status);
      out += " ";
    }
    return out;
  }

  TCustomMemTable table_;
};

TEST_F(DeltaTest, RecordsAndVersionsWrittenPerSwitch) {
  TMwBinaryStreamFormat format;
  // Default: every record the table shows (not the deleted ones), no versions.
  EXPECT_EQ(Saved(format), "1:0 2:1 3:2 4:2 ");
  format.DeltaFlags = sfSaveDeltas;
  EXPECT_EQ(Saved(format), "1:0 2:1/0 3:2 4:2 ");
  // Changes for the server: only changed records, merged pairs.
  format.PrepareForChanges();
  EXPECT_EQ(Saved(format), "2:1/0 3:2 4:2 6:3/0 ");
  format.KeepDeltaPairs = sfKeepDeltaPairs;
  EXPECT_EQ(Saved(format), "2:1/0 3:2 4:1/1/2 5:3/2 6:3/0 ");
  // DataFlags save off skips unmodified records.
  TMwBinaryStreamFormat changed_only;
  changed_only.DataFlags = sfLoad;
  changed_only.sfCalculated = sfSaveCalculated;
  table_.Field(1).kind = fkCalculated;
  EXPECT_EQ(table_.SaveCount(), 5);
  TCustomMemTable loaded;
  changed_only.LoadFromString(loaded, changed_only.SaveToString(table_));
  EXPECT_EQ(loaded.RecordCount(), 3);
  EXPECT_EQ(loaded.FieldCount(), 1);
  EXPECT_EQ(loaded.Field(0).name, "V");
}

TEST_F(DeltaTest, LoadedDeletedRecordsAreCounted) {
  TMwBinaryStreamFormat format;
  format.PrepareForChanges();
  const std::string block = format.SaveToString(table_);
  TCustomMemTable loaded;
  loaded.AddField(MakeField("ID", ftInteger));
  loaded.AddField(MakeField("V", ftString, 10));
  format.LoadFromString(loaded, block);
  ASSERT_EQ(loaded.RecordCount(), 4);
  EXPECT_EQ(loaded.DeletedCount(), 1);
  EXPECT_EQ(loaded.Record(3).current.update_status, usDeleted);
  EXPECT_EQ(loaded.Record(3).older_versions.at(0).values[1], TFieldValue::Text("gone"));
}

TEST_F(DeltaTest, RestrictionsApplyOnlyWhenSwitchedOn) {
  table_.Filter = {true, [](const TMemRecord& r) { return r.current.values[0].AsInteger() != 1; }};
  table_.Range = {true, [](const TMemRecord& r) { return r.current.values[0].AsInteger() != 2; }};
  table_.MasterDetail = {true,
                         [](const TMemRecord& r) { return r.current.values[0].AsInteger() != 3; }};
  TMwBinaryStreamFormat format;
  EXPECT_EQ(Saved(format), "1:0 2:1 3:2 4:2 ");
  format.sfFiltered = 0;
  EXPECT_EQ(Saved(format), "2:1 3:2 4:2 ");
  format.sfIgnoreRange = 0;
  format.sfIgnoreMasterDetail = 0;
  EXPECT_EQ(Saved(format), "4:2 ");
  EXPECT_TRUE(table_.Filter.active && table_.Range.active && table_.MasterDetail.active);
}

TEST(DatasetStreamFormatTest, PreparedConfigurations) {
  TMwBinaryStreamFormat f;
  f.PrepareForRecords(false, false);
  EXPECT_EQ(f.DataFlags, sfSave | sfLoad);
  EXPECT_EQ(f.InvisibleFlags, sfSave | sfLoad);
  EXPECT_EQ(f.BlobFlags, sfSave | sfLoad);
  EXPECT_EQ(f.DefinitionFlags, sfSave | sfLoad);
  EXPECT_EQ(f.ShortDefinitions, sfSave | sfLoad);
  EXPECT_TRUE(f.UseExistingFields);
  EXPECT_EQ(f.IndexDefinitionFlags, 0);
  EXPECT_FALSE(f.LoadProviderFlags);
  EXPECT_EQ(f.DeltaFlags, 0);
  EXPECT_EQ(f.KeepDeltaPairs, 0);
  EXPECT_EQ(f.AppendFlags, sfAppend);
  EXPECT_EQ(f.FieldKindFlags, 0);
  EXPECT_EQ(f.FromStartFlags, 0);
  EXPECT_FALSE(f.ResolveMode);
  f.PrepareForRecords(true, true);
  EXPECT_EQ(f.InvisibleFlags, sfLoad);
  EXPECT_EQ(f.ShortDefinitions, 0);
  EXPECT_FALSE(f.UseExistingFields);
  f.PrepareForChanges();
  EXPECT_EQ(f.InvisibleFlags, sfSave | sfLoad);
  EXPECT_EQ(f.ShortDefinitions, sfSave | sfLoad);
  EXPECT_FALSE(f.UseExistingFields);
  EXPECT_TRUE(f.LoadProviderFlags);
  EXPECT_EQ(f.DeltaFlags, sfSaveDeltas);
  EXPECT_EQ(f.KeepDeltaPairs, 0);
  EXPECT_EQ(f.AppendFlags, sfAppend);
  EXPECT_TRUE(f.ResolveMode);
}

TEST(DatasetStreamFormatTest, TargetAndSourcePositions) {
  TCustomMemTable table;
  FillSmall(table);
  TMwBinaryStreamFormat format;
  const std::string block = format.SaveToString(table);

  std::string target = "HEAD";
  size_t position = 1;
  format.AppendFlags = sfAppend;
  format.Save(table, target, position);
  EXPECT_EQ(target, "HEAD" + block);
  EXPECT_EQ(position, target.size());
  format.Save(table, target, position);  // a second block behind the first
  EXPECT_EQ(target, "HEAD" + block + block);

  // Insert writes at the position, over what was there.
  std::string over = std::string(8, 'x');
  position = 2;
  format.AppendFlags = sfInsert;
  format.Save(table, over, position);
  EXPECT_EQ(over, "xx" + block);
  EXPECT_EQ(position, 2 + block.size());
  // Neither: the target is truncated first.
  format.AppendFlags = 0;
  format.Save(table, over, position);
  EXPECT_EQ(over, block);

  // Loading two blocks one after the other without FromStartFlags.
  TCustomMemTable loaded;
  format.FromStartFlags = 0;
  position = 4;
  format.Load(loaded, target, position);
  EXPECT_EQ(position, 4 + block.size());
  format.UseExistingFields = true;
  format.Load(loaded, target, position);
  EXPECT_EQ(position, target.size());
  EXPECT_EQ(loaded.RecordCount(), 2);
  // With FromStartFlags the source is read from 0: here "HEAD", not a block.
  format.FromStartFlags = sfLoadFromStart;
  try {
    format.Load(loaded, target, position);
    ADD_FAILURE();
  } catch (const EReadError& e) {
    EXPECT_STREQ(e.what(), "Invalid stream format");
  }
  EXPECT_EQ(position, target.size());  // unchanged by a failed load
}

TEST(DatasetStreamFormatTest, MemoryStreamTargetAndSource) {
  TCustomMemTable table;
  FillSmall(table);
  TMwBinaryStreamFormat format;
  const std::string block = format.SaveToString(table);
  TMwMemoryStream stream;
  stream.Write(std::string_view("HEAD"));
  stream.Seek(1);
  format.AppendFlags = sfAppend;
  format.Save(table, stream);
  format.Save(table, stream);
  EXPECT_EQ(stream.ToString(), "HEAD" + block + block);
  format.AppendFlags = 0;
  format.Save(table, stream);
  EXPECT_EQ(stream.ToString(), block);

  stream.Clear();
  stream.Write(std::string_view("HEAD"));
  stream.Write(block);
  stream.Write(std::string_view("TAIL"));
  stream.Seek(4);
  TCustomMemTable loaded;
  format.FromStartFlags = 0;
  format.Load(loaded, stream);
  EXPECT_EQ(stream.Position(), static_cast<int64_t>(4 + block.size()));
  EXPECT_EQ(loaded.Value(0, "NAME"), TFieldValue::Text("Al"));
}

TEST(DatasetStreamFormatTest, CompressionHooksWrapTheBlock) {
  TCustomMemTable table;
  FillSmall(table);
  TMwBinaryStreamFormat format;
  const std::string plain = format.SaveToString(table);
  format.OnCompress = [](std::string_view block) {
    return "Z" + std::string(block.rbegin(), block.rend());
  };
  format.OnDecompress = [](std::string_view source) {
    EXPECT_EQ(source.substr(0, 1), "Z");
    return std::string(source.rbegin(), source.rend() - 1);
  };
  std::string target = "..";
  size_t position = 0;
  format.AppendFlags = sfAppend;
  format.Save(table, target, position);
  EXPECT_EQ(target, ".." + format.OnCompress(plain));
  TCustomMemTable loaded;
  format.FromStartFlags = 0;
  position = 2;
  format.Load(loaded, target, position);
  EXPECT_EQ(position, target.size());
  EXPECT_EQ(loaded.Value(0, "NAME"), TFieldValue::Text("Al"));
}

TEST(DatasetStreamFormatTest, UnknownKindNamesCountAsData) {
  TCustomMemTable source;
  source.AddField(MakeField("K", ftInteger));
  source.AppendRecord({TFieldValue::Integer(5)});
  TMwBinaryStreamFormat format;
  std::string block = format.SaveToString(source);
  const size_t at = block.find(Text("Data"));
  ASSERT_NE(at, std::string::npos);
  block.replace(at, 6, Text("Odd!"));
  TCustomMemTable loaded;
  format.LoadFromString(loaded, block);
  EXPECT_EQ(loaded.Field(0).kind, fkData);
  EXPECT_EQ(loaded.Value(0, 0), TFieldValue::Integer(5));
}

TEST(DatasetStreamFormatTest, LimitsEventsAndCounters) {
  TCustomMemTable table;
  table.AddField(MakeField("ID", ftInteger));
  table.AddField(MakeField("AI", ftAutoInc));
  for (int i = 0; i < 250; ++i) table.AppendRecord({TFieldValue::Integer(i)});
  EXPECT_EQ(table.Value(249, "AI"), TFieldValue::Integer(250));
  std::vector<int> progress;
  table.OnProgress = [&](TCustomMemTable&, int percent) { progress.push_back(percent); };
  table.OnSaveRecord = [](TCustomMemTable&, const TMemRecord& r, bool* accept) {
    *accept = r.current.values[0].AsInteger() % 2 == 0;
  };
  TMwBinaryStreamFormat format;
  std::string block = format.SaveToString(table);
  EXPECT_EQ(progress, (std::vector<int>{40, 80}));
  EXPECT_EQ(table.SaveCount(), 125);
  EXPECT_TRUE(table.SavedCompletely);

  table.SaveLimit = 10;
  const std::string limited = format.SaveToString(table);
  EXPECT_EQ(table.SaveCount(), 10);
  EXPECT_FALSE(table.SavedCompletely);
  TCustomMemTable small;
  format.LoadFromString(small, limited);
  EXPECT_EQ(small.RecordCount(), 10);

  TCustomMemTable loaded;
  loaded.OnLoadRecord = [](TCustomMemTable&, const TMemRecord& r, bool* accept) {
    *accept = r.current.values[0].AsInteger() != 0;
  };
  loaded.LoadLimit = 50;
  format.LoadFromString(loaded, block);
  EXPECT_FALSE(loaded.LoadedCompletely);
  ASSERT_EQ(loaded.RecordCount(), 50);
  EXPECT_EQ(loaded.Value(0, "ID"), TFieldValue::Integer(2));  // record 0 vetoed
  EXPECT_EQ(loaded.Record(0).tag, 2);
  EXPECT_EQ(loaded.Record(0).record_id, 0);  // new ids from the table
  EXPECT_EQ(loaded.Record(49).record_id, 49);
  // The auto-increment counter moves past the highest loaded value (101, of ID 100).
  EXPECT_EQ(loaded.NextAutoIncValue(), 102);
  loaded.LoadLimit = 0;
  loaded.EmptyTable();
  format.LoadFromString(loaded, block);
  EXPECT_TRUE(loaded.LoadedCompletely);
  EXPECT_EQ(loaded.NextAutoIncValue(), 250);
  const int row = loaded.AppendRecord({TFieldValue::Integer(7)});
  EXPECT_EQ(loaded.Value(row, "AI"), TFieldValue::Integer(250));
}

TEST(DatasetStreamFormatTest, OlderStreamVersions) {
  // Version 10100: no origin or provider flags; FMTBcd values are floats.
  const std::string block = std::string("TPF0") + Bytes({0x03, 0x74, 0x27}) +  // 10100
                            Bytes({0x01}) + Text("N") + Text("FMTBcdField") + Bytes({0x02, 0x08}) +
                            Text("") + Text("") + Bytes({0x02, 0x00, 0x08, 0x08}) + Text("Data") +
                            Text("") + Bytes({0x00}) +  // no origin, no flags
                            Bytes({0x01, 0x00, 0x01}) + Text("N") + Bytes({0x00}) +  //
                            Bytes({0x01, 0x02, 0x07, 0x01, 0x02, 0x00, 0x08, 0x08}) +
                            Bytes({0x05, 0, 0, 0, 0, 0, 0, 0, 0xC8, 0x05, 0xC0}) +  // -100.0
                            Bytes({0x00, 0x00});
  TCustomMemTable table;
  TMwBinaryStreamFormat format;
  format.LoadFromString(table, block);
  ASSERT_EQ(table.RecordCount(), 1);
  EXPECT_EQ(table.Field(0).origin, "");
  EXPECT_EQ(table.Record(0).tag, 7);
  const std::string& bcd = table.Value(0, 0).AsText();
  EXPECT_EQ(bcd.substr(0, 4), Bytes({0x03, 0x80, 0x10, 0x00}));  // 3 digits, negative, "100"
  EXPECT_EQ(DoubleFromDecimalRecord(bcd), -100.0);
}

TEST(DatasetStreamFormatTest, UnknownFieldsAreSkippedValueByValue) {
  TCustomMemTable source;
  source.AddField(MakeField("A", ftInteger));
  source.AddField(MakeField("GONE_BLOB", ftBlob));
  source.AddField(MakeField("GONE_TEXT", ftString, 5));
  source.AddField(MakeField("GONE_BCD", ftFMTBcdField));
  source.AddField(MakeField("Z", ftString, 5));
  source.AppendRecord({TFieldValue::Integer(1), TFieldValue::Text(std::string("\x06\x02xy\x01", 5)),
                       TFieldValue::Text("t"), TFieldValue::Text(DecimalRecordFromDouble(1.5)),
                       TFieldValue::Text("z")});
  TMwBinaryStreamFormat format;
  const std::string block = format.SaveToString(source);
  TCustomMemTable target;
  target.AddField(MakeField("a", ftInteger));
  target.AddField(MakeField("z", ftString, 5));
  format.UseExistingFields = true;
  format.LoadFromString(target, block);
  ASSERT_EQ(target.RecordCount(), 1);
  EXPECT_EQ(target.Value(0, "A"), TFieldValue::Integer(1));
  EXPECT_EQ(target.Value(0, "Z"), TFieldValue::Text("z"));

  // Short definitions carry no types: plain values are still skipped whole.
  source.ClearFields();
  source.AddField(MakeField("A", ftInteger));
  source.AddField(MakeField("GONE", ftWideString));
  source.AddField(MakeField("Z", ftString, 5));
  source.AppendRecord(
      {TFieldValue::Integer(1), TFieldValue::Text("\xE6\x97\xA5"), TFieldValue::Text("z")},
      usInserted);  // changes only: resolve mode
  format.PrepareForChanges();
  const std::string short_block = format.SaveToString(source);
  format.PrepareForRecords(false, false);
  target.EmptyTable();
  format.LoadFromString(target, short_block);
  EXPECT_EQ(target.Value(0, "Z"), TFieldValue::Text("z"));
}

void ExpectError(const std::string& block, TCustomMemTable& table, const char* text) {
  TMwBinaryStreamFormat format;
  try {
    format.LoadFromString(table, block);
    ADD_FAILURE() << "accepted";
  } catch (const EMwException& e) {
    EXPECT_STREQ(e.what(), text);
  }
}

TEST(DatasetStreamFormatTest, FailureTable) {
  TCustomMemTable table;
  std::string target;
  size_t position = 0;
  try {
    SaveToStreamViaFormat(table, target, position, nullptr);
    ADD_FAILURE();
  } catch (const EMemTableError& e) {
    EXPECT_STREQ(e.what(), "No format specified.");
  }
  EXPECT_THROW(LoadFromStreamViaFormat(table, "TPF0", position, nullptr), EMemTableError);

  const std::string head = std::string("TPF0") + Bytes({0x03, 0x0C, 0x62});
  const std::string def_tail = Bytes({0x02, 0x00}) + Text("") + Text("") +
                               Bytes({0x02, 0x00, 0x08, 0x08}) + Text("Data") + Text("") +
                               Text("") + Bytes({0x08, 0x08, 0x08, 0x08, 0x00});
  ExpectError("TPF1" + head.substr(4), table, "Invalid stream format");
  ExpectError("TP", table, "Stream read error");
  ExpectError(head + Bytes({0x01}) + Text("X") + Text("Variant") + def_tail, table,
              "Unknown field type (Variant)");
  ExpectError(head + Bytes({0x01}) + Text("X") + Text("integer") + def_tail, table,
              "Unknown field type (integer)");
  ExpectError(head + Bytes({0x01, 0x00, 0x01, 0x00, 0x01, 0x00, 0x01, 0x00}), table,
              "Couldnt determine field count for load.");
  const std::string one_int = head + Bytes({0x01}) + Text("X") + Text("SmallInt") + def_tail +
                              Bytes({0x01, 0x00, 0x01}) + Text("X") +
                              Bytes({0x00, 0x01, 0x02, 0x00, 0x01});
  ExpectError(one_int + Bytes({0x02, 0x00, 0x08, 0x08}) + Text("12") + Bytes({0x00, 0x00}), table,
              "Invalid property value");
  ExpectError(one_int + Bytes({0x02, 0x09, 0x08, 0x09, 0x00, 0x00}), table,
              "Invalid property value");                                        // update status 9
  ExpectError(one_int + Bytes({0x00, 0x00}), table, "Invalid property value");  // no version
  ExpectError(one_int + Bytes({0x02, 0x00, 0x08, 0x08, 0x04, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00}),
              table,
              "65536 is not a valid value for field 'X'. The allowed range is -32768 to 32767");
  // The after-load step ran: the table is back on its first record.
  EXPECT_EQ(table.CurrentRow(), 0);
}

}  // namespace
}  // namespace tallyvox::mw
