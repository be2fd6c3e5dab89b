// TCustomMemTable: the in-memory table that a dataset block is saved from and
// loaded into (dataset_stream_format.h). It holds exactly what the block
// carries: fields with their definition attributes, index definitions, records
// in order with their update status and older versions, blob contents, and the
// counters and events of saving and loading.
//
// Values. Each record holds one TFieldValue per field, in field order; a value
// is null or of the kind the field's type stores (StorageKindOf):
//   kInteger  SmallInt, Integer, Word, AutoInc, LargeInt; Currency and BCD as
//             a fixed-point amount with 4 decimals (12.3456 is 123456)
//   kBoolean  Boolean
//   kFloat    Float; Date, Time, DateTime as days since 1899-12-30
//   kText     8-bit text in Windows-1252 (String, FixedChar, Bytes, VarBytes,
//             Guid, SQLTimeStamp, ...); WideString as UTF-8; blob fields
//             (Blob, Memo, Graphic, FmtMemo, ...) as their raw content;
//             FMTBcdField as its 34-byte decimal record
// Integer values are checked against the field's range (SmallInt, Word,
// Integer, AutoInc: 16/16-unsigned/32 bits) when they enter the table.
//
// Versions. A record's older versions are kept newest first. EditRecord and
// DeleteRecord push the current version there; a record whose oldest version
// was inserted and is now modified or deleted is recognised by the save rules.
//
// Thread safety: one thread at a time; Lock() is held by every save and load.
#ifndef TALLYVOX_MIDDLEWARE_WIRE_MEMORY_TABLE_H_
#define TALLYVOX_MIDDLEWARE_WIRE_MEMORY_TABLE_H_

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "base/mutex.h"

namespace tallyvox::mw {

// The platform's field type enumeration; the block carries the names.
enum TFieldType : int32_t {
  ftUnknown = 0,
  ftString,
  ftSmallInt,
  ftInteger,
  ftWord,
  ftBoolean,
  ftFloat,
  ftCurrency,
  ftBCD,
  ftDate,
  ftTime,
  ftDateTime,
  ftBytes,
  ftVarBytes,
  ftAutoInc,
  ftBlob,
  ftMemo,
  ftGraphic,
  ftFmtMemo,
  ftParadoxOle,
  ftDBaseOle,
  ftTypedBinary,
  ftCursor,
  ftFixedChar,
  ftWideString,
  ftLargeInt,
  ftADT,
  ftArray,
  ftReference,
  ftDataSet,
  ftHugeBlob,
  ftHugeClob,
  ftVariant,
  ftInterface,
  ftDispatch,
  ftGuid,
  ftSQLTimeStamp,
  ftFMTBcdField,
};
inline constexpr int kFieldTypeCount = 38;

// "Unknown", "String", ... "FMTBcdField"; empty for codes outside 0..37.
std::string_view FieldTypeName(TFieldType type);
// The first type whose name equals `name` (exactly, or ignoring ASCII case).
std::optional<TFieldType> FindFieldType(std::string_view name, bool ignore_case);
// Types a block reader accepts (all but Unknown, Cursor, Reference, DataSet,
// Variant, Interface, Dispatch).
bool IsAcceptedFieldType(TFieldType type);
// Blob, Memo, Graphic, FmtMemo, ParadoxOle, dBaseOle, TypedBinary, HugeBlob, HugeClob.
bool IsBlobFieldType(TFieldType type);

enum TFieldKind : int32_t {
  fkData = 0,
  fkCalculated = 1,
  fkLookup = 2,
  fkInternalCalc = 3,
  fkAggregate = 4,
};
// "Data", "Calculated", "Lookup", "InternalCalc", "Aggregate".
std::string_view FieldKindName(TFieldKind kind);
// The kind of that name; fkData for any other name.
TFieldKind FieldKindFromName(std::string_view name);

enum TUpdateStatus : int32_t {
  usUnmodified = 0,
  usModified = 1,
  usInserted = 2,
  usDeleted = 3,
};

// Provider flags of a field.
enum : uint32_t {
  pfInUpdate = 1u << 0,
  pfInWhere = 1u << 1,
  pfInKey = 1u << 2,
  pfHidden = 1u << 3,
};
// Index options.
enum : uint32_t {
  ixUnique = 1u << 1,
  ixDescending = 1u << 2,
  ixCaseInsensitive = 1u << 3,
  ixNonMaintained = 1u << 5,
};

enum class TValueKind { kNull, kInteger, kBoolean, kFloat, kText };
TValueKind StorageKindOf(TFieldType type);

// One field value: null, or an integer, boolean, float or text (bytes).
class TFieldValue {
 public:
  TFieldValue() = default;  // null
  static TFieldValue Integer(int64_t v) { return TFieldValue(Storage(v)); }
  static TFieldValue Boolean(bool v) { return TFieldValue(Storage(v)); }
  static TFieldValue Float(double v) { return TFieldValue(Storage(v)); }
  static TFieldValue Text(std::string v) { return TFieldValue(Storage(std::move(v))); }

