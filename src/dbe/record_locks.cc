#include "dbe/record_locks.h"

#include <cerrno>
#include <string>
#include <thread>

#include "dbe/last_error.h"

namespace tallyvox::dbe {
namespace {

uint64_t LockOffset(uint32_t record) { return static_cast<uint64_t>(kDbeLockBase) + record; }

}  // namespace

int LockRecordByte(Table& t, uint32_t record) {
  return t.file->LockByte(LockOffset(record)).code();
}

// A failed release leaves the byte to the file's close.
void UnlockRecordByte(Table& t, uint32_t record) { (void)t.file->UnlockByte(LockOffset(record)); }

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

DbeResult RetryWhileBusy(const LockWait& wait,
                         const std::function<DbeResult(bool* busy)>& attempt) {
  const auto deadline = std::chrono::steady_clock::now() + wait.total;
  for (int tries = 1;; ++tries) {
    bool busy = false;
    const DbeResult result = attempt(&busy);
    if (!busy || tries >= wait.attempts || std::chrono::steady_clock::now() >= deadline) {
      return result;
    }
    std::this_thread::sleep_for(wait.pause);
  }
}

}  // namespace tallyvox::dbe
