// The audit table's dataset over the DBE table engine (dbe/dbe_engine.h): the engine
// settings component `TDbeSettings` (one per program) and the table dataset `TDbeTable`
// with the operations the monitor's audit write uses: `Active`, `TableName`,
// `DatabaseName`, `EditRecord`, `SetFieldText`, `SetFieldFloat`, `PostRecord`.
//
// Errors: every failure raises EDatabaseError or its descendant EDbeDatabaseError; the
// message starts with the dataset's name and ": " ("DbeTable1: ...").
//
// Not thread-safe: one TDbeTable is used by one thread at a time. The process-wide
// connection list is shared and locked.
#ifndef TALLYVOX_AUDIT_DBE_TABLE_H_
#define TALLYVOX_AUDIT_DBE_TABLE_H_

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "dbe/dbe_engine.h"

namespace tallyvox::audit {

// The runtime's database error: refusals made by the dataset itself.
class EDatabaseError : public std::runtime_error {
 public:
  explicit EDatabaseError(const std::string& message) : std::runtime_error(message) {}
};

// A failure reported through the engine (or refused by the dataset on the engine's
// behalf). Message: "<dataset name>: <error text>", or the text alone without a dataset.
class EDbeDatabaseError : public EDatabaseError {
 public:
  struct Context {
    std::string dataset_name;   // "DbeTable1"
    std::string owner_name;     // "Form1"
    std::string database_name;  // DatabaseName as set
    std::string path;           // the resolved folder
    std::string table_name;
  };
  EDbeDatabaseError(uint32_t code, const std::string& text, Context context);

  uint32_t ErrorCode() const { return code_; }
  // From texts containing "ERROR 7200:" and "NATIVEERROR = <number>;", else 0.
  int NativeError() const { return native_error_; }
  const std::string& ErrorText() const { return text_; }
  const Context& Where() const { return context_; }
  // For codes 5147..5149: the name in double quotes after the word "column"; else empty.
  const std::string& ColumnName() const { return column_name_; }

 private:
  uint32_t code_;
  int native_error_ = 0;
  std::string text_;
  Context context_;
  std::string column_name_;
};

enum class TDbeServerType : uint16_t {
  stDBE_LOCAL = 1,
  stDBE_REMOTE = 2,
  stDBE_INTERNET = 4,
};
// A set of server types as bits of TDbeServerType.
using TDbeServerTypes = uint16_t;

// The program's short date format: the system's until TDbeSettings applies its own.
std::string ProgramShortDateFormat();
// The system's short date format in d/M/y notation ("MM/dd/yy" in the C locale).
std::string SystemShortDateFormat();

// Engine settings, process-wide. Creating one makes the start-up engine calls; the
// setters make the engine call of each value. Only one may exist at a time.
class TDbeSettings {
 public:
  // Throws EDatabaseError "Only one DbeSettings component is allowed per application"
  // while another exists, EDbeDatabaseError when the engine refuses a start-up call.
  TDbeSettings();
  ~TDbeSettings();
  TDbeSettings(const TDbeSettings&) = delete;
  TDbeSettings& operator=(const TDbeSettings&) = delete;

  // Applies the main window's stored values in order: DateFormat "MM/dd/yyyy",
  // NumDecimals 2, ShowDeleted false, DbeServerTypes local only.
  void ApplyStoredValues();

  const std::string& DateFormat() const { return date_format_; }
  // Also becomes the program's short date format.
  void SetDateFormat(const std::string& format);
  uint16_t NumDecimals() const { return num_decimals_; }
  void SetNumDecimals(uint16_t decimals);
  bool ShowDeleted() const { return show_deleted_; }
  void SetShowDeleted(bool show);
  TDbeServerTypes DbeServerTypes() const { return server_types_; }
  // Throws EDatabaseError "At least one server type must be selected." for an empty set.
  void SetDbeServerTypes(TDbeServerTypes types);
  int NumCachedTables() const { return num_cached_tables_; }
  void SetNumCachedTables(int count) { num_cached_tables_ = count; }
  int NumCachedCursors() const { return num_cached_cursors_; }
  void SetNumCachedCursors(int count) { num_cached_cursors_ = count; }

 private:
  std::string date_format_;
  uint16_t num_decimals_ = 2;
  bool show_deleted_ = false;
  TDbeServerTypes server_types_ = 0;
  int num_cached_tables_ = 0;
  int num_cached_cursors_ = 25;
};

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

// The folder a DatabaseName names: trailing path separators dropped ("/" stays "/").
std::string ResolveDatabaseFolder(const std::string& database_name);

// The process-wide list of engine connections keyed by the upper-cased folder.
class TDbeConnectionList {
 public:
  static TDbeConnectionList& Instance();
  // The folder's connection, connecting it first when it is not in the list.
  // Returns the engine result of DbeConnect (the handle untouched on failure).
  dbe::DbeResult Acquire(const std::string& folder, dbe::DbeHandle* connection);
  size_t Count();
  // Disconnects every connection (errors swallowed) and empties the list.
  void DisconnectAll();
};

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
  // REQUIRES: closed, else EDatabaseError "Cannot perform this operation on an open
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
  // Writes the record; in edit mode releases the lock afterwards. A failure leaves the
  // dataset in its mode (and the lock held) so that the next write retries.
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
  void Check(dbe::DbeResult result) const;
  [[noreturn]] void RaiseEngine(uint32_t code, const std::string& text) const;
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
