#include "outbox/outbox_env.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

#include "base/small_file.h"

namespace tallyvox::monitor {
namespace {

// Closes a descriptor on every way out of a scope.
class Descriptor {
 public:
  explicit Descriptor(int fd) : fd_(fd) {}
  ~Descriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  int get() const { return fd_; }
  // Closes now; the close's errno or 0.
  int Close() {
    const int rc = ::close(fd_);
    fd_ = -1;
    return rc == 0 ? 0 : errno;
  }

 private:
  int fd_;
};

class PosixOutboxEnv : public OutboxEnv {
 public:
  int ListFolder(const std::string& folder, std::vector<std::string>* names) override {
    DIR* dir = ::opendir(folder.c_str());
    if (dir == nullptr) return errno;
    errno = 0;
    while (const dirent* entry = ::readdir(dir)) {
      const std::string name = entry->d_name;
      if (name != "." && name != "..") names->push_back(name);
      errno = 0;
    }
    const int err = errno;
    ::closedir(dir);
    return err;
  }

  int MakeFolder(const std::string& folder) override {
    return ::mkdir(folder.c_str(), 0700) == 0 ? 0 : errno;
  }

  bool Exists(const std::string& path) override {
    struct stat st;
    return ::lstat(path.c_str(), &st) == 0;
  }

  bool IsFolder(const std::string& path) override {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
  }

  int Inspect(const std::string& path, bool follow, FileFacts* facts) override {
    struct stat st;
    *facts = FileFacts{};
    if ((follow ? ::stat(path.c_str(), &st) : ::lstat(path.c_str(), &st)) != 0) {
      return errno == ENOENT ? 0 : errno;
    }
    facts->kind = S_ISDIR(st.st_mode)   ? FileFacts::Kind::kFolder
                  : S_ISLNK(st.st_mode) ? FileFacts::Kind::kLink
                                        : FileFacts::Kind::kOther;
    facts->owner = st.st_uid;
    facts->mode = st.st_mode;
    return 0;
  }

  unsigned User() override { return ::geteuid(); }

  int ReadFile(const std::string& path, size_t max, std::string* contents, bool* longer) override {
    SmallFile file = ReadSmallFile(path, max, SymbolicLinks::kRefuse);
    contents->clear();
    *longer = file.outcome == SmallFile::Outcome::kTooLarge;
    switch (file.outcome) {
      case SmallFile::Outcome::kRead:
        *contents = std::move(file.contents);
        return 0;
      case SmallFile::Outcome::kTooLarge:
        return 0;
      case SmallFile::Outcome::kNotRegular:
        return EINVAL;
      case SmallFile::Outcome::kOpenFailed:
      case SmallFile::Outcome::kReadFailed:
        break;
    }
    return file.error;
  }

  int CreateSyncedFile(const std::string& path, std::string_view data) override {
    Descriptor fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (fd.get() < 0) return errno;
    size_t done = 0;
    while (done < data.size()) {
      const ssize_t n = ::write(fd.get(), data.data() + done, data.size() - done);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) return errno;
      done += static_cast<size_t>(n);
    }
    if (::fsync(fd.get()) != 0) return errno;
    return fd.Close();
  }

  int Rename(const std::string& from, const std::string& to) override {
    return ::rename(from.c_str(), to.c_str()) == 0 ? 0 : errno;
  }

  int Remove(const std::string& path) override { return ::unlink(path.c_str()) == 0 ? 0 : errno; }

  int SyncFolder(const std::string& folder) override {
    Descriptor fd(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (fd.get() < 0) return errno;
    if (::fsync(fd.get()) != 0) return errno;
    return fd.Close();
  }

  int LockFolder(const std::string& folder, int* handle) override {
    const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return errno;
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
      const int err = errno;
      ::close(fd);
      return err;
    }
    *handle = fd;
    return 0;
  }

  void UnlockFolder(int handle) override { ::close(handle); }
};

}  // namespace

OutboxEnv* OutboxEnv::Default() {
  static PosixOutboxEnv* env = new PosixOutboxEnv;
  return env;
}

}  // namespace tallyvox::monitor
