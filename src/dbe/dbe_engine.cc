#include "dbe/dbe_engine.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <ctime>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "dbe/dbe_testing.h"
#include "dbe/dbf_format.h"

namespace tallyvox::dbe {

namespace {

// ---- Last error, per thread ------------------------------------------------------------

struct LastError {
  uint32_t code = 0;
  std::string text;
};

LastError& ThreadLastError() {
  thread_local LastError error;
  return error;
}

DbeResult Fail(DbeResult code, std::string text) {
  LastError& e = ThreadLastError();
  e.code = code;
  if (text.size() >= kDbeMaxErrorLength) text.resize(kDbeMaxErrorLength - 1);
  e.text = std::move(text);
  return code;
}

std::string ErrnoText(int err) { return std::strerror(err); }

// ---- Engine state ----------------------------------------------------------------------

enum class Position { kBof, kRecord, kEof };

struct Table {
  DbeHandle connection = 0;
  std::string path;
  int fd = -1;
  bool read_only = false;
  bool update_right = true;
  DbfHeader header;
  uint32_t record_count = 0;
  Position position = Position::kBof;
  uint32_t record = 0;          // current record number when position is kRecord
  std::vector<uint8_t> buffer;  // current record's bytes
  std::set<uint32_t> locks;     // records locked through DbeLockRecord
  uint32_t append_lock = 0;     // record appended and locked until written
  uint8_t header_date[3] = {0, 0, 0};

  ~Table() {
    if (fd >= 0) ::close(fd);  // closing the description releases its locks
  }
};

struct Connection {
  std::string folder;
  std::set<DbeHandle> tables;
};

struct Engine {
  std::mutex mutex;
  DbeHandle next_handle = 1;
  std::map<DbeHandle, Connection> connections;
  std::map<DbeHandle, std::unique_ptr<Table>> tables;
  uint16_t cached_cursors = 25;
  std::string date_format = "MM/dd/ccyy";
  uint16_t decimals = 2;
  bool show_deleted = true;
  uint16_t server_types = kDbeServerLocal | kDbeServerRemote | kDbeServerInternet;
  int write_fault_errno = 0;
  int write_fault_count = 0;
  int write_fault_skip = 0;
};

// Never destroyed: tables may still be closed from static destructors at exit.
Engine& TheEngine() {
  static Engine* engine = new Engine;
  return *engine;
}

using Guard = std::lock_guard<std::mutex>;

Table* FindTable(Engine& e, DbeHandle handle) {
  auto it = e.tables.find(handle);
  return it == e.tables.end() ? nullptr : it->second.get();
}

DbeResult BadHandle(const char* what) {
  return Fail(kDbeErrInvalidHandle, std::string("Invalid ") + what + " handle.");
}

// ---- File access -----------------------------------------------------------------------

bool ReadAt(int fd, uint8_t* dest, size_t size, off_t offset, int* err) {
  while (size > 0) {
    ssize_t n = ::pread(fd, dest, size, offset);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      *err = n < 0 ? errno : 0;
      return false;
    }
    dest += n;
    size -= static_cast<size_t>(n);
    offset += n;
  }
  return true;
}

bool WriteAt(Engine& e, int fd, const uint8_t* src, size_t size, off_t offset, int* err) {
  if (e.write_fault_skip > 0) {
    --e.write_fault_skip;
  } else if (e.write_fault_count > 0) {
    --e.write_fault_count;
    *err = e.write_fault_errno;
    return false;
  }
  while (size > 0) {
    ssize_t n = ::pwrite(fd, src, size, offset);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      *err = n < 0 ? errno : EIO;
      return false;
    }
    src += n;
    size -= static_cast<size_t>(n);
    offset += n;
  }
  return true;
}

off_t RecordOffset(const Table& t, uint32_t record) {
  return static_cast<off_t>(t.header.header_length) +
         static_cast<off_t>(record - 1) * t.header.record_length;
}

