#include "middleware/wire/memory_table.h"
#include "base/text.h"

#include <array>
#include <cstdio>

#include "middleware/wire/dataset_decimal.h"
#include "middleware/wire/dataset_errors.h"

namespace tallyvox::mw {
namespace {

constexpr std::array<std::string_view, kFieldTypeCount> kFieldTypeNames = {
    "Unknown",     "String",       "SmallInt",   "Integer",    "Word",     "Boolean",    "Float",
    "Currency",    "BCD",          "Date",       "Time",       "DateTime", "Bytes",      "VarBytes",
    "AutoInc",     "Blob",         "Memo",       "Graphic",    "FmtMemo",  "ParadoxOle", "dBaseOle",
    "TypedBinary", "Cursor",       "FixedChar",  "WideString", "LargeInt", "ADT",        "Array",
    "Reference",   "DataSet",      "HugeBlob",   "HugeClob",   "Variant",  "Interface",  "Dispatch",
    "Guid",        "SQLTimeStamp", "FMTBcdField"};

constexpr std::array<std::string_view, 5> kFieldKindNames = {"Data", "Calculated", "Lookup",
                                                             "InternalCalc", "Aggregate"};

[[noreturn]] void ThrowKind() { throw EMemTableError("Field value is of another kind"); }

// The range an integer field can hold; nullopt for 64-bit storage.
std::optional<std::pair<int64_t, int64_t>> IntegerRange(TFieldType type) {
  switch (type) {
    case ftSmallInt:
      return std::make_pair(int64_t{-32768}, int64_t{32767});
    case ftWord:
      return std::make_pair(int64_t{0}, int64_t{65535});
    case ftInteger:
    case ftAutoInc:
      return std::make_pair(int64_t{INT32_MIN}, int64_t{INT32_MAX});
    default:
      return std::nullopt;
  }
}

}  // namespace

std::string_view FieldTypeName(TFieldType type) {
  if (type < 0 || type >= kFieldTypeCount) return {};
  return kFieldTypeNames[type];
}

std::optional<TFieldType> FindFieldType(std::string_view name, bool ignore_case) {
  for (int i = 0; i < kFieldTypeCount; ++i) {
    if (ignore_case ? SameText(kFieldTypeNames[i], name) : kFieldTypeNames[i] == name) {
      return static_cast<TFieldType>(i);
    }
  }
  return std::nullopt;
}

bool IsAcceptedFieldType(TFieldType type) {
  switch (type) {
    case ftUnknown:
    case ftCursor:
    case ftReference:
    case ftDataSet:
    case ftVariant:
    case ftInterface:
    case ftDispatch:
      return false;
    default:
      return type > 0 && type < kFieldTypeCount;
  }
}

bool IsBlobFieldType(TFieldType type) {
  return (type >= ftBlob && type <= ftTypedBinary) || type == ftHugeBlob || type == ftHugeClob;
}

std::string_view FieldKindName(TFieldKind kind) {
  if (kind < 0 || kind > fkAggregate) return kFieldKindNames[0];
  return kFieldKindNames[kind];
}

TFieldKind FieldKindFromName(std::string_view name) {
  for (size_t i = 0; i < kFieldKindNames.size(); ++i) {
    if (kFieldKindNames[i] == name) return static_cast<TFieldKind>(i);
  }
  return fkData;
}

TValueKind StorageKindOf(TFieldType type) {
  switch (type) {
    case ftSmallInt:
    case ftInteger:
    case ftWord:
    case ftAutoInc:
    case ftLargeInt:
    case ftCurrency:
    case ftBCD:
      return TValueKind::kInteger;
    case ftBoolean:
      return TValueKind::kBoolean;
    case ftFloat:
    case ftDate:
    case ftTime:
    case ftDateTime:
      return TValueKind::kFloat;
    default:
      return TValueKind::kText;
  }
}

int64_t TFieldValue::AsInteger() const {
  if (const auto* v = std::get_if<int64_t>(&value_)) return *v;
  ThrowKind();
}
bool TFieldValue::AsBoolean() const {
  if (const auto* v = std::get_if<bool>(&value_)) return *v;
  ThrowKind();
}
double TFieldValue::AsFloat() const {
  if (const auto* v = std::get_if<double>(&value_)) return *v;
  ThrowKind();
}
const std::string& TFieldValue::AsText() const {
  if (const auto* v = std::get_if<std::string>(&value_)) return *v;
  ThrowKind();
}

TField& TCustomMemTable::AddField(TField field) {
  if (FieldIndex(field.name) >= 0) {
    throw EMemTableError("Duplicate field name '" + field.name + "'");
  }
  fields_.push_back(std::move(field));
  for (TMemRecord& record : records_) {
    record.current.values.emplace_back();
    for (TRecordVersion& version : record.older_versions) version.values.emplace_back();
  }
  return fields_.back();
}

void TCustomMemTable::ClearFields() {
  Close();
  fields_.clear();
}

int TCustomMemTable::FieldIndex(std::string_view name) const {
  for (size_t i = 0; i < fields_.size(); ++i) {
    if (SameText(fields_[i].name, name)) return static_cast<int>(i);
  }
  return -1;
}

TField* TCustomMemTable::FindField(std::string_view name) {
  const int index = FieldIndex(name);
  return index < 0 ? nullptr : &fields_[index];
}

TField& TCustomMemTable::FieldByName(std::string_view name) {
  TField* field = FindField(name);
  if (field == nullptr) throw EMemTableError("Field '" + std::string(name) + "' not found");
  return *field;
}

void TCustomMemTable::Open() {
  if (active_) return;
  if (BeforeOpen) BeforeOpen(*this);
  active_ = true;
  current_row_ = 0;
  if (AfterOpen) AfterOpen(*this);
}

void TCustomMemTable::Close() {
  if (!active_) return;
  if (BeforeClose) BeforeClose(*this);
  active_ = false;
  EmptyTable();
  next_record_id_ = 0;
  next_unique_record_id_ = 0;
  next_auto_inc_ = 1;
  if (AfterClose) AfterClose(*this);
}

const TFieldValue& TCustomMemTable::Value(int row, int field) const {
  return records_.at(row).current.values.at(field);
}

const TFieldValue& TCustomMemTable::Value(int row, std::string_view field_name) const {
  const int field = FieldIndex(field_name);
  if (field < 0) throw EMemTableError("Field '" + std::string(field_name) + "' not found");
  return Value(row, field);
}

void TCustomMemTable::CheckValue(const TField& field, const TFieldValue& value) {
  if (value.IsNull()) return;
  if (value.Kind() != StorageKindOf(field.type)) {
    throw EMemTableError("Value of another kind for field '" + field.name + "'");
  }
  if (const auto range = IntegerRange(field.type)) {
    const int64_t v = value.AsInteger();
    if (v < range->first || v > range->second) {
      char text[160];
      std::snprintf(text, sizeof text,
                    "%lld is not a valid value for field '%s'. The allowed range is %lld to %lld",
                    static_cast<long long>(v), field.name.c_str(),
                    static_cast<long long>(range->first), static_cast<long long>(range->second));
      throw EMemTableError(text);
    }
  }
  if (field.type == ftFMTBcdField && value.AsText().size() != kDecimalRecordSize) {
    throw EMemTableError("A decimal record has 34 bytes (field '" + field.name + "')");
  }
}

void TCustomMemTable::CheckValues(const std::vector<TFieldValue>& values) const {
  if (values.size() > fields_.size()) throw EMemTableError("More values than fields");
  for (size_t i = 0; i < values.size(); ++i) CheckValue(fields_[i], values[i]);
}

std::vector<TFieldValue> TCustomMemTable::Normalised(std::vector<TFieldValue> values) const {
  CheckValues(values);
  values.resize(fields_.size());
  return values;
}

int TCustomMemTable::AppendRecord(std::vector<TFieldValue> values, TUpdateStatus status) {
  TMemRecord record;
  record.current.update_status = status;
  record.current.values = Normalised(std::move(values));
  for (size_t i = 0; i < fields_.size(); ++i) {
    if (fields_[i].type == ftAutoInc && record.current.values[i].IsNull()) {
      record.current.values[i] = TFieldValue::Integer(next_auto_inc_);
    }
  }
  AppendLoadedRecord(std::move(record));
  return RecordCount() - 1;
}

void TCustomMemTable::SetValue(int row, int field, TFieldValue value) {
  CheckValue(fields_.at(field), value);
  records_.at(row).current.values.at(field) = std::move(value);
}

void TCustomMemTable::EditRecord(int row, std::vector<TFieldValue> values) {
  TMemRecord& record = records_.at(row);
  std::vector<TFieldValue> checked = Normalised(std::move(values));
  record.older_versions.insert(record.older_versions.begin(), record.current);
  record.current.values = std::move(checked);
  record.current.update_status = usModified;
}

void TCustomMemTable::DeleteRecord(int row) {
  TMemRecord& record = records_.at(row);
  record.older_versions.insert(record.older_versions.begin(), record.current);
  record.current.update_status = usDeleted;
  ++deleted_count_;
}

void TCustomMemTable::EmptyTable() {
  records_.clear();
  deleted_count_ = 0;
  current_row_ = 0;
}

void TCustomMemTable::AppendLoadedRecord(TMemRecord record) {
  if (!active_) Open();
  record.current.values.resize(fields_.size());
  for (size_t i = 0; i < fields_.size(); ++i) {
    if (fields_[i].type != ftAutoInc) continue;
    const TFieldValue& v = record.current.values[i];
    if (!v.IsNull() && v.Kind() == TValueKind::kInteger && v.AsInteger() >= next_auto_inc_) {
      next_auto_inc_ = v.AsInteger() + 1;
    }
  }
  record.record_id = next_record_id_++;
  record.unique_record_id = next_unique_record_id_++;
  if (record.current.update_status == usDeleted) ++deleted_count_;
  records_.push_back(std::move(record));
}

}  // namespace tallyvox::mw