  TValueKind Kind() const { return static_cast<TValueKind>(value_.index()); }
  bool IsNull() const { return value_.index() == 0; }
  // Each accessor REQUIRES the matching kind; a mismatch raises EMemTableError.
  int64_t AsInteger() const;
  bool AsBoolean() const;
  double AsFloat() const;
  const std::string& AsText() const;

  bool operator==(const TFieldValue& other) const = default;

 private:
  using Storage = std::variant<std::monostate, int64_t, bool, double, std::string>;
  explicit TFieldValue(Storage v) : value_(std::move(v)) {}
  Storage value_;
};

// A field and its definition attributes.
struct TField {
  std::string name;
  TFieldType type = ftString;
  int32_t size = 0;
  TFieldKind kind = fkData;
  bool visible = true;
  std::string display_label;
  std::string edit_mask;
  int32_t display_width = 0;
  bool required = false;
  bool read_only = false;
  std::string default_expression;
  std::string origin;
  uint32_t provider_flags = pfInUpdate | pfInWhere;
};

struct TIndexDef {
  std::string name;
  std::string fields;  // field names separated by ";"
  std::string display_name;
  uint32_t options = 0;  // ix* bits
};

struct TRecordVersion {
  TUpdateStatus update_status = usUnmodified;
  std::vector<TFieldValue> values;  // one per field
};

struct TMemRecord {
  int32_t record_id = 0;         // given by the table, saved with the record
  int32_t unique_record_id = 0;  // given by the table
  int32_t tag = 0;               // the record id the record had in the block it came from
  TRecordVersion current;
  std::vector<TRecordVersion> older_versions;  // newest first
};

// A switchable restriction on which records the table shows (filter, range,
// master-detail link). Only saving consults it here.
struct TRecordRestriction {
  bool active = false;
  std::function<bool(const TMemRecord&)> accepts;
  bool Rejects(const TMemRecord& record) const { return active && accepts && !accepts(record); }
};

class TCustomMemTable {
 public:
  using TTableEvent = std::function<void(TCustomMemTable&)>;
  // Set *accept to false to veto the record.
  using TRecordEvent = std::function<void(TCustomMemTable&, const TMemRecord&, bool* accept)>;
  using TProgressEvent = std::function<void(TCustomMemTable&, int percent)>;

  TCustomMemTable() = default;
  virtual ~TCustomMemTable() = default;
  TCustomMemTable(const TCustomMemTable&) = delete;
  TCustomMemTable& operator=(const TCustomMemTable&) = delete;

  // --- Fields ------------------------------------------------------------
  // Adds a field at the end; existing records get a null value for it.
  // REQUIRES: no field of that name (ignoring case); raises EMemTableError.
  TField& AddField(TField field);
  // Closes the table and removes every field.
  void ClearFields();
  int FieldCount() const { return static_cast<int>(fields_.size()); }
  const std::vector<TField>& Fields() const { return fields_; }
  // REQUIRES: 0 <= index < FieldCount().
  TField& Field(int index) { return fields_.at(index); }
  const TField& Field(int index) const { return fields_.at(index); }
  // Case-insensitive lookup; -1 / nullptr when absent.
  int FieldIndex(std::string_view name) const;
  TField* FindField(std::string_view name);
  // Raises EMemTableError "Field 'x' not found" when absent.
  TField& FieldByName(std::string_view name);