// Re-reads the record count from the header, so that appends made by other users are
// seen, and checks that the records counted are in the file.
DbeResult RefreshCount(Table& t) {
  uint8_t b[4];
  int err = 0;
  if (!ReadAt(t.fd, b, sizeof b, 4, &err)) {
    return Fail(kDbeErrReadFailed, "Cannot read the table header (" +
                                       (err ? ErrnoText(err) : std::string("file truncated")) +
                                       "): " + t.path);
  }
  const uint32_t count = b[0] | (b[1] << 8) | (b[2] << 16) | (static_cast<uint32_t>(b[3]) << 24);
  struct stat st;
  if (::fstat(t.fd, &st) != 0) {
    return Fail(kDbeErrReadFailed,
                "Cannot examine the table file (" + ErrnoText(errno) + "): " + t.path);
  }
  const uint64_t end =
      t.header.header_length + static_cast<uint64_t>(count) * t.header.record_length;
  if (end > static_cast<uint64_t>(st.st_size)) {
    return Fail(kDbeErrCorruptHeader, "Corrupt table header (record count " +
                                          std::to_string(count) + " is beyond the file size " +
                                          std::to_string(st.st_size) + "): " + t.path);
  }
  t.record_count = count;
  return kDbeSuccess;
}

DbeResult ReadRecord(Table& t, uint32_t record, std::vector<uint8_t>* dest) {
  dest->resize(t.header.record_length);
  int err = 0;
  if (!ReadAt(t.fd, dest->data(), dest->size(), RecordOffset(t, record), &err)) {
    return Fail(kDbeErrReadFailed, "Cannot read record " + std::to_string(record) + " (" +
                                       (err ? ErrnoText(err) : std::string("file truncated")) +
                                       "): " + t.path);
  }
  return kDbeSuccess;
}

bool Visible(const Engine& e, const std::vector<uint8_t>& record) {
  return e.show_deleted || record.empty() || record[0] != '*';
}

// ---- Locks -----------------------------------------------------------------------------

// 0 when granted; EAGAIN when another description holds it; another errno otherwise.
int LockByte(int fd, uint32_t record, short type) {
  struct flock fl;
  std::memset(&fl, 0, sizeof fl);
  fl.l_type = type;
  fl.l_whence = SEEK_SET;
  fl.l_start = static_cast<off_t>(kDbeLockBase + record);
  fl.l_len = 1;
  for (;;) {
    if (::fcntl(fd, F_OFD_SETLK, &fl) == 0) return 0;
    if (errno == EINTR) continue;
    return errno == EACCES ? EAGAIN : errno;
  }
}

DbeResult LockFailure(const Table& t, uint32_t record, int err) {
  if (err == EAGAIN) {
    return Fail(kDbeErrRecordLocked,
                "Record " + std::to_string(record) + " is locked by another user: " + t.path);
  }
  return Fail(kDbeErrRecordLocked, "Cannot lock record " + std::to_string(record) + " (" +
                                       ErrnoText(err) + "): " + t.path);
}

