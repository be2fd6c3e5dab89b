#include "dbe/record_locks.h"

#include <cerrno>
#include <string>

#include "dbe/last_error.h"

namespace tallyvox::dbe {
namespace {

uint64_t LockOffset(uint32_t record) { return static_cast<uint64_t>(kDbeLockBase) + record; }

}  // namespace

int LockRecordByte(Table& t, uint32_t record) { return t.file->LockByte(LockOffset(record)); }

void UnlockRecordByte(Table& t, uint32_t record) { t.file->UnlockByte(LockOffset(record)); }

bool HoldsLock(const Table& t, uint32_t record) {
  return t.locks.count(record) > 0 || t.append_lock == record;
}

DbeResult LockFailure(const Table& t, uint32_t record, int err) {
  if (err == EAGAIN) {
    return Fail(kDbeErrRecordLocked,
                "Record " + std::to_string(record) + " is locked by another user: " + t.path);
  }
  return Fail(kDbeErrRecordLocked, "Cannot lock record " + std::to_string(record) + " (" +
                                       ErrnoText(err) + "): " + t.path);
}

}  // namespace tallyvox::dbe
