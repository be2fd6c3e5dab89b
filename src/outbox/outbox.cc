#include "outbox/outbox.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <utility>
#include <vector>

#include "base/text.h"

namespace tallyvox::monitor {
namespace {

constexpr char kAside[] = "aside";
constexpr char kTempPrefix[] = ".tmp-";
constexpr char kSuffix[] = ".alert";
constexpr size_t kSequenceDigits = 20;
// Names tried in the aside folder before a file is left where it is, and
// for an alert's temporary file before the alert is refused.
constexpr int kAsideTries = 100;
constexpr int kTempTries = 100;

std::string ErrorText(int err) { return std::strerror(err); }

// The sequence number of an alert file's name, or 0.
uint64_t SequenceOf(const std::string& name) {
  const size_t suffix = std::strlen(kSuffix);
  if (name.size() != kSequenceDigits + suffix || name.compare(kSequenceDigits, suffix, kSuffix)) {
    return 0;
  }
  uint64_t value = 0;
  for (size_t i = 0; i < kSequenceDigits; ++i) {
    if (name[i] < '0' || name[i] > '9') return 0;
    const uint64_t digit = static_cast<uint64_t>(name[i] - '0');
    if (value > (UINT64_MAX - digit) / 10) return 0;
    value = value * 10 + digit;
  }
  return value;
}

std::string WithoutTrailingSlashes(std::string folder) {
  while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
  return folder;
}

}  // namespace

Outbox::Outbox(std::string folder, size_t max, Log log, OutboxEnv* env)
    : folder_(WithoutTrailingSlashes(std::move(folder))),
      max_(max),
      log_(std::move(log)),
      env_(env) {}

Outbox::~Outbox() {
  if (lock_ >= 0) env_->UnlockFolder(lock_);
}

bool Outbox::IsOpen() const {
  MutexLock lock(&mu_);
  return lock_ >= 0;
}

std::deque<OutboxEntry> Outbox::Pending() const {
  MutexLock lock(&mu_);
  return pending_;
}

size_t Outbox::Size() const {
  MutexLock lock(&mu_);
  return pending_.size();
}

bool Outbox::Oldest(OutboxEntry* entry) const {
  MutexLock lock(&mu_);
  if (pending_.empty()) return false;
  *entry = pending_.front();
  return true;
}

bool Outbox::Find(uint64_t sequence, OutboxEntry* entry) const {
  MutexLock lock(&mu_);
  for (const OutboxEntry& e : pending_) {
    if (e.sequence != sequence) continue;
    *entry = e;
    return true;
  }
  return false;
}

std::string Outbox::FileName(uint64_t sequence) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%020llu", static_cast<unsigned long long>(sequence));
  return buf + std::string(kSuffix);
}

void Outbox::Fail(const std::string& what, int err) const {
  throw OutboxError("outbox " + EscapeControls(folder_) + ": " + what + ": " + ErrorText(err));
}

void Outbox::Note(const std::string& what) const {
  if (*note_log_) (*note_log_)("outbox " + EscapeControls(folder_) + ": " + what);
}

void Outbox::MakeFolder() {
  if (env_->IsFolder(folder_)) return;
  const int err = env_->MakeFolder(folder_);
  if (err == EEXIST) Fail("cannot use it as the outbox", ENOTDIR);
  if (err != 0) Fail("cannot make the folder", err);
}

// Anyone who may write in the folder may plant alerts that get mailed, and
// links that the outbox's own files would be written through.
void Outbox::CheckFolder() const {
  FileFacts facts;
  if (const int err = env_->Inspect(folder_, /*follow=*/true, &facts)) {
    Fail("cannot look at the folder", err);
  }
  const unsigned user = env_->User();
  if (facts.owner != user) {
    throw OutboxError("outbox " + folder_ + ": refused: the folder belongs to user " +
                      std::to_string(facts.owner) + ", and Tallyvox runs as user " +
                      std::to_string(user) + "; an outbox must be Tallyvox's own");
  }
  if ((facts.mode & (S_IWGRP | S_IWOTH)) != 0) {
    char mode[8];
    std::snprintf(mode, sizeof mode, "%03o", facts.mode & 0777);
    throw OutboxError("outbox " + folder_ +
                      ": refused: other users may write in the folder (mode " + mode +
                      "); make it private: chmod go-w " + folder_);
  }
}