// The append lock is held only for the few writes of an append; wait a little for it.
int LockAppend(int fd) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  for (;;) {
    int err = LockByte(fd, 0, F_WRLCK);
    if (err != EAGAIN || std::chrono::steady_clock::now() >= deadline) return err;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

bool HoldsLock(const Table& t, uint32_t record) {
  return t.locks.count(record) > 0 || t.append_lock == record;
}

// ---- Header updates --------------------------------------------------------------------

void Today(uint8_t out[3]) {
  std::time_t now = std::time(nullptr);
  std::tm tm;
  localtime_r(&now, &tm);
  EncodeDbfDate(tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, out);
}

DbeResult WriteFailure(const Table& t, const std::string& what, int err) {
  return Fail(kDbeErrWriteFailed, "Cannot write " + what + " (" + ErrnoText(err) + "): " + t.path);
}

DbeResult UpdateHeaderDate(Engine& e, Table& t) {
  uint8_t today[3];
  Today(today);
  if (std::memcmp(today, t.header_date, 3) == 0) return kDbeSuccess;
  int err = 0;
  if (!WriteAt(e, t.fd, today, 3, 1, &err)) return WriteFailure(t, "the table header", err);
  std::memcpy(t.header_date, today, 3);
  return kDbeSuccess;
}

// ---- Field helpers ---------------------------------------------------------------------

const DbfField* FieldOf(const Table& t, uint32_t field) {
  if (field == 0 || field > t.header.fields.size()) return nullptr;
  return &t.header.fields[field - 1];
}

DbeResult BadField(const Table& t, uint32_t field) {
  return Fail(kDbeErrInvalidField,
              "Field number " + std::to_string(field) + " is not in the table: " + t.path);
}

uint16_t EngineType(const DbfField& f) {
  switch (f.type) {
    case 'C':
      return kDbeTypeString;
    case 'N':
    case 'F':
      return kDbeTypeNumeric;
    case 'L':
      return kDbeTypeLogical;
    case 'D':
      return kDbeTypeDate;
    case 'I':
      return kDbeTypeInteger;
    case 'B':
      return f.length == 8 ? kDbeTypeDouble : kDbeTypeBinary;
    case 'O':
      return kDbeTypeDouble;
    case 'T':
    case '@':
      return kDbeTypeTimestamp;
    case 'Y':
      return kDbeTypeCurrency;
    case 'M':
      return kDbeTypeMemo;
    case 'G':
    case 'P':
      return kDbeTypeImage;
    case 'V':
      return kDbeTypeVarChar;
    case '+':
      return kDbeTypeAutoInc;
    default:
      return kDbeTypeRaw;
  }
}

// Checks that `t` has a current record that may be changed.
DbeResult CheckChangeable(const Table& t) {
  if (t.read_only || !t.update_right) {
    return Fail(kDbeErrTableReadOnly, "The table cannot be modified: " + t.path);
  }
  if (t.position != Position::kRecord) {
    return Fail(kDbeErrNoCurrentRecord, "There is no current record: " + t.path);
  }
  return kDbeSuccess;
}

bool IsNumberText(std::string_view s) {
  bool digit = false;
  for (size_t i = 0; i < s.size(); ++i) {
    char c = s[i];
    if (c >= '0' && c <= '9') {
      digit = true;
    } else if (!((c == '-' || c == '+') && i == 0) && c != '.') {
      return false;
    }
  }
  return digit;
}

// Places text into a non-character field's bytes, following the field type's rules.
DbeResult PutFieldText(const Table& t, const DbfField& f, std::string_view text, uint8_t* dest) {
  while (!text.empty() && text.front() == ' ') text.remove_prefix(1);
  while (!text.empty() && text.back() == ' ') text.remove_suffix(1);
  auto bad = [&]() {
    return Fail(kDbeErrFieldValue, "The value '" + std::string(text.substr(0, 64)) +
                                       "' does not suit field " + f.name + ": " + t.path);
  };
  switch (f.type) {
    case 'N':
    case 'F':
      if (!text.empty() && !IsNumberText(text)) return bad();
      if (text.size() > f.length) return bad();
      std::memset(dest, ' ', f.length);
      std::memcpy(dest + f.length - text.size(), text.data(), text.size());
      return kDbeSuccess;
    case 'L':
      if (text.size() > 1 || (text.size() == 1 && !std::strchr("TtFfYyNn?", text[0]))) {
        return bad();
      }
      dest[0] = text.empty() ? ' ' : static_cast<uint8_t>(text[0]);
      return kDbeSuccess;
    case 'D':
      if (!text.empty() && (text.size() != 8 || !std::all_of(text.begin(), text.end(), [](char c) {
                              return c >= '0' && c <= '9';
                            }))) {
        return bad();
      }
      std::memset(dest, ' ', f.length);
      std::memcpy(dest, text.data(), text.size());
      return kDbeSuccess;
    default:
      return Fail(kDbeErrFieldValue, "Field " + f.name + " takes raw bytes, not text: " + t.path);
  }
}

bool ValidDateFormat(const char* format) {
  if (format == nullptr) return false;
  const std::string s(format);
  if (s.empty() || s.size() > 64) return false;
  int day = 0, month = 0, year = 0;
  for (size_t i = 0; i < s.size();) {
    const char c = s[i];
    if (std::strchr("dMyc", c) == nullptr) {
      if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c < ' ') return false;
      ++i;
      continue;
    }
    size_t j = i;
    while (j < s.size() && std::strchr("dMyc", s[j]) != nullptr) ++j;
    const std::string token = s.substr(i, j - i);
    if (token == "d" || token == "dd") {
      ++day;
    } else if (token == "M" || token == "MM") {
      ++month;
    } else if (token == "yy" || token == "yyyy" || token == "ccyy") {
      ++year;
    } else {
      return false;
    }
    i = j;
  }
  return day == 1 && month == 1 && year == 1;
}

