// Env::Default(): the table engine's file system over POSIX calls.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "dbe/env.h"
#include "dbe/last_error.h"

namespace tallyvox::dbe {
namespace {

Status ErrnoStatus(int err) { return Status::Error(err, ErrnoText(err)); }

class PosixFile : public DbeFile {
 public:
  explicit PosixFile(int fd) : fd_(fd) {}
  ~PosixFile() override { ::close(fd_); }
  PosixFile(const PosixFile&) = delete;
  PosixFile& operator=(const PosixFile&) = delete;

  Status ReadAt(uint64_t offset, uint8_t* dest, size_t size) override {
    while (size > 0) {
      const ssize_t n = ::pread(fd_, dest, size, static_cast<off_t>(offset));
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) return ErrnoStatus(errno);
      if (n == 0) return ErrnoStatus(kDbeShortRead);
      dest += n;
      size -= static_cast<size_t>(n);
      offset += static_cast<uint64_t>(n);
    }
    return Status::OK();
  }

  Status WriteAt(uint64_t offset, const uint8_t* src, size_t size) override {
    while (size > 0) {
      const ssize_t n = ::pwrite(fd_, src, size, static_cast<off_t>(offset));
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return ErrnoStatus(n < 0 ? errno : EIO);
      src += n;
      size -= static_cast<size_t>(n);
      offset += static_cast<uint64_t>(n);
    }
    return Status::OK();
  }

  StatusOr<DbeFileInfo> Stat() override {
    struct stat st;
    if (::fstat(fd_, &st) != 0) return ErrnoStatus(errno);
    DbeFileInfo info;
    info.size = static_cast<uint64_t>(st.st_size);
    info.regular = S_ISREG(st.st_mode);
    return info;
  }

  Status Truncate(uint64_t size) override {
    if (::ftruncate(fd_, static_cast<off_t>(size)) == 0) return Status::OK();
    return ErrnoStatus(errno);
  }

  Status LockByte(uint64_t offset) override { return SetLock(offset, F_WRLCK); }
  Status UnlockByte(uint64_t offset) override { return SetLock(offset, F_UNLCK); }

 private:
  Status SetLock(uint64_t offset, short type) {
    struct flock fl;
    std::memset(&fl, 0, sizeof fl);
    fl.l_type = type;
    fl.l_whence = SEEK_SET;
    fl.l_start = static_cast<off_t>(offset);
    fl.l_len = 1;
    for (;;) {
      if (::fcntl(fd_, F_OFD_SETLK, &fl) == 0) return Status::OK();
      if (errno == EINTR) continue;
      return ErrnoStatus(errno == EACCES ? EAGAIN : errno);
    }
  }

  int fd_;
};

class PosixEnv : public Env {
 public:
  StatusOr<std::unique_ptr<DbeFile>> OpenFile(const std::string& path, bool writable) override {
    const int fd = ::open(path.c_str(), (writable ? O_RDWR : O_RDONLY) | O_CLOEXEC);
    if (fd < 0) return ErrnoStatus(errno);
    return std::unique_ptr<DbeFile>(std::make_unique<PosixFile>(fd));
  }

  bool IsDirectory(const std::string& path) override {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
  }
};

}  // namespace

Env* Env::Default() {
  static Env* env = new PosixEnv;
  return env;
}

}  // namespace tallyvox::dbe
