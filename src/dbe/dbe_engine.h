// The DBE table engine: a small client library that reads and writes xBase (.dbf) table
// files directly (local server type only). The table dataset of the audit table calls it
// the way a client calls an engine library: plain functions that return 0 on success or
// an engine error code, with the error's text available from DbeGetLastError.
//
// Handles are opaque non-zero numbers. Fields are passed by number, 1..DbeGetNumFields.
// Record numbers are 1-based physical positions in the file.
//
// Record buffers: DbeGetRecord hands out the raw record (deletion flag at byte 0, fields
// at their offsets, see dbe/dbf_format.h). Each open table keeps the current record's
// bytes; DbeSetField/DbeSetFieldRaw/DbeSetEmpty change them and DbeWriteRecord stores
// them at the record's place in the file.
//
// Record locks (shared with other processes that follow the same convention): the engine
// takes an open-file-description write lock (F_OFD_SETLK) on one byte of the table file
// at offset kDbeLockBase + record number; the byte at kDbeLockBase itself (record 0)
// serialises appends. The range lies far beyond any table's data, so the locks never
// touch the bytes that readers use. Each DbeOpenTable opens its own file description,
// so two opens of one table, even within one process, exclude each other.
//
// Reading less: no call takes records away, so the engine re-reads the header's record
// count only where another user's appends matter (going to the top, skipping, appending,
// DbeGetRecordCount) and for a record beyond the count it knows. DbeGotoRecord does not
// read again a record that this open holds locked and has read or written under the
// lock: nobody else writes it meanwhile. A locked edit thus costs the lock, one read,
// one write and the unlock.
//
// Visibility: with show-deleted off (DbeShowDeleted(0)) records whose deletion flag is
// '*' are skipped by DbeGotoTop and DbeSkip.
//
// File system: the engine reaches the table files through an Env (dbe/env.h), the real
// one unless DbeSetEnv installs another.
//
// Thread safety: every function may be called from any thread; calls are serialised by
// one engine lock, which is never held while a call waits for another user's append
// lock. The last error is kept per thread.
#ifndef TALLYVOX_DBE_DBE_ENGINE_H_
#define TALLYVOX_DBE_DBE_ENGINE_H_

#include <cstdint>