  std::vector<TIndexDef>& IndexDefs() { return index_defs_; }
  const std::vector<TIndexDef>& IndexDefs() const { return index_defs_; }

  // --- State -------------------------------------------------------------
  // Open and Close raise the before/after events. Close drops every record
  // and resets the counters; fields and index definitions stay. They are not
  // virtual: loading a block calls these (a rebuild of the definitions closes
  // and reopens the table), never a subclass's own opening logic.
  void Open();
  void Close();
  bool Active() const { return active_; }
  TTableEvent BeforeOpen, AfterOpen, BeforeClose, AfterClose;

  // --- Records -----------------------------------------------------------
  // Every stored record, deleted ones included, in table order.
  int RecordCount() const { return static_cast<int>(records_.size()); }
  const TMemRecord& Record(int row) const { return records_.at(row); }
  const std::vector<TMemRecord>& Records() const { return records_; }
  // REQUIRES: valid row and field.
  const TFieldValue& Value(int row, int field) const;
  const TFieldValue& Value(int row, std::string_view field_name) const;

  // Appends a record with the given status. Missing trailing values are null;
  // a null AutoInc value receives the next auto-increment value. Opens the
  // table when it is closed. Returns the row. Raises EMemTableError for a
  // value of the wrong kind or range, or more values than fields.
  int AppendRecord(std::vector<TFieldValue> values, TUpdateStatus status = usUnmodified);
  // Replaces one value in place (no new version).
  void SetValue(int row, int field, TFieldValue value);
  // A new version with status modified; the current one becomes the newest older version.
  void EditRecord(int row, std::vector<TFieldValue> values);
  // A new version with status deleted (same values); counts in DeletedCount().
  void DeleteRecord(int row);
  // Drops every record (the table stays open).
  void EmptyTable();

  // For the block loader: appends a fully built record, giving it new record
  // ids, raising the auto-increment counter past its AutoInc values and
  // counting a deleted record. REQUIRES: values already checked (CheckValue).
  void AppendLoadedRecord(TMemRecord record);
  // Raises EMemTableError when `value` does not suit `field`.
  static void CheckValue(const TField& field, const TFieldValue& value);

  // --- Counters ----------------------------------------------------------
  int32_t NextRecordId() const { return next_record_id_; }
  int64_t NextAutoIncValue() const { return next_auto_inc_; }
  int DeletedCount() const { return deleted_count_; }
  // Records written by the latest save.
  int SaveCount() const { return save_count_; }
  // The cursor: the current row, reset to the first record after every load.
  int CurrentRow() const { return current_row_; }
  void First() { current_row_ = 0; }

  // --- Saving and loading --------------------------------------------------
  int SaveLimit = 0;  // > 0: at most that many records per save
  int LoadLimit = 0;  // > 0: at most that many records per load
  bool SavedCompletely = true;
  bool LoadedCompletely = true;
  TRecordEvent OnSaveRecord;
  TRecordEvent OnLoadRecord;
  TProgressEvent OnProgress;  // saving: every 100 records examined
  TRecordRestriction Filter, Range, MasterDetail;

  // Held by the stream format for one whole save or load of the table (a
  // transfer never calls back into another; the table's other members are
  // not guarded by it).
  Mutex* Lock() RETURN_CAPABILITY(mutex_) { return &mutex_; }

  // Used by the stream format.
  void ResetSaveCount() { save_count_ = 0; }
  void CountSaved() { ++save_count_; }

 private:
  void CheckValues(const std::vector<TFieldValue>& values) const;
  std::vector<TFieldValue> Normalised(std::vector<TFieldValue> values) const;

  std::vector<TField> fields_;
  std::vector<TIndexDef> index_defs_;
  std::vector<TMemRecord> records_;
  bool active_ = false;
  int32_t next_record_id_ = 0;
  int32_t next_unique_record_id_ = 0;
  int64_t next_auto_inc_ = 1;
  int deleted_count_ = 0;
  int save_count_ = 0;
  int current_row_ = 0;
  Mutex mutex_;
};

}  // namespace tallyvox::mw

#endif  // TALLYVOX_MIDDLEWARE_WIRE_MEMORY_TABLE_H_
