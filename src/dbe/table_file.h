// One open table as the engine keeps it, and the file work on it (internal to the
// engine): opening, the header, the record count, records, appends and the update date.
// Every failure is recorded as the thread's last error, naming the table file.
#ifndef TALLYVOX_DBE_TABLE_FILE_H_
#define TALLYVOX_DBE_TABLE_FILE_H_

#include <cstdint>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "dbe/dbe_engine.h"
#include "dbe/dbf_format.h"
#include "dbe/env.h"

namespace tallyvox::dbe {

enum class Position { kBof, kRecord, kEof };

struct Table {
  DbeHandle connection = 0;
  std::string path;
  std::unique_ptr<DbeFile> file;  // closing it releases every lock of this open
  bool read_only = false;
  bool update_right = true;
  DbfHeader header;
  uint32_t record_count = 0;  // as the header said when last read
  Position position = Position::kBof;
  uint32_t record = 0;          // current record number when position is kRecord
  std::vector<uint8_t> buffer;  // current record's bytes
  // The record whose stored bytes `buffer` holds, read or written while this open held
  // its lock (0: none). Nobody else writes a record this open holds locked, so going to
  // it again needs no read. Cleared when the buffer changes or the lock goes.
  uint32_t stored_under_lock = 0;
  std::set<uint32_t> locks;        // records locked through DbeLockRecord
  uint32_t append_lock = 0;        // record appended and locked until written
  bool holds_append_lock = false;  // the append byte, taken through DbeLockAppend
  uint8_t header_date[3] = {0, 0, 0};
};

// Opens t.path through `env`: read-write, or read-only for kDbeOptionReadOnly, on a
// read-only file system, or (with rights checking) when the user may not write it.
DbeResult OpenTableFile(Env& env, Table& t, uint16_t rights_check, uint32_t options);
// Reads and checks the header; a table with a structural index is made read-only.
DbeResult ReadHeader(Table& t);

// Re-reads the record count from the header, so that appends made by other users are
// seen, and checks that the records counted are in the file.
DbeResult RefreshCount(Table& t);
// Makes the count cover `record` when the table has it: re-reads it only for a record
// beyond the count last read (another user may have appended it since). No engine call
// takes records away, so a record once counted stays in the table.
DbeResult RefreshCountFor(Table& t, uint32_t record);
DbeResult ReadRecord(Table& t, uint32_t record, std::vector<uint8_t>* dest);
// Writes the current record's bytes at record `record`.
DbeResult WriteCurrentRecord(Table& t, uint32_t record);
// Writes today's date into the header when it holds another one.
DbeResult UpdateHeaderDate(Table& t);

// Adds a blank record at the end (the record and the end marker first, then the date
// and the count in one header write) and makes it current. A failure puts the file's
// end back as it was. REQUIRES: the caller holds the append lock and has locked the
// new record t.record_count + 1, and the count is fresh.
DbeResult AppendBlankRecord(Table& t);

}  // namespace tallyvox::dbe

#endif  // TALLYVOX_DBE_TABLE_FILE_H_
