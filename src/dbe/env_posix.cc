// Env::Default(): the table engine's file system over POSIX calls.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "dbe/env.h"

namespace tallyvox::dbe {
namespace {

class PosixFile : public DbeFile {
 public:
  explicit PosixFile(int fd) : fd_(fd) {}
  ~PosixFile() override { ::close(fd_); }
  PosixFile(const PosixFile&) = delete;
  PosixFile& operator=(const PosixFile&) = delete;

  int ReadAt(uint64_t offset, uint8_t* dest, size_t size) override {
    while (size > 0) {
      const ssize_t n = ::pread(fd_, dest, size, static_cast<off_t>(offset));
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) return errno;
      if (n == 0) return kDbeShortRead;
      dest += n;
      size -= static_cast<size_t>(n);
      offset += static_cast<uint64_t>(n);
    }
    return 0;
  }

  int WriteAt(uint64_t offset, const uint8_t* src, size_t size) override {
    while (size > 0) {
      const ssize_t n = ::pwrite(fd_, src, size, static_cast<off_t>(offset));
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return n < 0 ? errno : EIO;
      src += n;
      size -= static_cast<size_t>(n);
      offset += static_cast<uint64_t>(n);
    }
    return 0;
  }

  int Stat(DbeFileInfo* info) override {
    struct stat st;
    if (::fstat(fd_, &st) != 0) return errno;
    info->size = static_cast<uint64_t>(st.st_size);
    info->regular = S_ISREG(st.st_mode);
    return 0;
  }

  int Truncate(uint64_t size) override {
    return ::ftruncate(fd_, static_cast<off_t>(size)) == 0 ? 0 : errno;
  }

  int LockByte(uint64_t offset) override { return SetLock(offset, F_WRLCK); }
  int UnlockByte(uint64_t offset) override { return SetLock(offset, F_UNLCK); }

 private:
  int SetLock(uint64_t offset, short type) {
    struct flock fl;
    std::memset(&fl, 0, sizeof fl);
    fl.l_type = type;
    fl.l_whence = SEEK_SET;
    fl.l_start = static_cast<off_t>(offset);
    fl.l_len = 1;
    for (;;) {
      if (::fcntl(fd_, F_OFD_SETLK, &fl) == 0) return 0;
      if (errno == EINTR) continue;
      return errno == EACCES ? EAGAIN : errno;
    }
  }

  int fd_;
};

class PosixEnv : public Env {
 public:
  int OpenFile(const std::string& path, bool writable, std::unique_ptr<DbeFile>* file) override {
    const int fd = ::open(path.c_str(), (writable ? O_RDWR : O_RDONLY) | O_CLOEXEC);
    if (fd < 0) return errno;
    *file = std::make_unique<PosixFile>(fd);
    return 0;
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