namespace tallyvox::dbe {

class Env;

using DbeHandle = uint64_t;
using DbeResult = uint32_t;

constexpr int64_t kDbeLockBase = int64_t{1} << 48;

// Engine error codes. 0 is success.
constexpr DbeResult kDbeSuccess = 0;
constexpr DbeResult kDbeErrFileNotFound = 5001;      // the table file or folder does not exist
constexpr DbeResult kDbeErrOpenFailed = 5002;        // the file exists but cannot be opened
constexpr DbeResult kDbeErrNotATable = 5003;         // the file is not an xBase table
constexpr DbeResult kDbeErrCorruptHeader = 5004;     // header lengths or descriptors inconsistent
constexpr DbeResult kDbeErrRecordOutOfRange = 5005;  // record number not in 1..record count
constexpr DbeResult kDbeErrRecordLocked = 5006;      // the record is locked by another user
constexpr DbeResult kDbeErrWriteFailed = 5007;       // writing the file failed
constexpr DbeResult kDbeErrReadFailed = 5008;        // reading the file failed or came up short
constexpr DbeResult kDbeErrInvalidHandle = 5009;     // no such connection, table or index
constexpr DbeResult kDbeErrInvalidArgument = 5010;   // a value outside what the function accepts
constexpr DbeResult kDbeErrInvalidField = 5011;      // field number not in 1..field count
constexpr DbeResult kDbeErrTableReadOnly = 5012;     // a change to a table opened read-only
constexpr DbeResult kDbeErrBufferTooSmall = 5013;    // an output buffer shorter than the value
constexpr DbeResult kDbeErrNotLocked = 5014;         // unlocking a record this table did not lock
constexpr DbeResult kDbeErrServerType = 5015;        // the local server type is not enabled
constexpr DbeResult kDbeErrDateFormat = 5016;        // a date format the engine does not understand
constexpr DbeResult kDbeErrFieldValue = 5017;        // a value that does not suit the field's type
constexpr DbeResult kDbeErrPermission = 5054;        // permission refused (set by the dataset)
constexpr DbeResult kDbeErrStaticView = 5064;        // static view (never produced by this engine)
constexpr DbeResult kDbeErrNoCurrentRecord = 5068;   // at the beginning or end: no current record

// Engine field types reported by DbeGetFieldType.
constexpr uint16_t kDbeTypeLogical = 1;
constexpr uint16_t kDbeTypeNumeric = 2;
constexpr uint16_t kDbeTypeDate = 3;
constexpr uint16_t kDbeTypeString = 4;
constexpr uint16_t kDbeTypeMemo = 5;
constexpr uint16_t kDbeTypeBinary = 6;
constexpr uint16_t kDbeTypeImage = 7;
constexpr uint16_t kDbeTypeVarChar = 8;
constexpr uint16_t kDbeTypeDouble = 10;
constexpr uint16_t kDbeTypeInteger = 11;
constexpr uint16_t kDbeTypeTime = 13;
constexpr uint16_t kDbeTypeTimestamp = 14;
constexpr uint16_t kDbeTypeAutoInc = 15;
constexpr uint16_t kDbeTypeRaw = 16;
constexpr uint16_t kDbeTypeCurrency = 17;

// DbeGetTableOpenOptions bits, and DbeOpenTable options.
constexpr uint32_t kDbeOptionExclusive = 1;
constexpr uint32_t kDbeOptionReadOnly = 2;      // the table cannot be modified
constexpr uint32_t kDbeOptionUpdateRight = 32;  // the user may update the table's records

// DbeGetColumnPermissions bits.
constexpr uint16_t kDbePermRead = 1;
constexpr uint16_t kDbePermUpdate = 2;
constexpr uint16_t kDbePermInsert = 4;

// DbeSetServerType bits.
constexpr uint16_t kDbeServerLocal = 1;
constexpr uint16_t kDbeServerRemote = 2;
constexpr uint16_t kDbeServerInternet = 4;

// DbeOpenTable table types accepted (all mean an xBase .dbf file; no index file is used).
constexpr uint16_t kDbeTableNtx = 1;
constexpr uint16_t kDbeTableCdx = 2;
constexpr uint16_t kDbeTableVfp = 3;

// Size of the text DbeGetLastError can produce, terminating NUL included.
constexpr uint32_t kDbeMaxErrorLength = 600;

// Process-wide settings.
// The file system that tables opened from now on use (nullptr: Env::Default()); tables
// already open keep theirs. Returns the Env used before. REQUIRES: `env` outlives every
// table opened through it.
Env* DbeSetEnv(Env* env);
DbeResult DbeCacheOpenCursors(uint16_t count);
// Accepts day/month/year formats made of d, dd, M, MM, yy, yyyy, ccyy and separators.
DbeResult DbeSetDateFormat(const char* format);
DbeResult DbeGetDateFormat(char* buffer, uint16_t* length);
DbeResult DbeSetDecimals(uint16_t decimals);
DbeResult DbeGetDecimals(uint16_t* decimals);
DbeResult DbeShowDeleted(uint16_t show);
DbeResult DbeGetDeleted(uint16_t* show);
DbeResult DbeSetServerType(uint16_t types);

// Connections: a connection names a folder; it must exist.
DbeResult DbeConnect(const char* folder, DbeHandle* connection);
// Closes the connection's tables (releasing their locks) and the connection.
DbeResult DbeDisconnect(DbeHandle connection);

// Opens `path` (a full path) through `connection`. Options: 0 shared read-write,
// kDbeOptionReadOnly for read-only. With rights checking on, a file the user may not
// write is opened without the update right instead of failing. Current position: top.
DbeResult DbeOpenTable(DbeHandle connection, const char* path, const char* alias,
                       uint16_t table_type, uint16_t char_type, uint16_t lock_type,
                       uint16_t rights_check, uint32_t options, DbeHandle* table);
DbeResult DbeCloseTable(DbeHandle table);

// Layout.
DbeResult DbeGetRecordLength(DbeHandle table, uint32_t* length);
DbeResult DbeGetTableOpenOptions(DbeHandle table, uint32_t* options);
DbeResult DbeGetBookmarkLength(DbeHandle table, uint32_t* length);
DbeResult DbeGetNumFields(DbeHandle table, uint16_t* count);
DbeResult DbeGetFieldType(DbeHandle table, uint32_t field, uint16_t* type);
DbeResult DbeGetFieldLength(DbeHandle table, uint32_t field, uint32_t* length);
DbeResult DbeGetFieldDecimals(DbeHandle table, uint32_t field, uint16_t* decimals);
// `length` in: the buffer's size; out: the name's length (without the NUL).
DbeResult DbeGetFieldName(DbeHandle table, uint32_t field, char* buffer, uint16_t* length);
DbeResult DbeGetFieldOffset(DbeHandle table, uint32_t field, uint32_t* offset);
DbeResult DbeGetColumnPermissions(DbeHandle table, uint32_t field, uint16_t* permissions);
// Header facts for listings: version byte and record count as the header says now.
DbeResult DbeGetTableVersion(DbeHandle table, uint16_t* version);
DbeResult DbeGetRecordCount(DbeHandle table, uint32_t* count);

// Indexes: this engine reads no index files, so a table has none. `count` in: room in
// `indexes`; out: the number of indexes. The index functions refuse every handle.
DbeResult DbeGetAllIndexes(DbeHandle table, DbeHandle* indexes, uint16_t* count);
DbeResult DbeGetIndexPageSize(DbeHandle index, uint32_t* page_size);
DbeResult DbeGetIndexName(DbeHandle index, char* buffer, uint16_t* length);
DbeResult DbeGetNumSegments(DbeHandle index, uint16_t* count);
DbeResult DbeGetSegmentFieldname(DbeHandle index, uint16_t segment, char* buffer, uint16_t* length);
DbeResult DbeIsIndexDescending(DbeHandle index, uint16_t* descending);
DbeResult DbeIsIndexUnique(DbeHandle index, uint16_t* unique);

// Positioning in record-number order. The position may be a record, before the first
// visible record (BOF) or after the last one (EOF). DbeSkip(-1) from the first visible
// record moves to BOF; DbeSkip(+1) from BOF moves to the first visible record.
DbeResult DbeGotoTop(DbeHandle table);
DbeResult DbeSkip(DbeHandle table, int32_t count);
DbeResult DbeGotoRecord(DbeHandle table, uint32_t record);
DbeResult DbeAtEOF(DbeHandle table, uint16_t* at_eof);
DbeResult DbeAtBOF(DbeHandle table, uint16_t* at_bof);
// kDbeErrNoCurrentRecord at BOF or EOF.
DbeResult DbeIsRecordVisible(DbeHandle table, uint16_t* visible);
// `length` in: the buffer's size; out: the record length.
DbeResult DbeGetRecord(DbeHandle table, uint8_t* buffer, uint32_t* length);
DbeResult DbeGetBookmark60(DbeHandle table, uint32_t* bookmark);
// The current record's number; 0 at BOF or EOF. `filter_option` is accepted and ignored
// (this engine has no filters).
DbeResult DbeGetRecordNum(DbeHandle table, uint16_t filter_option, uint32_t* record);
// Fills `buffer` (at least the record length) with a blank live record.
DbeResult DbeClearRecordBuffer(DbeHandle table, uint8_t* buffer, uint32_t length);

// Locks. DbeLockRecord fails with kDbeErrRecordLocked when another open of the table
// (in any process) holds the record; locking a record twice through one table is fine.
// It waits briefly for a record another user holds (up to 250 ms, tried again every
// 10 ms; record_locks.h), so that a collision with another writer's short lock costs
// nothing, and fails only for a lock held longer.
DbeResult DbeLockRecord(DbeHandle table, uint32_t record);
DbeResult DbeUnlockRecord(DbeHandle table, uint32_t record);

// Changing the current record's bytes.
// Character fields: the bytes are copied and cut or blank-padded to the field length.
// Numeric fields: a number text, right-aligned. Logical: T/F/Y/N/?. Date: YYYYMMDD.
DbeResult DbeSetField(DbeHandle table, uint32_t field, const uint8_t* bytes, uint32_t length);
// `length` must equal the field's length; the bytes are stored as they are.
DbeResult DbeSetFieldRaw(DbeHandle table, uint32_t field, const uint8_t* bytes, uint32_t length);
// Blanks the field (zero bytes for binary types).
DbeResult DbeSetEmpty(DbeHandle table, uint32_t field);

// The append lock, held by one open of a table at a time: DbeLockAppend waits up to
// 5 s for it (then fails with kDbeErrRecordLocked) and holds it until DbeUnlockAppend
// or the table is closed. Holding it across "look for a record, append only when there
// is none" keeps two users from both appending to an empty table.
DbeResult DbeLockAppend(DbeHandle table);
DbeResult DbeUnlockAppend(DbeHandle table);
// Appends a blank record at the end (under the append lock, taken for the call unless
// this table holds it already, re-reading the record count from the file), locks it
// until DbeWriteRecord stores it, and makes it current.
DbeResult DbeAppendRecord(DbeHandle table);
// Stores the current record: the whole record at its offset, then the header's update
// date. Needs the record's lock; takes it for the write when this table does not hold
// it. On failure the file stays readable and the error names the file.
DbeResult DbeWriteRecord(DbeHandle table);

// Errors. `length` in: the buffer's size; out: the text's length. The text names the
// table file where one is involved.
DbeResult DbeGetLastError(uint32_t* code, char* buffer, uint16_t* length);
DbeResult DbeSetLastError(uint32_t code, const char* text);

}  // namespace tallyvox::dbe

#endif  // TALLYVOX_DBE_DBE_ENGINE_H_
