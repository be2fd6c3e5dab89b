#include "audit/dbe_table.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstring>

#include "audit/field_format.h"
#include "base/text.h"
#include "dbe/dbf_format.h"

namespace tallyvox::audit {

using namespace tallyvox::dbe;

namespace {

TFieldType DataType(uint16_t engine_type, uint32_t length, uint16_t decimals) {
  switch (engine_type) {
    case kDbeTypeNumeric:
      return decimals > 0 || length > 4 ? TFieldType::ftFloat : TFieldType::ftSmallint;
    case kDbeTypeDouble:
      return TFieldType::ftFloat;
    case kDbeTypeString:
    case kDbeTypeVarChar:
      return TFieldType::ftString;
    case kDbeTypeLogical:
      return TFieldType::ftBoolean;
    case kDbeTypeDate:
      return TFieldType::ftDate;
    case kDbeTypeMemo:
      return TFieldType::ftMemo;
    case kDbeTypeBinary:
      return TFieldType::ftBlob;
    case kDbeTypeImage:
      return TFieldType::ftGraphic;
    case kDbeTypeInteger:
      return TFieldType::ftInteger;
    case kDbeTypeTime:
      return TFieldType::ftTime;
    case kDbeTypeTimestamp:
      return TFieldType::ftDateTime;
    case kDbeTypeAutoInc:
      return TFieldType::ftAutoInc;
    case kDbeTypeRaw:
      return TFieldType::ftBytes;
    case kDbeTypeCurrency:
      return TFieldType::ftCurrency;
    default:
      return TFieldType::ftUnknown;
  }
}

// Fields the dataset never sends to the engine when posting.
bool SkippedOnPost(uint16_t engine_type) {
  return engine_type == kDbeTypeMemo || engine_type == kDbeTypeBinary ||
         engine_type == kDbeTypeImage || engine_type == kDbeTypeVarChar ||
         engine_type == kDbeTypeAutoInc;
}

// The xBase letter of an engine type, for showing a field's value.
DbfField AsDbfField(const TDbeFieldDef& f) {
  DbfField d;
  d.name = f.name;
  d.length = f.length;
  d.decimals = static_cast<uint8_t>(f.decimals);
  switch (f.engine_type) {
    case kDbeTypeString:
      d.type = 'C';
      break;
    case kDbeTypeNumeric:
      d.type = 'N';
      break;
    case kDbeTypeDouble:
      d.type = 'B';
      break;
    case kDbeTypeInteger:
      d.type = 'I';
      break;
    case kDbeTypeLogical:
      d.type = 'L';
      break;
    case kDbeTypeDate:
      d.type = 'D';
      break;
    case kDbeTypeTimestamp:
      d.type = 'T';
      break;
    case kDbeTypeCurrency:
      d.type = 'Y';
      break;
    case kDbeTypeMemo:
      d.type = 'M';
      break;
    default:
      d.type = 'W';
      break;
  }
  return d;
}

}  // namespace

// ---- Table dataset ---------------------------------------------------------------------

TDbeTable::TDbeTable(std::string name, std::string owner_name)
    : name_(std::move(name)), owner_name_(std::move(owner_name)) {}

TDbeTable::~TDbeTable() { Close(); }

[[noreturn]] void TDbeTable::RaiseEngine(uint32_t code, const std::string& text) const {
  throw EDbeDatabaseError(code, text, {name_, owner_name_, database_name_, folder_, table_name_});
}

[[noreturn]] void TDbeTable::Refuse(const std::string& text) const { RaiseEngine(0, text); }

[[noreturn]] void TDbeTable::RaiseDataSet(const std::string& text) const {
  throw EDatabaseError(name_ + ": " + text);
}

void TDbeTable::Raise(const Status& status) const {
  if (!status.ok()) RaiseEngine(static_cast<uint32_t>(status.code()), status.message());
}

void TDbeTable::CheckInactive() const {
  if (Active()) Refuse("Cannot perform this operation on an open dataset");
}

void TDbeTable::SetTableName(const std::string& name) {
  CheckInactive();
  table_name_ = name;
}

void TDbeTable::SetDatabaseName(const std::string& name) {
  CheckInactive();
  database_name_ = name;
}

void TDbeTable::SetActive(bool active) {
  if (active == Active()) return;
  if (active) {
    Open();
  } else {
    Close();
  }
}

void TDbeTable::Open() {
  if (table_ != 0) RaiseEngine(0, "Table is already open.");
  if (table_name_.empty()) RaiseEngine(0, "Missing TableName property");
  if (database_name_.empty()) {
    RaiseEngine(0,
                "One of the DatabaseName property or the DbeConnection property must have a "
                "value.");
  }
  folder_ = ResolveDatabaseFolder(database_name_);
  table_path_ = folder_ == "/" ? "/" + table_name_ : folder_ + "/" + table_name_;
  DbeHandle connection = 0;
  Check(TDbeConnectionList::Instance().Acquire(folder_, &connection));
  if (connection == 0) RaiseEngine(0, "Internal Error: invalid connection handle.");
  connection_ = connection;
  DbeHandle table = 0;
  Check(DbeOpenTable(connection_, table_path_.c_str(), nullptr, kDbeTableCdx, 1, 1, 1, 0, &table));
  table_ = table;
  try {
    LearnLayout();
    GoFirst();
  } catch (...) {
    DbeCloseTable(table_);
    table_ = 0;
    fields_.clear();
    throw;
  }
  state_ = TDataSetState::dsBrowse;
}

void TDbeTable::Close() {
  if (table_ == 0) {
    state_ = TDataSetState::dsInactive;
    return;
  }
  // Errors on the way out are swallowed: closing the file releases every lock anyway.
  if (state_ == TDataSetState::dsEdit && record_number_ != 0) {
    DbeUnlockRecord(table_, record_number_);
  }
  DbeCloseTable(table_);
  table_ = 0;
  state_ = TDataSetState::dsInactive;
  fields_.clear();
  buffer_.clear();
  old_buffer_.clear();
  record_number_ = 0;
  appended_record_ = 0;
}

void TDbeTable::LearnLayout() {
  Check(DbeGetRecordLength(table_, &record_length_));
  Check(DbeGetTableOpenOptions(table_, &open_options_));
  index_page_size_ = 512;
  {
    DbeHandle index = 0;
    uint16_t count = 1;
    uint32_t page_size = 0;
    if (DbeGetAllIndexes(table_, &index, &count) == kDbeSuccess && count > 0 &&
        DbeGetIndexPageSize(index, &page_size) == kDbeSuccess) {
      index_page_size_ = page_size;
    }
  }
  Check(DbeGetBookmarkLength(table_, &bookmark_length_));
  uint16_t count = 0;
  Check(DbeGetNumFields(table_, &count));
  fields_.clear();
  for (uint32_t n = 1; n <= count; ++n) {
    TDbeFieldDef f;
    f.number = n;
    Check(DbeGetFieldType(table_, n, &f.engine_type));
    Check(DbeGetFieldLength(table_, n, &f.length));
    Check(DbeGetFieldDecimals(table_, n, &f.decimals));
    char name[129];
    uint16_t name_length = sizeof name;
    Check(DbeGetFieldName(table_, n, name, &name_length));
    f.name.assign(name, name_length);
    Check(DbeGetFieldOffset(table_, n, &f.offset));
    Check(DbeGetColumnPermissions(table_, n, &f.permissions));
    if (f.offset == 0 || f.length > record_length_ || f.offset > record_length_ - f.length) {
      RaiseEngine(0, "Field " + f.name + " lies outside the record buffer.");
    }
    f.data_type = DataType(f.engine_type, f.length, f.decimals);
    fields_.push_back(std::move(f));
  }
  // The index orders (this engine reports none; the monitor uses none).
  DbeHandle indexes[50];
  uint16_t index_count = 50;
  Check(DbeGetAllIndexes(table_, indexes, &index_count));
  for (uint16_t i = 0; i < index_count && i < 50; ++i) {
    char text[260];
    uint16_t length = sizeof text;
    uint16_t segments = 0, flag = 0;
    Check(DbeGetIndexName(indexes[i], text, &length));
    Check(DbeGetNumSegments(indexes[i], &segments));
    for (uint16_t s = 1; s <= segments; ++s) {
      length = sizeof text;
      Check(DbeGetSegmentFieldname(indexes[i], s, text, &length));
    }
    Check(DbeIsIndexDescending(indexes[i], &flag));
    Check(DbeIsIndexUnique(indexes[i], &flag));
  }
  buffer_.assign(record_length_, ' ');
}

void TDbeTable::GoFirst() { record_number_ = FindFirstVisible(&buffer_); }

uint32_t TDbeTable::FindFirstVisible(std::vector<uint8_t>* record) {
  record->resize(record_length_);
  Check(DbeGotoTop(table_));
  Check(DbeSkip(table_, -1));
  for (;;) {
    Check(DbeSkip(table_, 1));
    uint16_t eof = 0, bof = 0, visible = 0;
    Check(DbeAtEOF(table_, &eof));
    if (eof) return 0;
    Check(DbeAtBOF(table_, &bof));
    const DbeResult r = DbeIsRecordVisible(table_, &visible);
    if (r != kDbeErrNoCurrentRecord) Check(r);
    if (!visible) continue;
    uint32_t length = record_length_;
    Check(DbeGetRecord(table_, record->data(), &length));
    uint32_t number = 0;
    Check(DbeGetBookmark60(table_, &number));
    return number;
  }
}

void TDbeTable::EditRecord() {
  if (state_ == TDataSetState::dsEdit || state_ == TDataSetState::dsInsert) return;
  if (!Active()) Refuse("Cannot perform this operation on a closed dataset");
  if (record_number_ == 0) {
    Check(DbeClearRecordBuffer(table_, buffer_.data(), record_length_));
    old_buffer_ = buffer_;
    for (TDbeFieldDef& f : fields_) f.modified = false;
    appended_record_ = 0;
    state_ = TDataSetState::dsInsert;
    return;
  }
  if (open_options_ & kDbeOptionReadOnly) RaiseDataSet("Cannot modify a read-only dataset");
  if ((open_options_ & kDbeOptionUpdateRight) == 0) {
    Raise(Status::Error(kDbeErrPermission, "Update permission not granted on this table."));
  }
  const DbeResult locked = DbeLockRecord(table_, record_number_);
  if (locked == kDbeErrStaticView) {
    RaiseEngine(locked, "This table is based on a static VIEW. Static VIEWs can not be updated.");
  }
  Check(locked);
  try {
    Check(DbeGotoRecord(table_, record_number_));
    uint32_t length = record_length_;
    Check(DbeGetRecord(table_, buffer_.data(), &length));
  } catch (...) {
    DbeUnlockRecord(table_, record_number_);  // keep no lock for an edit never started
    throw;
  }
  old_buffer_ = buffer_;
  for (TDbeFieldDef& f : fields_) f.modified = false;
  state_ = TDataSetState::dsEdit;
}

TDbeFieldDef& TDbeTable::FieldForSetting(const std::string& name) {
  auto it = std::find_if(fields_.begin(), fields_.end(),
                         [&](const TDbeFieldDef& f) { return SameText(f.name, name); });
  if (it == fields_.end()) RaiseDataSet("Field '" + name + "' not found");
  if (state_ != TDataSetState::dsEdit && state_ != TDataSetState::dsInsert) {
    Refuse("Dataset not in edit mode");
  }
  if (state_ == TDataSetState::dsEdit && (it->permissions & kDbePermUpdate) == 0) {
    Raise(Status::Error(kDbeErrPermission,
                        "Update permission not granted on this field: " + it->name + "."));
  }
  if (state_ == TDataSetState::dsInsert && (it->permissions & kDbePermInsert) == 0) {
    Raise(Status::Error(kDbeErrPermission,
                        "Insert permission not granted on this field: " + it->name + "."));
  }
  return *it;
}

void TDbeTable::StoreNumeric(TDbeFieldDef& field, double value) {
  uint8_t* dest = buffer_.data() + field.offset;
  switch (field.engine_type) {
    case kDbeTypeNumeric: {
      std::string text;
      if (!FormatNumericField(value, field.length, field.decimals, &text)) {
        Raise(Status::Error(kDbeErrFieldValue, "Numeric out of range."));
      }
      std::memcpy(dest, text.data(), field.length);
      break;
    }
    case kDbeTypeDouble:
      if (field.length != 8) Refuse("Field '" + field.name + "' has no room for a double");
      DoubleToBytes(value, dest);
      break;
    case kDbeTypeInteger: {
      const double r = std::round(value);
      if (!(r >= INT32_MIN && r <= INT32_MAX) || field.length != 4) {
        Raise(Status::Error(kDbeErrFieldValue, "Numeric out of range."));
      }
      const auto v = static_cast<uint32_t>(static_cast<int32_t>(r));
      for (int i = 0; i < 4; ++i) dest[i] = static_cast<uint8_t>(v >> (8 * i));
      break;
    }
    default:
      Refuse("Field '" + field.name + "' cannot hold a number");
  }
}

void TDbeTable::SetFieldText(const std::string& name, const std::string& text) {
  TDbeFieldDef& field = FieldForSetting(name);
  uint8_t* dest = buffer_.data() + field.offset;
  switch (field.engine_type) {
    case kDbeTypeString: {
      std::memset(dest, ' ', field.length);
      std::memcpy(dest, text.data(), std::min<size_t>(text.size(), field.length));
      break;
    }
    case kDbeTypeNumeric:
    case kDbeTypeDouble:
    case kDbeTypeInteger: {
      double value = 0;
      if (text.find_first_not_of(' ') == std::string::npos) {
        std::memset(dest, field.engine_type == kDbeTypeNumeric ? ' ' : 0, field.length);
        break;
      }
      if (!ParseFloatText(text, &value)) {
        Refuse("'" + text.substr(0, 64) + "' is not a valid floating point value");
      }
      StoreNumeric(field, value);
      break;
    }
    case kDbeTypeLogical: {
      if (text.size() > 1 || (text.size() == 1 && !std::strchr("TtFfYyNn?", text[0]))) {
        Refuse("'" + text.substr(0, 64) + "' is not a valid boolean value");
      }
      dest[0] = text.empty() ? ' ' : static_cast<uint8_t>(std::toupper(text[0]));
      break;
    }
    case kDbeTypeDate: {
      const bool digits = text.size() == 8 && std::all_of(text.begin(), text.end(), [](char c) {
                            return c >= '0' && c <= '9';
                          });
      if (!text.empty() && !digits) {
        Refuse("'" + text.substr(0, 64) + "' is not a valid date (YYYYMMDD)");
      }
      std::memset(dest, ' ', field.length);
      std::memcpy(dest, text.data(), std::min<size_t>(text.size(), field.length));
      break;
    }
    default:
      Refuse("Field '" + field.name + "' cannot be set from text");
  }
  field.modified = true;
}

void TDbeTable::SetFieldFloat(const std::string& name, double value) {
  TDbeFieldDef& field = FieldForSetting(name);
  if (field.engine_type == kDbeTypeString) {
    const std::string text = FloatToText(value);
    uint8_t* dest = buffer_.data() + field.offset;
    std::memset(dest, ' ', field.length);
    std::memcpy(dest, text.data(), std::min<size_t>(text.size(), field.length));
  } else {
    StoreNumeric(field, value);
  }
  field.modified = true;
}

void TDbeTable::WriteFields() {
  for (auto it = fields_.rbegin(); it != fields_.rend(); ++it) {
    const TDbeFieldDef& f = *it;
    if (!f.modified || SkippedOnPost(f.engine_type)) continue;
    const uint8_t* bytes = buffer_.data() + f.offset;
    if (f.engine_type == kDbeTypeString) {
      if (std::all_of(bytes, bytes + f.length, [](uint8_t c) { return c == ' '; })) {
        Check(DbeSetEmpty(table_, f.number));
      } else {
        Check(DbeSetField(table_, f.number, bytes, f.length));
      }
    } else {
      Check(DbeSetFieldRaw(table_, f.number, bytes, f.length));
    }
  }
  Check(DbeWriteRecord(table_));
}

uint32_t TDbeTable::PostNewRecord() {
  if (appended_record_ != 0) {
    // An earlier post appended the record and failed later: store into that record
    // instead of appending a second one.
    Check(DbeGotoRecord(table_, appended_record_));
    WriteFields();
    return appended_record_;
  }
  // Another user of the table (a second monitor) may have given it a record since this
  // dataset found it empty. Every first write looks again under the append lock, so the
  // later of two writers edits the record the earlier one appended.
  Check(DbeLockAppend(table_));
  struct AppendUnlock {
    DbeHandle table;
    ~AppendUnlock() { DbeUnlockAppend(table); }
  } unlock{table_};
  std::vector<uint8_t> existing;
  const uint32_t found = FindFirstVisible(&existing);
  if (found == 0) {
    Check(DbeAppendRecord(table_));
    uint32_t record = 0;
    Check(DbeGetRecordNum(table_, 2, &record));
    appended_record_ = record;
    WriteFields();
    return record;
  }
  Check(DbeLockRecord(table_, found));
  try {
    Check(DbeGotoRecord(table_, found));
    WriteFields();
  } catch (...) {
    DbeUnlockRecord(table_, found);  // the retry looks again and locks again
    throw;
  }
  Check(DbeUnlockRecord(table_, found));
  return found;
}

void TDbeTable::PostRecord() {
  if (state_ != TDataSetState::dsEdit && state_ != TDataSetState::dsInsert) return;
  uint32_t record = record_number_;
  if (state_ == TDataSetState::dsEdit) {
    Check(DbeGotoRecord(table_, record));
    WriteFields();
    Check(DbeUnlockRecord(table_, record));
  } else {
    record = PostNewRecord();
  }
  state_ = TDataSetState::dsBrowse;
  appended_record_ = 0;
  record_number_ = record;
  for (TDbeFieldDef& f : fields_) f.modified = false;
  uint32_t length = record_length_;
  Check(DbeGetRecord(table_, buffer_.data(), &length));
}

void TDbeTable::First() {
  if (state_ != TDataSetState::dsBrowse) Refuse("Dataset not in browse mode");
  GoFirst();
}

void TDbeTable::Next() {
  if (state_ != TDataSetState::dsBrowse) Refuse("Dataset not in browse mode");
  if (record_number_ == 0) return;
  Check(DbeGotoRecord(table_, record_number_));
  Check(DbeSkip(table_, 1));
  record_number_ = 0;
  uint16_t eof = 0;
  Check(DbeAtEOF(table_, &eof));
  if (eof) return;
  uint32_t length = record_length_;
  Check(DbeGetRecord(table_, buffer_.data(), &length));
  Check(DbeGetBookmark60(table_, &record_number_));
}

std::string FieldTypeText(const TDbeFieldDef& field) {
  const DbfField d = AsDbfField(field);
  std::string text(1, d.type);
  text += " " + std::to_string(field.length);
  if (d.type == 'N' && field.decimals > 0) text += "." + std::to_string(field.decimals);
  return text;
}

std::string TDbeTable::FieldText(const std::string& name) const {
  auto it = std::find_if(fields_.begin(), fields_.end(),
                         [&](const TDbeFieldDef& f) { return SameText(f.name, name); });
  if (it == fields_.end()) RaiseDataSet("Field '" + name + "' not found");
  return FieldValueText(AsDbfField(*it), buffer_.data() + it->offset);
}

}  // namespace tallyvox::audit
