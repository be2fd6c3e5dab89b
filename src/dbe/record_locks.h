// Record locks between users of one table (internal to the engine). The lock of record
// n is an exclusive lock on the byte kDbeLockBase + n of the table file; the byte of
// "record 0", kDbeLockBase itself, serialises appends. See dbe_engine.h.
#ifndef TALLYVOX_DBE_RECORD_LOCKS_H_
#define TALLYVOX_DBE_RECORD_LOCKS_H_

#include <chrono>
#include <cstdint>
#include <functional>

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

// How long a lock call waits for a lock that another user holds: at most `attempts`
// attempts, `pause` apart, and none after `total` from the first.
struct LockWait {
  std::chrono::milliseconds total;
  std::chrono::milliseconds pause;
  int attempts;
};
// The append lock is held for the writes of an append only.
inline constexpr LockWait kAppendLockWait{std::chrono::seconds(5), std::chrono::milliseconds(5),
                                          1001};
// A record lock is held for one write by another monitor on the table, or by `dbetool
// record`: a collision that short costs nothing, a lock held longer fails as before.
inline constexpr LockWait kRecordLockWait{std::chrono::milliseconds(250),
                                          std::chrono::milliseconds(10), 26};

// Calls `attempt` until it returns without setting *busy (the lock it wanted was held
// by another user), or the attempts or the time of `wait` are spent; returns what the
// last attempt returned. Sleeps between attempts, so `attempt` takes the engine's lock
// itself: every other call, on any table, goes on while one waits.
DbeResult RetryWhileBusy(const LockWait& wait, const std::function<DbeResult(bool* busy)>& attempt);

}  // namespace tallyvox::dbe

#endif  // TALLYVOX_DBE_RECORD_LOCKS_H_