void Outbox::Open() {
  MutexLock guard(&mu_);
  if (lock_ >= 0) return;
  MakeFolder();
  int lock = -1;
  if (const int err = env_->LockFolder(folder_, &lock)) {
    if (err == EWOULDBLOCK) {
      throw OutboxError("outbox " + EscapeControls(folder_) + ": another Tallyvox is using it");
    }
    Fail("cannot lock the folder", err);
  }
  lock_ = lock;
  try {
    CheckFolder();
    Scan();
  } catch (...) {
    env_->UnlockFolder(lock_);
    lock_ = -1;
    pending_.clear();
    throw;
  }
  if (!pending_.empty()) {
    Note(std::to_string(pending_.size()) + " alert" + (pending_.size() == 1 ? "" : "s") +
         " waiting from before");
  }
}

void Outbox::Scan() {
  std::vector<std::string> names;
  if (const int err = env_->ListFolder(folder_, &names)) Fail("cannot read the folder", err);
  std::sort(names.begin(), names.end());
  pending_.clear();
  for (const std::string& name : names) {
    if (name == kAside) continue;  // whatever it is (MoveAside checks it)
    if (name.rfind(kTempPrefix, 0) == 0) {
      // An Add that did not finish: its alert was never reported kept. The
      // name is removed, never followed (a link is removed, not its target).
      const int err = env_->Remove(Path(name));
      if (err == 0) Note("removed " + EscapeControls(name) + ", an unfinished write");
      if (err != 0 && err != ENOENT)
        Note("cannot remove " + EscapeControls(name) + ": " + ErrorText(err));
      continue;
    }
    const uint64_t sequence = SequenceOf(name);
    if (sequence == 0) {
      MoveAside(name, "not an alert file");
      continue;
    }
    ReadEntry(name, sequence);
  }
  std::sort(pending_.begin(), pending_.end(),
            [](const OutboxEntry& a, const OutboxEntry& b) { return a.sequence < b.sequence; });
  next_sequence_ = pending_.empty() ? 1 : pending_.back().sequence + 1;
}

void Outbox::ReadEntry(const std::string& name, uint64_t sequence) {
  std::string bytes;
  bool longer = false;
  if (const int err = env_->ReadFile(Path(name), kMaxAlertFileBytes, &bytes, &longer)) {
    MoveAside(name, "cannot read it: " + ErrorText(err));
    return;
  }
  if (longer) {
    MoveAside(name, "corrupt: longer than " + std::to_string(kMaxAlertFileBytes) + " bytes");
    return;
  }
  try {
    pending_.push_back({sequence, ParseAlertFile(bytes)});
  } catch (const AlertFileError& e) {
    MoveAside(name, std::string("corrupt: ") + e.what());
  }
}

// The aside folder, made when missing; "" with *problem set when it
// cannot be used. A link in its place is refused, so that nothing moved
// aside lands outside the outbox.
std::string Outbox::AsideFolder(std::string* problem) {
  const std::string aside = Path(kAside);
  FileFacts facts;
  int err = env_->Inspect(aside, /*follow=*/false, &facts);
  if (err == 0 && facts.kind == FileFacts::Kind::kMissing) err = env_->MakeFolder(aside);
  if (err != 0) {
    *problem = ErrorText(err);
    return "";
  }
  if (facts.kind == FileFacts::Kind::kLink) {
    *problem = std::string(kAside) + " is a symbolic link, which is refused";
    return "";
  }
  if (facts.kind == FileFacts::Kind::kOther) {
    *problem = std::string(kAside) + " is not a folder";
    return "";
  }
  return aside;
}

void Outbox::MoveAside(const std::string& name, const std::string& reason) {
  std::string problem;
  const std::string aside = AsideFolder(&problem);
  int err = 0;
  std::string target = aside + "/" + name;
  for (int i = 1; !aside.empty() && err == 0 && env_->Exists(target); ++i) {
    if (i == kAsideTries) err = EEXIST;
    target = aside + "/" + name + "." + std::to_string(i);
  }
  if (!aside.empty() && err == 0) err = env_->Rename(Path(name), target);
  if (err != 0) problem = ErrorText(err);
  if (!problem.empty()) {
    Note("cannot move " + EscapeControls(name) + " aside (" + reason + "): " + problem +
         "; it is left where it is");
    return;
  }
  env_->SyncFolder(folder_);
  env_->SyncFolder(aside);
  Note("moved " + EscapeControls(name) + " aside to " + EscapeControls(target) + ": " + reason);
}

