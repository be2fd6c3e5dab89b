// Record locks between users of one table (internal to the engine). The lock of record
// n is an exclusive lock on the byte kDbeLockBase + n of the table file; the byte of
// "record 0", kDbeLockBase itself, serialises appends. See dbe_engine.h.
#ifndef TALLYVOX_DBE_RECORD_LOCKS_H_
#define TALLYVOX_DBE_RECORD_LOCKS_H_

#include <cstdint>

#include "dbe/dbe_engine.h"
#include "dbe/table_file.h"

namespace tallyvox::dbe {

// The record number whose lock byte is the append lock.
constexpr uint32_t kAppendLockRecord = 0;

// Takes or releases the lock byte of `record` for this open: 0, EAGAIN when another
// open (in any process) holds it, or another errno. Never waits.
int LockRecordByte(Table& t, uint32_t record);
void UnlockRecordByte(Table& t, uint32_t record);

// True when this open holds the lock of `record` (through DbeLockRecord, or as the
// record it appended and has not yet written).
bool HoldsLock(const Table& t, uint32_t record);

// The error for a lock of `record` that LockRecordByte refused with `err`.
DbeResult LockFailure(const Table& t, uint32_t record, int err);

}  // namespace tallyvox::dbe

#endif  // TALLYVOX_DBE_RECORD_LOCKS_H_
