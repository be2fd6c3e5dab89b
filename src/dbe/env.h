// The file system as the table engine sees it: opening table files, positioned reads and
// writes, sizes, truncation and one-byte record locks. The engine does all its file work
// through an Env, so that another Env (a test's, say) can make writes fail or watch the
// locks without the engine carrying any switch for it.
//
// Every operation returns a Status: OK, or an error whose code() is the errno value (a
// read that meets the end of the file first fails with kDbeShortRead) and whose message()
// is the system's text for it.
//
// Thread safety: Env::Default() may be used from any thread. One DbeFile is used by one
// thread at a time (the engine serialises its calls).
#ifndef TALLYVOX_DBE_ENV_H_
#define TALLYVOX_DBE_ENV_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "base/status.h"

namespace tallyvox::dbe {

// ReadAt's error code when the file ends before the bytes asked for.
constexpr int kDbeShortRead = -1;

struct DbeFileInfo {
  uint64_t size = 0;
  bool regular = false;  // a plain file (not a folder, device, ...)
};

// One open file description. Destroying it closes the file, which releases every lock
// taken through it.
class DbeFile {
 public:
  virtual ~DbeFile() = default;

  // Reads exactly `size` bytes at `offset`.
  virtual Status ReadAt(uint64_t offset, uint8_t* dest, size_t size) = 0;
  // Writes all `size` bytes at `offset`.
  virtual Status WriteAt(uint64_t offset, const uint8_t* src, size_t size) = 0;
  virtual StatusOr<DbeFileInfo> Stat() = 0;
  virtual Status Truncate(uint64_t size) = 0;
  // An exclusive lock on the byte at `offset` for this description, or its release.
  // Never waits: EAGAIN when another description holds the byte. Locks are advisory
  // (open-file-description locks): they exclude other descriptions in this process too.
  virtual Status LockByte(uint64_t offset) = 0;
  virtual Status UnlockByte(uint64_t offset) = 0;
};

class Env {
 public:
  virtual ~Env() = default;

  // The real file system. Never destroyed.
  static Env* Default();

  // Opens an existing file, for reading and writing when `writable`, else read-only.
  virtual StatusOr<std::unique_ptr<DbeFile>> OpenFile(const std::string& path, bool writable) = 0;
  virtual bool IsDirectory(const std::string& path) = 0;
};

}  // namespace tallyvox::dbe

#endif  // TALLYVOX_DBE_ENV_H_