uint64_t Outbox::Add(const QueuedAlert& alert) {
  MutexLock lock(&mu_);
  return AddLocked(alert);
}

uint64_t Outbox::AddFromElsewhere(const QueuedAlert& alert, const Log& log) {
  std::function<void()> hook;
  uint64_t sequence = 0;
  {
    MutexLock lock(&mu_);
    if (lock_ < 0) throw OutboxError("outbox " + folder_ + ": it is not open");
    // This call's lines go to the caller's log, also when it raises.
    struct NoteTo {
      Outbox* outbox;
      ~NoteTo() { outbox->note_log_ = &outbox->log_; }
    } restore{this};
    note_log_ = &log;
    sequence = AddLocked(alert);
    hook = on_added_elsewhere_;
  }
  if (hook) hook();
  return sequence;
}

void Outbox::SetOnAddedElsewhere(std::function<void()> hook) {
  MutexLock lock(&mu_);
  on_added_elsewhere_ = std::move(hook);
}

uint64_t Outbox::AddLocked(const QueuedAlert& alert) {
  std::string bytes;
  try {
    bytes = EncodeAlertFile(alert);
  } catch (const AlertFileError& e) {
    throw OutboxError("outbox " + EscapeControls(folder_) + ": cannot keep the alert: " + e.what());
  }
  const uint64_t sequence = next_sequence_;
  const std::string name = FileName(sequence);
  const std::string temp = WriteTemporary(name, bytes);
  int err = env_->Rename(temp, Path(name));
  if (err != 0) {
    env_->Remove(temp);
    Fail("cannot write " + name, err);
  }
  if ((err = env_->SyncFolder(folder_)) != 0) {
    env_->Remove(Path(name));
    Fail("cannot write " + name, err);
  }
  ++next_sequence_;
  pending_.push_back({sequence, alert});
  while (pending_.size() > max_) DropOldest();
  return sequence;
}

// A new file ".tmp-<name>" holding `bytes`, synced. Something already at
// that name (a temporary an earlier write could not remove, or a link
// someone put there) is left alone: the next of ".tmp-<name>.1", ".2", ...
// is taken instead.
std::string Outbox::WriteTemporary(const std::string& name, std::string_view bytes) {
  for (int i = 0; i < kTempTries; ++i) {
    const std::string temp =
        kTempPrefix + name + (i == 0 ? std::string() : "." + std::to_string(i));
    const int err = env_->CreateSyncedFile(Path(temp), bytes);
    if (err == 0) return Path(temp);
    if (err != EEXIST) {
      env_->Remove(Path(temp));  // what this write made of it
      Fail("cannot write " + name, err);
    }
    if (i == 0)
      Note(EscapeControls(temp) + " is in the way; the alert is written through another name");
  }
  Fail("cannot write " + name, EEXIST);
}

void Outbox::DropOldest() {
  const OutboxEntry oldest = std::move(pending_.front());
  RemoveLocked(oldest.sequence);
  Note("full (" + std::to_string(max_) + " alerts): dropped the oldest, raised " +
       TimestampText(oldest.alert.raised) + ": " + oldest.alert.text);
}

void Outbox::Remove(uint64_t sequence) {
  MutexLock lock(&mu_);
  RemoveLocked(sequence);
}

void Outbox::RemoveLocked(uint64_t sequence) {
  const auto it = std::find_if(pending_.begin(), pending_.end(),
                               [&](const OutboxEntry& e) { return e.sequence == sequence; });
  if (it == pending_.end()) return;
  const std::string name = FileName(sequence);
  pending_.erase(it);
  int err = env_->Remove(Path(name));
  if (err == 0 || err == ENOENT) err = env_->SyncFolder(folder_);
  if (err != 0) {
    Note("cannot remove " + EscapeControls(name) + ": " + ErrorText(err) +
         "; its alert may be delivered again after a restart");
  }
}

}  // namespace tallyvox::monitor
