#include "dbe/table_file.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>

#include "dbe/last_error.h"

namespace tallyvox::dbe {
namespace {

uint64_t RecordOffset(const Table& t, uint32_t record) {
  return uint64_t{t.header.header_length} + uint64_t{record - 1} * t.header.record_length;
}

void Today(uint8_t out[3]) {
  std::time_t now = std::time(nullptr);
  std::tm tm;
  localtime_r(&now, &tm);
  EncodeDbfDate(tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, out);
}

DbeResult WriteFailure(const Table& t, const std::string& what, int err) {
  return Fail(kDbeErrWriteFailed, "Cannot write " + what + " (" + ErrnoText(err) + "): " + t.path);
}

// The file's size and kind, or `code` with the reason.
DbeResult StatFile(const Table& t, DbeFileInfo* info, DbeResult code) {
  StatusOr<DbeFileInfo> stat = t.file->Stat();
  if (!stat.ok()) {
    return Fail(
        code, "Cannot examine the table file (" + ErrnoText(stat.status().code()) + "): " + t.path);
  }
  *info = *stat;
  return kDbeSuccess;
}

// Opens the table's file; the errno value when it cannot.
int OpenFile(Env& env, Table& t, bool writable) {
  StatusOr<std::unique_ptr<DbeFile>> file = env.OpenFile(t.path, writable);
  if (!file.ok()) return file.status().code();
  t.file = std::move(*file);
  return 0;
}

}  // namespace

DbeResult OpenTableFile(Env& env, Table& t, uint16_t rights_check, uint32_t options) {
  if (options & kDbeOptionReadOnly) t.read_only = true;
  int err = OpenFile(env, t, !t.read_only);
  if (err != 0 && !t.read_only) {
    if (err == EROFS) {
      t.read_only = true;
    } else if ((err == EACCES || err == EPERM) && rights_check) {
      t.update_right = false;
    }
    if ((t.read_only || !t.update_right) && OpenFile(env, t, false) == 0) err = 0;
  }
  if (err == 0) return kDbeSuccess;
  if (err == ENOENT || err == ENOTDIR) {
    return Fail(kDbeErrFileNotFound, "Table file not found: " + t.path);
  }
  if (err == EISDIR) return Fail(kDbeErrNotATable, "Not a table file: " + t.path);
  return Fail(kDbeErrOpenFailed, "Cannot open the table file (" + ErrnoText(err) + "): " + t.path);
}

DbeResult ReadHeader(Table& t) {
  DbeFileInfo info;
  if (DbeResult r = StatFile(t, &info, kDbeErrOpenFailed)) return r;
  if (!info.regular) return Fail(kDbeErrNotATable, "Not a table file: " + t.path);
  if (info.size < kDbfHeaderSize) {
    return Fail(kDbeErrCorruptHeader,
                "Corrupt table header (the file is shorter than a table header): " + t.path);
  }
  std::string bytes(kDbfHeaderSize, '\0');
  auto* data = reinterpret_cast<uint8_t*>(bytes.data());
  if (!t.file->ReadAt(0, data, kDbfHeaderSize).ok()) {
    return Fail(kDbeErrReadFailed, "Cannot read the table header: " + t.path);
  }
  const size_t want = std::min<uint64_t>(PeekHeaderLength(bytes), info.size);
  if (want > kDbfHeaderSize) {
    bytes.resize(want);
    data = reinterpret_cast<uint8_t*>(bytes.data());
    if (!t.file->ReadAt(kDbfHeaderSize, data + kDbfHeaderSize, want - kDbfHeaderSize).ok()) {
      return Fail(kDbeErrReadFailed, "Cannot read the table header: " + t.path);
    }
  }
  // Another user's append grows the file before it counts the new record in the header.
  // A size taken before the header was read may therefore miss records the count already
  // holds: check the count against a size taken after it.
  if (DbeResult r = StatFile(t, &info, kDbeErrOpenFailed)) return r;
  DbfParseResult parsed = ParseDbfHeader(bytes, info.size);
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

DbeResult RefreshCount(Table& t) {
  uint8_t b[4];
  if (Status s = t.file->ReadAt(4, b, sizeof b); !s.ok()) {
    return Fail(kDbeErrReadFailed,
                "Cannot read the table header (" + ErrnoText(s.code()) + "): " + t.path);
  }
  const uint32_t count = b[0] | (b[1] << 8) | (b[2] << 16) | (static_cast<uint32_t>(b[3]) << 24);
  DbeFileInfo info;
  if (DbeResult r = StatFile(t, &info, kDbeErrReadFailed)) return r;
  const uint64_t end =
      t.header.header_length + static_cast<uint64_t>(count) * t.header.record_length;
  if (end > info.size) {
    return Fail(kDbeErrCorruptHeader, "Corrupt table header (record count " +
                                          std::to_string(count) + " is beyond the file size " +
                                          std::to_string(info.size) + "): " + t.path);
  }
  t.record_count = count;
  return kDbeSuccess;
}

DbeResult RefreshCountFor(Table& t, uint32_t record) {
  if (record >= 1 && record <= t.record_count) return kDbeSuccess;
  return RefreshCount(t);
}

DbeResult ReadRecord(Table& t, uint32_t record, std::vector<uint8_t>* dest) {
  dest->resize(t.header.record_length);
  if (Status s = t.file->ReadAt(RecordOffset(t, record), dest->data(), dest->size()); !s.ok()) {
    return Fail(kDbeErrReadFailed, "Cannot read record " + std::to_string(record) + " (" +
                                       ErrnoText(s.code()) + "): " + t.path);
  }
  return kDbeSuccess;
}

DbeResult WriteCurrentRecord(Table& t, uint32_t record) {
  if (Status s = t.file->WriteAt(RecordOffset(t, record), t.buffer.data(), t.buffer.size());
      !s.ok()) {
    return WriteFailure(t, "record " + std::to_string(record), s.code());
  }
  return kDbeSuccess;
}

DbeResult UpdateHeaderDate(Table& t) {
  uint8_t today[3];
  Today(today);
  if (std::memcmp(today, t.header_date, 3) == 0) return kDbeSuccess;
  if (Status s = t.file->WriteAt(1, today, 3); !s.ok()) {
    return WriteFailure(t, "the table header", s.code());
  }
  std::memcpy(t.header_date, today, 3);
  return kDbeSuccess;
}

DbeResult AppendBlankRecord(Table& t) {
  const uint32_t record = t.record_count + 1;
  std::vector<uint8_t> blank(t.header.record_length + 1u, ' ');
  for (const DbfField& f : t.header.fields) BlankField(f, blank.data() + f.offset);
  blank.back() = kDbfEndOfFile;
  // What a failed append must put back: the file's size and the byte after the records.
  const uint64_t end = RecordOffset(t, record);
  const StatusOr<DbeFileInfo> info = t.file->Stat();
  uint8_t old_byte = kDbfEndOfFile;
  const bool had_byte = info.ok() && info->size > end && t.file->ReadAt(end, &old_byte, 1).ok();
  // Best effort: a failure here leaves the file as the failed write left it.
  auto undo = [&]() {
    if (had_byte) {
      if (!t.file->WriteAt(end, &old_byte, 1).ok()) return;
      if (info->size < end + blank.size()) (void)t.file->Truncate(info->size);
    } else {
      (void)t.file->Truncate(end);
    }
  };
  // The record and the end marker first, the count after: a failure in between leaves a
  // readable file whose count does not yet include the new record.
  if (Status s = t.file->WriteAt(end, blank.data(), blank.size()); !s.ok()) {
    undo();
    return WriteFailure(t, "a new record", s.code());
  }
  // Update date and record count in one write.
  uint8_t header[7];
  Today(header);
  for (int i = 0; i < 4; ++i) header[3 + i] = static_cast<uint8_t>(record >> (8 * i));
  if (Status s = t.file->WriteAt(1, header, sizeof header); !s.ok()) {
    undo();
    return WriteFailure(t, "the table header", s.code());
  }
  std::memcpy(t.header_date, header, 3);
  t.record_count = record;
  blank.pop_back();
  t.buffer.swap(blank);
  t.position = Position::kRecord;
  t.record = record;
  t.stored_under_lock = record;
  return kDbeSuccess;
}

}  // namespace tallyvox::dbe