DbeResult CopyText(const std::string& text, char* buffer, uint16_t* length) {
  if (buffer == nullptr || length == nullptr) {
    return Fail(kDbeErrInvalidArgument, "A required argument is missing.");
  }
  if (*length <= text.size()) {
    *length = static_cast<uint16_t>(std::min<size_t>(text.size(), 0xFFFF));
    return Fail(kDbeErrBufferTooSmall, "The buffer is too small for the value.");
  }
  std::memcpy(buffer, text.data(), text.size());
  buffer[text.size()] = '\0';
  *length = static_cast<uint16_t>(text.size());
  return kDbeSuccess;
}

DbeResult MissingArgument() {
  return Fail(kDbeErrInvalidArgument, "A required argument is missing.");
}

// ---- Opening ---------------------------------------------------------------------------

DbeResult OpenFile(Table& t, uint16_t rights_check, uint32_t options) {
  if (options & kDbeOptionReadOnly) t.read_only = true;
  t.fd = ::open(t.path.c_str(), (t.read_only ? O_RDONLY : O_RDWR) | O_CLOEXEC);
  if (t.fd < 0 && !t.read_only) {
    const int err = errno;
    if (err == EROFS) {
      t.read_only = true;
    } else if ((err == EACCES || err == EPERM) && rights_check) {
      t.update_right = false;
    }
    if (t.read_only || !t.update_right) t.fd = ::open(t.path.c_str(), O_RDONLY | O_CLOEXEC);
    if (t.fd < 0) errno = err;
  }
  if (t.fd < 0) {
    const int err = errno;
    if (err == ENOENT || err == ENOTDIR) {
      return Fail(kDbeErrFileNotFound, "Table file not found: " + t.path);
    }
    if (err == EISDIR) return Fail(kDbeErrNotATable, "Not a table file: " + t.path);
    return Fail(kDbeErrOpenFailed,
                "Cannot open the table file (" + ErrnoText(err) + "): " + t.path);
  }
  return kDbeSuccess;
}

