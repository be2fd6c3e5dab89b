#include "dbe/dbe_engine.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "base/mutex.h"
#include "dbe/dbf_format.h"
#include "dbe/env.h"
#include "dbe/field_codec.h"
#include "dbe/last_error.h"
#include "dbe/record_locks.h"
#include "dbe/table_file.h"

namespace tallyvox::dbe {

namespace {

// ---- Engine state ----------------------------------------------------------------------

struct Connection {
  std::string folder;
  std::set<DbeHandle> tables;
};

// Every call of the engine takes its lock for the whole call.
struct Engine {
  Mutex mutex;
  Env* env GUARDED_BY(mutex) = Env::Default();
  DbeHandle next_handle GUARDED_BY(mutex) = 1;
  std::map<DbeHandle, Connection> connections GUARDED_BY(mutex);
  std::map<DbeHandle, std::unique_ptr<Table>> tables GUARDED_BY(mutex);
  uint16_t cached_cursors GUARDED_BY(mutex) = 25;
  std::string date_format GUARDED_BY(mutex) = "MM/dd/ccyy";
  uint16_t decimals GUARDED_BY(mutex) = 2;
  bool show_deleted GUARDED_BY(mutex) = true;
  uint16_t server_types GUARDED_BY(mutex) = kDbeServerLocal | kDbeServerRemote | kDbeServerInternet;
};

// Never destroyed: tables may still be closed from static destructors at exit.
Engine& TheEngine() {
  static Engine* engine = new Engine;
  return *engine;
}

using Guard = MutexLock;

Table* FindTable(Engine& e, DbeHandle handle) REQUIRES(e.mutex) {
  auto it = e.tables.find(handle);
  return it == e.tables.end() ? nullptr : it->second.get();
}

bool Visible(const Engine& e, const std::vector<uint8_t>& record) REQUIRES(e.mutex) {
  return e.show_deleted || record.empty() || record[0] != '*';
}

const DbfField* FieldOf(const Table& t, uint32_t field) {
  if (field == 0 || field > t.header.fields.size()) return nullptr;
  return &t.header.fields[field - 1];
}

DbeResult BadField(const Table& t, uint32_t field) {
  return Fail(kDbeErrInvalidField,
              "Field number " + std::to_string(field) + " is not in the table: " + t.path);
}

DbeResult ReadOnlyTable(const Table& t) {
  return Fail(kDbeErrTableReadOnly, "The table cannot be modified: " + t.path);
}

// Checks that `t` has a current record that may be changed.
DbeResult CheckChangeable(const Table& t) {
  if (t.read_only || !t.update_right) return ReadOnlyTable(t);
  if (t.position != Position::kRecord) {
    return Fail(kDbeErrNoCurrentRecord, "There is no current record: " + t.path);
  }
  return kDbeSuccess;
}

// Checks as CheckChangeable before the current record's bytes change: from then on
// they are no longer the stored ones.
DbeResult BeginChange(Table& t) {
  if (DbeResult r = CheckChangeable(t)) return r;
  t.stored_under_lock = 0;
  return kDbeSuccess;
}

DbeResult CopyText(const std::string& text, char* buffer, uint16_t* length) {
  if (buffer == nullptr || length == nullptr) return MissingArgument();
  if (*length <= text.size()) {
    *length = static_cast<uint16_t>(std::min<size_t>(text.size(), 0xFFFF));
    return Fail(kDbeErrBufferTooSmall, "The buffer is too small for the value.");
  }
  std::memcpy(buffer, text.data(), text.size());
  buffer[text.size()] = '\0';
  *length = static_cast<uint16_t>(text.size());
  return kDbeSuccess;
}

// Runs `then(engine, table, taken_here)` under the engine lock once `table` holds the
// append lock (taken for it here unless it holds it already). Gives up with the lock
// error when kAppendLockWait is spent.
template <typename Then>
DbeResult WithAppendLock(DbeHandle handle, Then then) {
  return RetryWhileBusy(kAppendLockWait, [&](bool* busy) -> DbeResult {
    Engine& e = TheEngine();
    Guard g(&e.mutex);
    Table* t = FindTable(e, handle);
    if (t == nullptr) return BadHandle("table");
    if (t->read_only || !t->update_right) return ReadOnlyTable(*t);
    if (t->holds_append_lock) return then(e, *t, false);
    const int err = LockRecordByte(*t, kAppendLockRecord);
    if (err == 0) return then(e, *t, true);
    *busy = err == EAGAIN;
    return LockFailure(*t, kAppendLockRecord, err);
  });
}

}  // namespace

// ---- Settings --------------------------------------------------------------------------

Env* DbeSetEnv(Env* env) {
  Engine& e = TheEngine();
  Guard g(&e.mutex);
  Env* previous = e.env;
  e.env = env != nullptr ? env : Env::Default();
  return previous;
}

DbeResult DbeCacheOpenCursors(uint16_t count) {
  Engine& e = TheEngine();
  Guard g(&e.mutex);
  e.cached_cursors = count;
  return kDbeSuccess;
}

DbeResult DbeSetDateFormat(const char* format) {
  if (!ValidDateFormat(format)) {
    return Fail(kDbeErrDateFormat, std::string("Invalid date format: ") +
                                       (format ? std::string(format).substr(0, 64) : ""));
  }
  Engine& e = TheEngine();
  Guard g(&e.mutex);
  e.date_format = format;
  return kDbeSuccess;
}

DbeResult DbeGetDateFormat(char* buffer, uint16_t* length) {
  Engine& e = TheEngine();
  Guard g(&e.mutex);
  return CopyText(e.date_format, buffer, length);
}

DbeResult DbeSetDecimals(uint16_t decimals) {
  if (decimals > 15) return Fail(kDbeErrInvalidArgument, "Decimals must be 0 to 15.");
  Engine& e = TheEngine();
  Guard g(&e.mutex);
  e.decimals = decimals;
  return kDbeSuccess;
}

DbeResult DbeGetDecimals(uint16_t* decimals) {
  if (decimals == nullptr) return MissingArgument();
  Engine& e = TheEngine();
  Guard g(&e.mutex);
  *decimals = e.decimals;
  return kDbeSuccess;
}

DbeResult DbeShowDeleted(uint16_t show) {
  Engine& e = TheEngine();
  Guard g(&e.mutex);
  e.show_deleted = show != 0;
  return kDbeSuccess;
}

DbeResult DbeGetDeleted(uint16_t* show) {
  if (show == nullptr) return MissingArgument();
  Engine& e = TheEngine();
  Guard g(&e.mutex);
  *show = e.show_deleted ? 1 : 0;
  return kDbeSuccess;
}

DbeResult DbeSetServerType(uint16_t types) {
  if (types == 0 || types > 7) {
    return Fail(kDbeErrInvalidArgument, "Invalid server type " + std::to_string(types) + ".");
  }
  Engine& e = TheEngine();
  Guard g(&e.mutex);
  e.server_types = types;
  return kDbeSuccess;
}

// ---- Connections -----------------------------------------------------------------------

DbeResult DbeConnect(const char* folder, DbeHandle* connection) {
  if (folder == nullptr || connection == nullptr || *folder == '\0') return MissingArgument();
  Engine& e = TheEngine();
  Guard g(&e.mutex);
  if ((e.server_types & kDbeServerLocal) == 0) {
    return Fail(kDbeErrServerType,
                std::string("The local server type is not enabled; cannot connect to: ") + folder);
  }
  if (!e.env->IsDirectory(folder)) {
    return Fail(kDbeErrFileNotFound, std::string("Folder not found: ") + folder);
  }
  const DbeHandle h = e.next_handle++;
  e.connections[h].folder = folder;
  *connection = h;
  return kDbeSuccess;
}

DbeResult DbeDisconnect(DbeHandle connection) {
  Engine& e = TheEngine();
  Guard g(&e.mutex);
  auto it = e.connections.find(connection);
  if (it == e.connections.end()) return BadHandle("connection");
  for (DbeHandle t : it->second.tables) e.tables.erase(t);
  e.connections.erase(it);
  return kDbeSuccess;
}

DbeResult DbeOpenTable(DbeHandle connection, const char* path, const char* /*alias*/,
                       uint16_t table_type, uint16_t char_type, uint16_t lock_type,
                       uint16_t rights_check, uint32_t options, DbeHandle* table) {
  if (path == nullptr || table == nullptr || *path == '\0') return MissingArgument();
  if (table_type < kDbeTableNtx || table_type > kDbeTableVfp || char_type < 1 || char_type > 2 ||
      lock_type > 1) {
    return Fail(kDbeErrInvalidArgument, std::string("Unsupported table options: ") + path);
  }
  Engine& e = TheEngine();
  Guard g(&e.mutex);
  auto conn = e.connections.find(connection);
  if (conn == e.connections.end()) return BadHandle("connection");
  auto t = std::make_unique<Table>();
  t->connection = connection;
  t->path = path;
  if (DbeResult r = OpenTableFile(*e.env, *t, rights_check, options)) return r;
  if (DbeResult r = ReadHeader(*t)) return r;
  const DbeHandle h = e.next_handle++;
  conn->second.tables.insert(h);
  e.tables[h] = std::move(t);
  *table = h;
  return kDbeSuccess;
}

DbeResult DbeCloseTable(DbeHandle table) {
  Engine& e = TheEngine();
  Guard g(&e.mutex);
  auto it = e.tables.find(table);
  if (it == e.tables.end()) return BadHandle("table");
  auto conn = e.connections.find(it->second->connection);
  if (conn != e.connections.end()) conn->second.tables.erase(table);
  e.tables.erase(it);
  return kDbeSuccess;
}

// ---- Layout ----------------------------------------------------------------------------

#define DBE_TABLE(handle)          \
  Engine& e = TheEngine();         \
  Guard g(&e.mutex);               \
  Table* t = FindTable(e, handle); \
  if (t == nullptr) return BadHandle("table");

#define DBE_FIELD(number)                  \
  const DbfField* f = FieldOf(*t, number); \
  if (f == nullptr) return BadField(*t, number);

DbeResult DbeGetRecordLength(DbeHandle table, uint32_t* length) {
  if (length == nullptr) return MissingArgument();
  DBE_TABLE(table);
  *length = t->header.record_length;
  return kDbeSuccess;
}

DbeResult DbeGetTableOpenOptions(DbeHandle table, uint32_t* options) {
  if (options == nullptr) return MissingArgument();
  DBE_TABLE(table);
  *options = (t->read_only ? kDbeOptionReadOnly : 0) |
             (t->update_right && !t->read_only ? kDbeOptionUpdateRight : 0);
  return kDbeSuccess;
}

DbeResult DbeGetBookmarkLength(DbeHandle table, uint32_t* length) {
  if (length == nullptr) return MissingArgument();
  DBE_TABLE(table);
  *length = sizeof(uint32_t);
  return kDbeSuccess;
}

DbeResult DbeGetNumFields(DbeHandle table, uint16_t* count) {
  if (count == nullptr) return MissingArgument();
  DBE_TABLE(table);
  *count = static_cast<uint16_t>(t->header.fields.size());
  return kDbeSuccess;
}

DbeResult DbeGetFieldType(DbeHandle table, uint32_t field, uint16_t* type) {
  if (type == nullptr) return MissingArgument();
  DBE_TABLE(table);
  DBE_FIELD(field);
  *type = EngineType(*f);
  return kDbeSuccess;
}

DbeResult DbeGetFieldLength(DbeHandle table, uint32_t field, uint32_t* length) {
  if (length == nullptr) return MissingArgument();
  DBE_TABLE(table);
  DBE_FIELD(field);
  *length = f->length;
  return kDbeSuccess;
}

DbeResult DbeGetFieldDecimals(DbeHandle table, uint32_t field, uint16_t* decimals) {
  if (decimals == nullptr) return MissingArgument();
  DBE_TABLE(table);
  DBE_FIELD(field);
  *decimals = f->decimals;
  return kDbeSuccess;
}

DbeResult DbeGetFieldName(DbeHandle table, uint32_t field, char* buffer, uint16_t* length) {
  DBE_TABLE(table);
  DBE_FIELD(field);
  return CopyText(f->name, buffer, length);
}

DbeResult DbeGetFieldOffset(DbeHandle table, uint32_t field, uint32_t* offset) {
  if (offset == nullptr) return MissingArgument();
  DBE_TABLE(table);
  DBE_FIELD(field);
  *offset = f->offset;
  return kDbeSuccess;
}

DbeResult DbeGetColumnPermissions(DbeHandle table, uint32_t field, uint16_t* permissions) {
  if (permissions == nullptr) return MissingArgument();
  DBE_TABLE(table);
  DBE_FIELD(field);
  const bool write = t->update_right && !t->read_only;
  *permissions = kDbePermRead | (write ? kDbePermUpdate | kDbePermInsert : 0);
  return kDbeSuccess;
}

DbeResult DbeGetTableVersion(DbeHandle table, uint16_t* version) {
  if (version == nullptr) return MissingArgument();
  DBE_TABLE(table);
  *version = t->header.version;
  return kDbeSuccess;
}

DbeResult DbeGetRecordCount(DbeHandle table, uint32_t* count) {
  if (count == nullptr) return MissingArgument();
  DBE_TABLE(table);
  if (DbeResult r = RefreshCount(*t)) return r;
  *count = t->record_count;
  return kDbeSuccess;
}

// ---- Indexes ---------------------------------------------------------------------------

DbeResult DbeGetAllIndexes(DbeHandle table, DbeHandle* /*indexes*/, uint16_t* count) {
  if (count == nullptr) return MissingArgument();
  DBE_TABLE(table);
  *count = 0;
  return kDbeSuccess;
}

DbeResult DbeGetIndexPageSize(DbeHandle, uint32_t*) { return BadHandle("index"); }
DbeResult DbeGetIndexName(DbeHandle, char*, uint16_t*) { return BadHandle("index"); }
DbeResult DbeGetNumSegments(DbeHandle, uint16_t*) { return BadHandle("index"); }
DbeResult DbeGetSegmentFieldname(DbeHandle, uint16_t, char*, uint16_t*) {
  return BadHandle("index");
}
DbeResult DbeIsIndexDescending(DbeHandle, uint16_t*) { return BadHandle("index"); }
DbeResult DbeIsIndexUnique(DbeHandle, uint16_t*) { return BadHandle("index"); }

// ---- Positioning -----------------------------------------------------------------------

namespace {

// Moves one visible record forward (+1) or back (-1) from the current position.
DbeResult Step(Engine& e, Table& t, int direction) REQUIRES(e.mutex) {
  t.stored_under_lock = 0;
  int64_t r = t.position == Position::kBof   ? 0
              : t.position == Position::kEof ? int64_t{t.record_count} + 1
                                             : t.record;
  std::vector<uint8_t> rec;
  for (;;) {
    r += direction;
    if (r < 1) {
      t.position = Position::kBof;
      t.record = 0;
      return kDbeSuccess;
    }
    if (r > t.record_count) {
      t.position = Position::kEof;
      t.record = 0;
      return kDbeSuccess;
    }
    if (DbeResult res = ReadRecord(t, static_cast<uint32_t>(r), &rec)) return res;
    if (Visible(e, rec)) {
      t.position = Position::kRecord;
      t.record = static_cast<uint32_t>(r);
      t.buffer.swap(rec);
      return kDbeSuccess;
    }
  }
}

}  // namespace

DbeResult DbeGotoTop(DbeHandle table) {
  DBE_TABLE(table);
  if (DbeResult r = RefreshCount(*t)) return r;
  t->position = Position::kBof;
  return Step(e, *t, +1);
}

DbeResult DbeSkip(DbeHandle table, int32_t count) {
  DBE_TABLE(table);
  if (DbeResult r = RefreshCount(*t)) return r;
  if (t->position == Position::kRecord && t->record > t->record_count) {
    t->position = Position::kEof;  // the file lost records under us
  }
  if (count == 0) {
    if (t->position != Position::kRecord) return kDbeSuccess;
    t->stored_under_lock = 0;
    return ReadRecord(*t, t->record, &t->buffer);
  }
  const int direction = count > 0 ? 1 : -1;
  for (int64_t n = count > 0 ? count : -int64_t{count}; n > 0; --n) {
    if (DbeResult r = Step(e, *t, direction)) return r;
    if (t->position != Position::kRecord) break;
  }
  return kDbeSuccess;
}

DbeResult DbeGotoRecord(DbeHandle table, uint32_t record) {
  DBE_TABLE(table);
  if (DbeResult r = RefreshCountFor(*t, record)) return r;
  if (record == 0 || record > t->record_count) {
    return Fail(kDbeErrRecordOutOfRange,
                "Record " + std::to_string(record) + " is out of range (the table has " +
                    std::to_string(t->record_count) + " records): " + t->path);
  }
  if (t->stored_under_lock == record && t->record == record) return kDbeSuccess;
  std::vector<uint8_t> rec;
  if (DbeResult r = ReadRecord(*t, record, &rec)) {
    // A counted record that the file does not hold: say what is wrong with the count.
    if (DbeResult why = RefreshCount(*t)) return why;
    return r;
  }
  t->buffer.swap(rec);
  t->position = Position::kRecord;
  t->record = record;
  t->stored_under_lock = HoldsLock(*t, record) ? record : 0;
  return kDbeSuccess;
}

DbeResult DbeAtEOF(DbeHandle table, uint16_t* at_eof) {
  if (at_eof == nullptr) return MissingArgument();
  DBE_TABLE(table);
  *at_eof = t->position == Position::kEof;
  return kDbeSuccess;
}

DbeResult DbeAtBOF(DbeHandle table, uint16_t* at_bof) {
  if (at_bof == nullptr) return MissingArgument();
  DBE_TABLE(table);
  *at_bof = t->position == Position::kBof;
  return kDbeSuccess;
}

DbeResult DbeIsRecordVisible(DbeHandle table, uint16_t* visible) {
  if (visible == nullptr) return MissingArgument();
  DBE_TABLE(table);
  if (t->position != Position::kRecord) {
    *visible = 0;
    return Fail(kDbeErrNoCurrentRecord, "There is no current record: " + t->path);
  }
  *visible = Visible(e, t->buffer);
  return kDbeSuccess;
}

DbeResult DbeGetRecord(DbeHandle table, uint8_t* buffer, uint32_t* length) {
  if (buffer == nullptr || length == nullptr) return MissingArgument();
  DBE_TABLE(table);
  if (t->position != Position::kRecord) {
    return Fail(kDbeErrNoCurrentRecord, "There is no current record: " + t->path);
  }
  if (*length < t->buffer.size()) {
    *length = static_cast<uint32_t>(t->buffer.size());
    return Fail(kDbeErrBufferTooSmall, "The record buffer is too small: " + t->path);
  }
  std::memcpy(buffer, t->buffer.data(), t->buffer.size());
  *length = static_cast<uint32_t>(t->buffer.size());
  return kDbeSuccess;
}

DbeResult DbeGetBookmark60(DbeHandle table, uint32_t* bookmark) {
  if (bookmark == nullptr) return MissingArgument();
  DBE_TABLE(table);
  if (t->position != Position::kRecord) {
    return Fail(kDbeErrNoCurrentRecord, "There is no current record: " + t->path);
  }
  *bookmark = t->record;
  return kDbeSuccess;
}

DbeResult DbeGetRecordNum(DbeHandle table, uint16_t /*filter_option*/, uint32_t* record) {
  if (record == nullptr) return MissingArgument();
  DBE_TABLE(table);
  *record = t->position == Position::kRecord ? t->record : 0;
  return kDbeSuccess;
}

DbeResult DbeClearRecordBuffer(DbeHandle table, uint8_t* buffer, uint32_t length) {
  if (buffer == nullptr) return MissingArgument();
  DBE_TABLE(table);
  if (length < t->header.record_length) {
    return Fail(kDbeErrBufferTooSmall, "The record buffer is too small: " + t->path);
  }
  std::memset(buffer, ' ', t->header.record_length);
  for (const DbfField& f : t->header.fields) BlankField(f, buffer + f.offset);
  return kDbeSuccess;
}

// ---- Locks -----------------------------------------------------------------------------

DbeResult DbeLockRecord(DbeHandle table, uint32_t record) {
  return RetryWhileBusy(kRecordLockWait, [&](bool* busy) -> DbeResult {
    DBE_TABLE(table);
    if (t->read_only || !t->update_right) return ReadOnlyTable(*t);
    if (DbeResult r = RefreshCountFor(*t, record)) return r;
    if (record == 0 || record > t->record_count) {
      return Fail(kDbeErrRecordOutOfRange,
                  "Record " + std::to_string(record) + " is out of range: " + t->path);
    }
    if (t->locks.count(record)) return kDbeSuccess;
    if (int err = LockRecordByte(*t, record)) {
      *busy = err == EAGAIN;
      return LockFailure(*t, record, err);
    }
    t->locks.insert(record);
    return kDbeSuccess;
  });
}

DbeResult DbeUnlockRecord(DbeHandle table, uint32_t record) {
  DBE_TABLE(table);
  if (t->locks.count(record) == 0) {
    return Fail(kDbeErrNotLocked,
                "Record " + std::to_string(record) + " is not locked: " + t->path);
  }
  t->locks.erase(record);
  if (t->append_lock != record) {
    UnlockRecordByte(*t, record);
    if (t->stored_under_lock == record) t->stored_under_lock = 0;
  }
  return kDbeSuccess;
}

DbeResult DbeLockAppend(DbeHandle table) {
  return WithAppendLock(table, [](Engine&, Table& t, bool) {
    t.holds_append_lock = true;
    return kDbeSuccess;
  });
}

DbeResult DbeUnlockAppend(DbeHandle table) {
  DBE_TABLE(table);
  if (!t->holds_append_lock) {
    return Fail(kDbeErrNotLocked, "The append lock is not held: " + t->path);
  }
  t->holds_append_lock = false;
  UnlockRecordByte(*t, kAppendLockRecord);
  return kDbeSuccess;
}

// ---- Changing records ------------------------------------------------------------------

DbeResult DbeSetField(DbeHandle table, uint32_t field, const uint8_t* bytes, uint32_t length) {
  if (bytes == nullptr && length > 0) return MissingArgument();
  DBE_TABLE(table);
  DBE_FIELD(field);
  if (DbeResult r = BeginChange(*t)) return r;
  uint8_t* dest = t->buffer.data() + f->offset;
  if (f->type != 'C') {
    return PutFieldText(t->path, *f, std::string_view(reinterpret_cast<const char*>(bytes), length),
                        dest);
  }
  const uint32_t n = std::min(length, f->length);
  if (n > 0) std::memcpy(dest, bytes, n);
  std::memset(dest + n, ' ', f->length - n);
  return kDbeSuccess;
}

DbeResult DbeSetFieldRaw(DbeHandle table, uint32_t field, const uint8_t* bytes, uint32_t length) {
  if (bytes == nullptr) return MissingArgument();
  DBE_TABLE(table);
  DBE_FIELD(field);
  if (DbeResult r = BeginChange(*t)) return r;
  if (length != f->length) {
    return Fail(kDbeErrFieldValue, "Field " + f->name + " needs " + std::to_string(f->length) +
                                       " bytes, not " + std::to_string(length) + ": " + t->path);
  }
  std::memcpy(t->buffer.data() + f->offset, bytes, length);
  return kDbeSuccess;
}

DbeResult DbeSetEmpty(DbeHandle table, uint32_t field) {
  DBE_TABLE(table);
  DBE_FIELD(field);
  if (DbeResult r = BeginChange(*t)) return r;
  BlankField(*f, t->buffer.data() + f->offset);
  return kDbeSuccess;
}

DbeResult DbeAppendRecord(DbeHandle table) {
  return WithAppendLock(table, [](Engine&, Table& t, bool taken_here) {
    struct AppendUnlock {
      Table& t;
      bool taken_here;
      ~AppendUnlock() {
        if (taken_here) UnlockRecordByte(t, kAppendLockRecord);
      }
    } unlock{t, taken_here};
    if (DbeResult r = RefreshCount(t)) return r;
    if (t.record_count == UINT32_MAX) {
      return Fail(kDbeErrWriteFailed, "The table is full: " + t.path);
    }
    const uint32_t record = t.record_count + 1;
    if (int err = LockRecordByte(t, record)) return LockFailure(t, record, err);
    if (DbeResult r = AppendBlankRecord(t)) {
      if (!t.locks.count(record)) UnlockRecordByte(t, record);
      return r;
    }
    t.append_lock = record;
    return kDbeSuccess;
  });
}

DbeResult DbeWriteRecord(DbeHandle table) {
  DBE_TABLE(table);
  if (DbeResult r = CheckChangeable(*t)) return r;
  const uint32_t record = t->record;
  if (DbeResult r = RefreshCountFor(*t, record)) return r;
  if (record > t->record_count) {
    return Fail(kDbeErrRecordOutOfRange,
                "Record " + std::to_string(record) + " is no longer in the table: " + t->path);
  }
  const bool held = HoldsLock(*t, record);
  if (!held) {
    if (int err = LockRecordByte(*t, record)) return LockFailure(*t, record, err);
  }
  const DbeResult written = WriteCurrentRecord(*t, record);
  if (!held) UnlockRecordByte(*t, record);
  if (written != kDbeSuccess) return written;
  if (t->append_lock == record) {
    t->append_lock = 0;
    if (!t->locks.count(record)) UnlockRecordByte(*t, record);
  }
  t->stored_under_lock = HoldsLock(*t, record) ? record : 0;
  return UpdateHeaderDate(*t);
}

// ---- Errors ----------------------------------------------------------------------------

DbeResult DbeGetLastError(uint32_t* code, char* buffer, uint16_t* length) {
  if (code == nullptr || buffer == nullptr || length == nullptr || *length == 0) {
    return kDbeErrInvalidArgument;  // not recorded: it would replace the error asked for
  }
  const LastError& e = ThreadLastError();
  *code = e.code;
  const size_t n = std::min<size_t>(e.text.size(), *length - 1u);
  std::memcpy(buffer, e.text.data(), n);
  buffer[n] = '\0';
  *length = static_cast<uint16_t>(n);
  return kDbeSuccess;
}

DbeResult DbeSetLastError(uint32_t code, const char* text) {
  Fail(code, text ? text : "");
  return kDbeSuccess;
}

}  // namespace tallyvox::dbe
