// The audit table's dataset over the DBE table engine (dbe/dbe_engine.h): the table
// dataset `TDbeTable` with the operations the monitor's audit write uses: `Active`,
// `TableName`, `DatabaseName`, `EditRecord`, `SetFieldText`, `SetFieldFloat`,
// `PostRecord`. This is the audit module's public header: it also brings the engine
// settings component (audit/dbe_settings.h), the connection list
// (audit/connection_list.h) and the exceptions (audit/dbe_error.h).
//
// Errors: every failure raises EDbeDatabaseError, except a field that is not found and a
// change to a read-only table (EDatabaseError); the message starts with the dataset's
// name and ": " ("DbeTable1: ...").
//
// Not thread-safe: one TDbeTable is used by one thread at a time. The process-wide
// connection list is shared and locked.
#ifndef TALLYVOX_AUDIT_DBE_TABLE_H_
#define TALLYVOX_AUDIT_DBE_TABLE_H_

#include <cstdint>
#include <string>
#include <vector>

#include "audit/connection_list.h"
#include "audit/dbe_error.h"
#include "audit/dbe_settings.h"
#include "dbe/dbe_engine.h"

namespace tallyvox::audit {

enum class TDataSetState { dsInactive, dsBrowse, dsEdit, dsInsert };

enum class TFieldType {
  ftUnknown,
  ftString,
  ftSmallint,
  ftInteger,
  ftFloat,
  ftBoolean,
  ftDate,
  ftTime,
  ftDateTime,
  ftMemo,
  ftBlob,
  ftGraphic,
  ftAutoInc,
  ftBytes,
  ftCurrency,
};

// One engine field as the open table describes it.
struct TDbeFieldDef {
  uint32_t number = 0;  // 1-based
  std::string name;
  uint16_t engine_type = 0;
  uint32_t length = 0;
  uint16_t decimals = 0;
  uint32_t offset = 0;  // in the raw record buffer
  uint16_t permissions = 0;
  TFieldType data_type = TFieldType::ftUnknown;
  bool modified = false;
};

// A field's type as its xBase letter and size, for listings ("C 64", "N 20.10").
std::string FieldTypeText(const TDbeFieldDef& field);

class TDbeTable {
 public:
  explicit TDbeTable(std::string name = "DbeTable1", std::string owner_name = "Form1");
  // Closes the table (swallowing errors); a record lock still held is released.
  ~TDbeTable();
  TDbeTable(const TDbeTable&) = delete;
  TDbeTable& operator=(const TDbeTable&) = delete;

  bool Active() const { return state_ != TDataSetState::dsInactive; }
  // true opens the table and moves to the first visible record; false closes it
  // (abandoning an unposted edit and its lock).
  void SetActive(bool active);
  const std::string& TableName() const { return table_name_; }
  // REQUIRES: closed, else EDbeDatabaseError "Cannot perform this operation on an open
  // dataset".
  void SetTableName(const std::string& name);
  const std::string& DatabaseName() const { return database_name_; }
  void SetDatabaseName(const std::string& name);

  // Puts the current record into edit mode (locking it), or starts a new record when
  // the table has no visible record. Nothing happens in edit or insert mode.
  void EditRecord();
  // Sets a field of the record being edited, found by name without regard to case.
  void SetFieldText(const std::string& name, const std::string& text);
  void SetFieldFloat(const std::string& name, double value);
  // Writes the record; in edit mode releases the lock afterwards. A new record is
  // written under the engine's append lock: when another user has given the table a
  // visible record since it was found empty, that record is edited instead of a second
  // one appended. A failure leaves the dataset in its mode (and an edit's lock held) so
  // that the next write retries.
  void PostRecord();

  TDataSetState State() const { return state_; }
  const std::string& Name() const { return name_; }
  const std::vector<TDbeFieldDef>& Fields() const { return fields_; }
  // The current record's number, 0 without one.
  uint32_t RecordNumber() const { return record_number_; }
  // The readable value of a field of the current record buffer.
  std::string FieldText(const std::string& name) const;
  // The full path of the open table file.
  const std::string& TablePath() const { return table_path_; }

  // Browsing the visible records in record-number order (for listings). REQUIRES: open,
  // in browse mode. Eof() is true when there is no current record.
  void First();
  void Next();
  bool Eof() const { return record_number_ == 0; }

 private:
  void Open();
  void Close();
  void LearnLayout();
  void GoFirst();
  // The first visible record's number (0 without one), its bytes read into *record.
  uint32_t FindFirstVisible(std::vector<uint8_t>* record);
  // Writes the modified fields of the record buffer into the engine's current record,
  // then the record.
  void WriteFields();
  // PostRecord of a new record, under the append lock; returns its number.
  uint32_t PostNewRecord();
  void Check(dbe::DbeResult result) const { Raise(EngineStatus(result)); }
  // Raises EDbeDatabaseError with the status's code and message unless it is OK.
  void Raise(const Status& status) const;
  [[noreturn]] void RaiseEngine(uint32_t code, const std::string& text) const;
  // A refusal of the dataset itself: EDbeDatabaseError with code 0.
  [[noreturn]] void Refuse(const std::string& text) const;
  // The runtime's database error (missing field, read-only table).
  [[noreturn]] void RaiseDataSet(const std::string& text) const;
  void CheckInactive() const;
  TDbeFieldDef& FieldForSetting(const std::string& name);
  void StoreNumeric(TDbeFieldDef& field, double value);

  std::string name_;
  std::string owner_name_;
  std::string table_name_;
  std::string database_name_;
  std::string folder_;
  std::string table_path_;
  TDataSetState state_ = TDataSetState::dsInactive;
  dbe::DbeHandle connection_ = 0;
  dbe::DbeHandle table_ = 0;
  uint32_t record_length_ = 0;
  uint32_t open_options_ = 0;
  uint32_t index_page_size_ = 512;
  uint32_t bookmark_length_ = 0;
  std::vector<TDbeFieldDef> fields_;
  std::vector<uint8_t> buffer_;      // raw record being shown or edited
  std::vector<uint8_t> old_buffer_;  // the record as it was when editing started
  uint32_t record_number_ = 0;
  uint32_t appended_record_ = 0;  // record appended by an insert whose write failed
};

}  // namespace tallyvox::audit

#endif  // TALLYVOX_AUDIT_DBE_TABLE_H_