DbeResult ReadHeader(Table& t) {
  struct stat st;
  if (::fstat(t.fd, &st) != 0) {
    return Fail(kDbeErrOpenFailed,
                "Cannot examine the table file (" + ErrnoText(errno) + "): " + t.path);
  }
  if (!S_ISREG(st.st_mode)) return Fail(kDbeErrNotATable, "Not a table file: " + t.path);
  const uint64_t size = static_cast<uint64_t>(st.st_size);
  if (size < kDbfHeaderSize) {
    return Fail(kDbeErrCorruptHeader,
                "Corrupt table header (the file is shorter than a table "
                "header): " +
                    t.path);
  }
  std::string bytes(kDbfHeaderSize, '\0');
  int err = 0;
  auto* data = reinterpret_cast<uint8_t*>(bytes.data());
  if (!ReadAt(t.fd, data, kDbfHeaderSize, 0, &err)) {
    return Fail(kDbeErrReadFailed, "Cannot read the table header: " + t.path);
  }
  const size_t want = std::min<uint64_t>(PeekHeaderLength(bytes), size);
  if (want > kDbfHeaderSize) {
    bytes.resize(want);
    data = reinterpret_cast<uint8_t*>(bytes.data());
    if (!ReadAt(t.fd, data + kDbfHeaderSize, want - kDbfHeaderSize, kDbfHeaderSize, &err)) {
      return Fail(kDbeErrReadFailed, "Cannot read the table header: " + t.path);
    }
  }
  DbfParseResult parsed = ParseDbfHeader(bytes, size);
  if (parsed.fault == DbfHeaderFault::kNotATable) {
    return Fail(kDbeErrNotATable, "Not a table file (" + parsed.detail + "): " + t.path);
  }
  if (parsed.fault != DbfHeaderFault::kNone) {
    return Fail(kDbeErrCorruptHeader, "Corrupt table header (" + parsed.detail + "): " + t.path);
  }
  t.header = std::move(parsed.header);
  t.record_count = t.header.record_count;
  std::memcpy(t.header_date, data + 1, 3);
  // A production or structural index would go stale under our writes: read only.
  if (t.header.table_flags & 0x01) t.read_only = true;
  return kDbeSuccess;
}

}  // namespace

// ---- Settings --------------------------------------------------------------------------

void SetWriteFaultForTesting(int error_number, int count, int skip) {
  Engine& e = TheEngine();
  Guard g(e.mutex);
  e.write_fault_skip = skip;
  e.write_fault_errno = error_number;
  e.write_fault_count = count;
}

DbeResult DbeCacheOpenCursors(uint16_t count) {
  Engine& e = TheEngine();
  Guard g(e.mutex);
  e.cached_cursors = count;
  return kDbeSuccess;
}

DbeResult DbeSetDateFormat(const char* format) {
  if (!ValidDateFormat(format)) {
    return Fail(kDbeErrDateFormat, std::string("Invalid date format: ") +
                                       (format ? std::string(format).substr(0, 64) : ""));
  }
  Engine& e = TheEngine();
  Guard g(e.mutex);
  e.date_format = format;
  return kDbeSuccess;
}

DbeResult DbeGetDateFormat(char* buffer, uint16_t* length) {
  Engine& e = TheEngine();
  Guard g(e.mutex);
  return CopyText(e.date_format, buffer, length);
}

DbeResult DbeSetDecimals(uint16_t decimals) {
  if (decimals > 15) return Fail(kDbeErrInvalidArgument, "Decimals must be 0 to 15.");
  Engine& e = TheEngine();
  Guard g(e.mutex);
  e.decimals = decimals;
  return kDbeSuccess;
}

DbeResult DbeGetDecimals(uint16_t* decimals) {
  if (decimals == nullptr) return MissingArgument();
  Engine& e = TheEngine();
  Guard g(e.mutex);
  *decimals = e.decimals;
  return kDbeSuccess;
}

DbeResult DbeShowDeleted(uint16_t show) {
  Engine& e = TheEngine();
  Guard g(e.mutex);
  e.show_deleted = show != 0;
  return kDbeSuccess;
}

DbeResult DbeGetDeleted(uint16_t* show) {
  if (show == nullptr) return MissingArgument();
  Engine& e = TheEngine();
  Guard g(e.mutex);
  *show = e.show_deleted ? 1 : 0;
  return kDbeSuccess;
}

DbeResult DbeSetServerType(uint16_t types) {
  if (types == 0 || types > 7) {
    return Fail(kDbeErrInvalidArgument, "Invalid server type " + std::to_string(types) + ".");
  }
  Engine& e = TheEngine();
  Guard g(e.mutex);
  e.server_types = types;
  return kDbeSuccess;
}

// ---- Connections -----------------------------------------------------------------------

