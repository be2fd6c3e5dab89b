// Outbox: the alerts that no mail account delivered, waiting for a retry,
// one file per alert in a folder of their own (alert_file.h has the
// format), in the order they were raised.
//
// Files: "<20-digit sequence number>.alert"; the numbers grow in the order
// alerts are added, across restarts. Add creates a new ".tmp-<name>"
// (O_EXCL, never through a link: when something has that name, the next
// free ".tmp-<name>.N"), fsyncs it, renames it to its name and fsyncs the
// folder: a file holds a whole alert or does not exist, and an alert Add
// returned for survives a crash or a kill. Remove deletes the file after
// its delivery, so delivery is at least once: a crash between the delivery
// and the removal delivers it again.
//
// Bounded: past `max` alerts, Add drops the oldest and logs it.
// Anything else in the folder (a file that is no alert file, or one that
// does not read as one, a link, a FIFO) is moved into the subfolder "aside"
// and logged, never deleted, never followed and never fatal; an "aside"
// that is a link or no folder is refused (logged; the file stays where it
// is). Temporary files an interrupted Add left are removed (unlinked: a
// link goes, its target stays).
//
// The folder must be Tallyvox's own: Open refuses a folder that another
// user owns, or that group or others may write in, since whoever may write
// there may plant alerts to be mailed.
//
// The log and the errors quote file and folder names with their control
// bytes escaped (base/text.h), as anyone may name a file.
//
// One process at a time: Open locks the folder (flock); another outbox on
// the same folder is refused until the first is destroyed or its process
// ends.
//
// Invariant: once open, Pending() holds what the folder's alert files hold,
//            oldest (lowest sequence number) first.
//
// Thread-safe: the outbox's lock (mu_) guards the folder's lock, the
// sequence numbers and the pending list, and every function takes it, so the
// stall guard (stall_guard.h) can add an alert from its own thread
// (AddFromElsewhere) while the monitor thread delivers the outbox. The log
// is called under that lock: it must not call back into the outbox.
#ifndef TALLYVOX_OUTBOX_OUTBOX_H_
#define TALLYVOX_OUTBOX_OUTBOX_H_

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <stdexcept>
#include <string>
#include <string_view>

#include "base/mutex.h"
#include "base/thread_annotations.h"
#include "outbox/alert_file.h"
#include "outbox/outbox_env.h"
#include "settings/settings.h"

namespace tallyvox::monitor {

// Its message starts with "outbox <folder>: " and says what failed and why
// ("outbox /var/lib/tallyvox/outbox: cannot write 00000000000000000007.alert:
// No space left on device").
class OutboxError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct OutboxEntry {
  uint64_t sequence = 0;
  QueuedAlert alert;
};

class Outbox {
 public:
  static constexpr size_t kDefaultMax = kDefaultOutboxMax;
  using Log = std::function<void(const std::string& line)>;

  // `log` gets each line of the outbox's log. REQUIRES: max >= 1; `env`
  // outlives the outbox.
  Outbox(std::string folder, size_t max, Log log, OutboxEnv* env = OutboxEnv::Default());
  ~Outbox();
  Outbox(const Outbox&) = delete;
  Outbox& operator=(const Outbox&) = delete;

  // Makes the folder when it is missing (its parent must exist), locks it,
  // checks that it is private, and reads the alerts waiting there. Does
  // nothing when open. Raises OutboxError when the folder cannot be used
  // ("outbox F: refused: other users may write in the folder (mode 777);
  // make it private: chmod go-w F"); may be called again later.
  void Open();
  bool IsOpen() const;

  // Writes the alert durably and appends it; returns its sequence number.
  // Raises OutboxError (nothing kept then). REQUIRES: IsOpen().
  uint64_t Add(const QueuedAlert& alert);
  // Add from another thread than the one that delivers the outbox: this
  // call's lines go to `log` instead of the outbox's log, and once the alert
  // is kept the hook set with SetOnAddedElsewhere runs (on this thread,
  // without the lock held). Raises OutboxError, also when the outbox is not
  // open.
  uint64_t AddFromElsewhere(const QueuedAlert& alert, const Log& log);
  // REQUIRES: the hook may run on any thread and outlives the outbox's use.
  void SetOnAddedElsewhere(std::function<void()> hook);
  // Deletes a delivered alert. A sequence number no longer pending is
  // ignored; a file that cannot be deleted is logged (it comes back after a
  // restart) and is no longer pending.
  void Remove(uint64_t sequence);

  // A copy of the alerts waiting, oldest first.
  std::deque<OutboxEntry> Pending() const;
  size_t Size() const;
  // The oldest alert waiting; false when none waits.
  bool Oldest(OutboxEntry* entry) const;
  // The alert `sequence` when it still waits.
  bool Find(uint64_t sequence, OutboxEntry* entry) const;
  const std::string& folder() const { return folder_; }
  // "00000000000000000042.alert".
  static std::string FileName(uint64_t sequence);

 private:
  [[noreturn]] void Fail(const std::string& what, int err) const REQUIRES(mu_);
  void Note(const std::string& what) const REQUIRES(mu_);
  void MakeFolder() REQUIRES(mu_);
  void CheckFolder() const REQUIRES(mu_);
  void Scan() REQUIRES(mu_);
  void ReadEntry(const std::string& name, uint64_t sequence) REQUIRES(mu_);
  std::string AsideFolder(std::string* problem) REQUIRES(mu_);
  void MoveAside(const std::string& name, const std::string& reason) REQUIRES(mu_);
  std::string WriteTemporary(const std::string& name, std::string_view bytes) REQUIRES(mu_);
  uint64_t AddLocked(const QueuedAlert& alert) REQUIRES(mu_);
  void RemoveLocked(uint64_t sequence) REQUIRES(mu_);
  void DropOldest() REQUIRES(mu_);
  std::string Path(const std::string& name) const { return folder_ + "/" + name; }

  const std::string folder_;  // set once, before any use
  const size_t max_;
  const Log log_;
  OutboxEnv* const env_;
  mutable Mutex mu_;
  int lock_ GUARDED_BY(mu_) = -1;
  uint64_t next_sequence_ GUARDED_BY(mu_) = 1;
  std::deque<OutboxEntry> pending_ GUARDED_BY(mu_);
  // Where Note writes: log_, or an AddFromElsewhere's.
  const Log* note_log_ GUARDED_BY(mu_) = &log_;
  std::function<void()> on_added_elsewhere_ GUARDED_BY(mu_);
};

}  // namespace tallyvox::monitor

#endif  // TALLYVOX_OUTBOX_OUTBOX_H_
