// Tables shared by the dataset block tests, the fuzz target's seed and the benchmark.
#ifndef TALLYVOX_TESTS_WIRE_DATASET_TEST_TABLES_H_
#define TALLYVOX_TESTS_WIRE_DATASET_TEST_TABLES_H_

#include <string>

#include "middleware/wire/dataset_decimal.h"
#include "middleware/wire/memory_table.h"

namespace tallyvox::mw::testing {

inline TField MakeField(std::string name, TFieldType type, int32_t size = 0) {
  TField field;
  field.name = std::move(name);
  field.type = type;
  field.size = size;
  return field;
}

// One field of every type a block carries, with attributes set, and three
// records: full values, all nulls, and edge values; the third is modified
// (with an older version) and a fourth is inserted then modified.
inline void FillAllTypes(TCustomMemTable& table) {
  const struct {
    const char* name;
    TFieldType type;
    int32_t size;
  } fields[] = {
      {"S", ftString, 20},       {"SI", ftSmallInt, 0},    {"I", ftInteger, 0},
      {"W", ftWord, 0},          {"B", ftBoolean, 0},      {"F", ftFloat, 0},
      {"C", ftCurrency, 0},      {"BCD", ftBCD, 4},        {"D", ftDate, 0},
      {"T", ftTime, 0},          {"DT", ftDateTime, 0},    {"BY", ftBytes, 4},
      {"VB", ftVarBytes, 8},     {"AI", ftAutoInc, 0},     {"BL", ftBlob, 0},
      {"M", ftMemo, 0},          {"G", ftGraphic, 0},      {"FM", ftFmtMemo, 0},
      {"PO", ftParadoxOle, 0},   {"DO", ftDBaseOle, 0},    {"TB", ftTypedBinary, 0},
      {"FC", ftFixedChar, 3},    {"WS", ftWideString, 10}, {"LI", ftLargeInt, 0},
      {"ADT", ftADT, 0},         {"AR", ftArray, 0},       {"HB", ftHugeBlob, 0},
      {"HC", ftHugeClob, 0},     {"GU", ftGuid, 38},       {"TS", ftSQLTimeStamp, 0},
      {"FB", ftFMTBcdField, 10},
  };
  int n = 0;
  for (const auto& f : fields) {
    TField field = MakeField(f.name, f.type, f.size);
    field.display_label = std::string("Label ") + f.name;
    field.edit_mask = (n % 3 == 0) ? "!999;0;_" : "";
    field.display_width = 5 + n;
    field.required = n % 2 == 0;
    field.read_only = n % 5 == 0;
    field.default_expression = (n % 4 == 0) ? "'x'" : "";
    field.origin = std::string("T.") + f.name;
    field.provider_flags = static_cast<uint32_t>(n % 16);
    table.AddField(field);
    ++n;
  }
  const std::string binary("\x00\x01\xFF\x80\x7F", 5);
  std::vector<TFieldValue> full = {
      TFieldValue::Text("caf\xE9 au lait"),
      TFieldValue::Integer(-32768),
      TFieldValue::Integer(2147483647),
      TFieldValue::Integer(65535),
      TFieldValue::Boolean(true),
      TFieldValue::Float(3.141592653589793),
      TFieldValue::Integer(123456789012345),  // 12345678901.2345
      TFieldValue::Integer(-5),
      TFieldValue::Float(45000.0),
      TFieldValue::Float(0.75),
      TFieldValue::Float(45000.5),
      TFieldValue::Text(binary),
      TFieldValue::Text(std::string(300, 'v')),
      TFieldValue::Integer(41),
      TFieldValue::Text(binary + std::string(100, '\0')),
      TFieldValue::Text("memo \xE9"),
      TFieldValue::Text(""),
      TFieldValue::Text("{\\rtf1}"),
      TFieldValue::Text(binary),
      TFieldValue::Text("ole"),
      TFieldValue::Text("typed"),
      TFieldValue::Text("abc"),
      TFieldValue::Text("\xE6\x97\xA5\xE6\x9C\xAC \xF0\x9F\x98\x80"),
      TFieldValue::Integer(-9223372036854775807LL - 1),
      TFieldValue::Text("adt"),
      TFieldValue::Text("array"),
      TFieldValue::Text(binary),
      TFieldValue::Text("clob"),
      TFieldValue::Text("{6F9619FF-8B86-D011-B42D-00C04FC964FF}"),
      TFieldValue::Text("2026-12-10 01:02:03.000"),
      TFieldValue::Text(DecimalRecordFromDouble(-1234.5678)),
  };
  table.AppendRecord(full);
  table.AppendRecord(std::vector<TFieldValue>(table.FieldCount()));
  std::vector<TFieldValue> edge = full;
  edge[0] = TFieldValue::Text(std::string(256, 's'));
  edge[2] = TFieldValue::Integer(-2147483647 - 1);
  edge[5] = TFieldValue::Float(-0.0);
  edge[6] = TFieldValue::Integer(-1);
  edge[13] = TFieldValue();  // auto-increment filled in
  edge[22] = TFieldValue::Text("");
  edge[23] = TFieldValue::Integer(9223372036854775807LL);
  table.AppendRecord(edge);
  edge[0] = TFieldValue::Text("edited");
  table.EditRecord(2, edge);
  const int inserted = table.AppendRecord(full, usInserted);
  full[0] = TFieldValue::Text("inserted then edited");
  table.EditRecord(inserted, full);
}

}  // namespace tallyvox::mw::testing

#endif  // TALLYVOX_TESTS_WIRE_DATASET_TEST_TABLES_H_