DbeResult DbeConnect(const char* folder, DbeHandle* connection) {
  if (folder == nullptr || connection == nullptr || *folder == '\0') return MissingArgument();
  Engine& e = TheEngine();
  Guard g(e.mutex);
  if ((e.server_types & kDbeServerLocal) == 0) {
    return Fail(kDbeErrServerType,
                std::string("The local server type is not enabled; cannot connect to: ") + folder);
  }
  struct stat st;
  if (::stat(folder, &st) != 0 || !S_ISDIR(st.st_mode)) {
    return Fail(kDbeErrFileNotFound, std::string("Folder not found: ") + folder);
  }
  const DbeHandle h = e.next_handle++;
  e.connections[h].folder = folder;
  *connection = h;
  return kDbeSuccess;
}

DbeResult DbeDisconnect(DbeHandle connection) {
  Engine& e = TheEngine();
  Guard g(e.mutex);
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
  Guard g(e.mutex);
  auto conn = e.connections.find(connection);
  if (conn == e.connections.end()) return BadHandle("connection");
  auto t = std::make_unique<Table>();
  t->connection = connection;
  t->path = path;
  if (DbeResult r = OpenFile(*t, rights_check, options)) return r;
  if (DbeResult r = ReadHeader(*t)) return r;
  const DbeHandle h = e.next_handle++;
  conn->second.tables.insert(h);
  e.tables[h] = std::move(t);
  *table = h;
  return kDbeSuccess;
}

