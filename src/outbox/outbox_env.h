// OutboxEnv: the file system as the outbox (outbox.h) uses it. The outbox
// does all its file work through an Env, so that a test's Env can make a
// write fail as a full disk or a read-only folder would.
//
// Every operation returns 0 on success or an errno value.
//
// Thread safety: Default() may be used from any thread.
#ifndef TALLYVOX_OUTBOX_OUTBOX_ENV_H_
#define TALLYVOX_OUTBOX_OUTBOX_ENV_H_

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace tallyvox::monitor {

// What a path names, as lstat(2) or stat(2) tells it.
struct FileFacts {
  enum class Kind { kMissing, kFolder, kLink, kOther };
  Kind kind = Kind::kMissing;
  unsigned owner = 0;  // user id
  unsigned mode = 0;   // type and permission bits
};

class OutboxEnv {
 public:
  virtual ~OutboxEnv() = default;

  // The real file system. Never destroyed.
  static OutboxEnv* Default();

  // The names in a folder, without "." and "..", in no particular order.
  virtual int ListFolder(const std::string& folder, std::vector<std::string>* names) = 0;
  // Makes a folder (mode 0700); EEXIST when something has that name.
  virtual int MakeFolder(const std::string& folder) = 0;
  // Whether `path` names anything (a dangling link too), and a folder.
  virtual bool Exists(const std::string& path) = 0;
  virtual bool IsFolder(const std::string& path) = 0;
  // What `path` names; a symbolic link at its end is followed only with
  // `follow`. Nothing there is kMissing (and returns 0).
  virtual int Inspect(const std::string& path, bool follow, FileFacts* facts) = 0;
  // The user this program acts as (its effective user id).
  virtual unsigned User() = 0;
  // Reads a plain file (no link followed, no device, fifo or folder, never
  // waiting): at most `max` bytes into *contents; *longer is set when it
  // holds more (*contents is then empty).
  virtual int ReadFile(const std::string& path, size_t max, std::string* contents,
                       bool* longer) = 0;
  // Creates `path` (mode 0600), writes all of `data` and fsyncs the file
  // before closing it. Never follows or reuses anything at `path`: EEXIST
  // when something has the name (a symbolic link too, dangling or not).
  virtual int CreateSyncedFile(const std::string& path, std::string_view data) = 0;
  // rename(2): replaces `to`.
  virtual int Rename(const std::string& from, const std::string& to) = 0;
  virtual int Remove(const std::string& path) = 0;
  // fsyncs a folder, so renames and removals in it are on the disk.
  virtual int SyncFolder(const std::string& folder) = 0;
  // An exclusive lock on a folder for this process (flock on the folder
  // itself, so the folder holds no lock file); EWOULDBLOCK when another
  // holds it. *handle is released by UnlockFolder, or when the process ends.
  virtual int LockFolder(const std::string& folder, int* handle) = 0;
  virtual void UnlockFolder(int handle) = 0;
};

}  // namespace tallyvox::monitor

#endif  // TALLYVOX_OUTBOX_OUTBOX_ENV_H_