DbeResult DbeCloseTable(DbeHandle table) {
  Engine& e = TheEngine();
  Guard g(e.mutex);
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
  Guard g(e.mutex);                \
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
DbeResult Step(Engine& e, Table& t, int direction) {
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
  if (DbeResult r = RefreshCount(*t)) return r;
  if (record == 0 || record > t->record_count) {
    return Fail(kDbeErrRecordOutOfRange,
                "Record " + std::to_string(record) + " is out of range (the table has " +
                    std::to_string(t->record_count) + " records): " + t->path);
  }
  std::vector<uint8_t> rec;
  if (DbeResult r = ReadRecord(*t, record, &rec)) return r;
  t->buffer.swap(rec);
  t->position = Position::kRecord;
  t->record = record;
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
  DBE_TABLE(table);
  if (t->read_only || !t->update_right) {
    return Fail(kDbeErrTableReadOnly, "The table cannot be modified: " + t->path);
  }
  if (DbeResult r = RefreshCount(*t)) return r;
  if (record == 0 || record > t->record_count) {
    return Fail(kDbeErrRecordOutOfRange,
                "Record " + std::to_string(record) + " is out of range: " + t->path);
  }
  if (t->locks.count(record)) return kDbeSuccess;
  if (int err = LockByte(t->fd, record, F_WRLCK)) return LockFailure(*t, record, err);
  t->locks.insert(record);
  return kDbeSuccess;
}

DbeResult DbeUnlockRecord(DbeHandle table, uint32_t record) {
  DBE_TABLE(table);
  if (t->locks.count(record) == 0) {
    return Fail(kDbeErrNotLocked,
                "Record " + std::to_string(record) + " is not locked: " + t->path);
  }
  t->locks.erase(record);
  if (t->append_lock != record) LockByte(t->fd, record, F_UNLCK);
  return kDbeSuccess;
}

// ---- Changing records ------------------------------------------------------------------

DbeResult DbeSetField(DbeHandle table, uint32_t field, const uint8_t* bytes, uint32_t length) {
  if (bytes == nullptr && length > 0) return MissingArgument();
  DBE_TABLE(table);
  DBE_FIELD(field);
  if (DbeResult r = CheckChangeable(*t)) return r;
  uint8_t* dest = t->buffer.data() + f->offset;
  if (f->type != 'C') {
    return PutFieldText(*t, *f, std::string_view(reinterpret_cast<const char*>(bytes), length),
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
  if (DbeResult r = CheckChangeable(*t)) return r;
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
  if (DbeResult r = CheckChangeable(*t)) return r;
  BlankField(*f, t->buffer.data() + f->offset);
  return kDbeSuccess;
}

DbeResult DbeAppendRecord(DbeHandle table) {
  DBE_TABLE(table);
  if (t->read_only || !t->update_right) {
    return Fail(kDbeErrTableReadOnly, "The table cannot be modified: " + t->path);
  }
  if (int err = LockAppend(t->fd)) return LockFailure(*t, 0, err);
  struct AppendUnlock {
    int fd;
    ~AppendUnlock() { LockByte(fd, 0, F_UNLCK); }
  } unlock{t->fd};
  if (DbeResult r = RefreshCount(*t)) return r;
  if (t->record_count == UINT32_MAX) {
    return Fail(kDbeErrWriteFailed, "The table is full: " + t->path);
  }
  const uint32_t record = t->record_count + 1;
  if (int err = LockByte(t->fd, record, F_WRLCK)) return LockFailure(*t, record, err);
  std::vector<uint8_t> blank(t->header.record_length + 1u, ' ');
  for (const DbfField& f : t->header.fields) BlankField(f, blank.data() + f.offset);
  blank.back() = kDbfEndOfFile;
  // What a failed append must put back: the file's size and the byte after the records.
  const off_t end = RecordOffset(*t, record);
  struct stat st;
  uint8_t old_byte = kDbfEndOfFile;
  int err = 0;
  const bool had_byte =
      ::fstat(t->fd, &st) == 0 && st.st_size > end && ReadAt(t->fd, &old_byte, 1, end, &err);
  auto undo = [&]() {
    if (!t->locks.count(record)) LockByte(t->fd, record, F_UNLCK);
    if (had_byte) {
      if (::pwrite(t->fd, &old_byte, 1, end) != 1) return;
      if (st.st_size < end + static_cast<off_t>(blank.size())) {
        (void)!::ftruncate(t->fd, st.st_size);
      }
    } else {
      (void)!::ftruncate(t->fd, end);
    }
  };
  // The record and the end marker first, the count after: a failure in between leaves a
  // readable file whose count does not yet include the new record.
  if (!WriteAt(e, t->fd, blank.data(), blank.size(), end, &err)) {
    undo();
    return WriteFailure(*t, "a new record", err);
  }
  // Update date and record count in one write.
  uint8_t header[7];
  Today(header);
  for (int i = 0; i < 4; ++i) header[3 + i] = static_cast<uint8_t>(record >> (8 * i));
  if (!WriteAt(e, t->fd, header, sizeof header, 1, &err)) {
    undo();
    return WriteFailure(*t, "the table header", err);
  }
  std::memcpy(t->header_date, header, 3);
  t->record_count = record;
  t->append_lock = record;
  blank.pop_back();
  t->buffer.swap(blank);
  t->position = Position::kRecord;
  t->record = record;
  return kDbeSuccess;
}

DbeResult DbeWriteRecord(DbeHandle table) {
  DBE_TABLE(table);
  if (DbeResult r = CheckChangeable(*t)) return r;
  if (DbeResult r = RefreshCount(*t)) return r;
  const uint32_t record = t->record;
  if (record > t->record_count) {
    return Fail(kDbeErrRecordOutOfRange,
                "Record " + std::to_string(record) + " is no longer in the table: " + t->path);
  }
  const bool held = HoldsLock(*t, record);
  if (!held) {
    if (int err = LockByte(t->fd, record, F_WRLCK)) return LockFailure(*t, record, err);
  }
  int err = 0;
  const bool ok =
      WriteAt(e, t->fd, t->buffer.data(), t->buffer.size(), RecordOffset(*t, record), &err);
  if (!held) LockByte(t->fd, record, F_UNLCK);
  if (!ok) return WriteFailure(*t, "record " + std::to_string(record), err);
  if (t->append_lock == record) {
    t->append_lock = 0;
    if (!t->locks.count(record)) LockByte(t->fd, record, F_UNLCK);
  }
  return UpdateHeaderDate(e, *t);
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
