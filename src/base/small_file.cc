#include "base/small_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace tallyvox {
namespace {

// Reads until end of file or until more than `limit` bytes came.
void ReadAll(int fd, size_t limit, SmallFile* file) {
  char buf[16384];
  while (true) {
    const size_t want = std::min(sizeof buf, limit + 1 - file->contents.size());
    const ssize_t n = ::read(fd, buf, want);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      file->outcome = SmallFile::Outcome::kReadFailed;
      file->error = errno;
      file->contents.clear();
      return;
    }
    if (n == 0) {
      file->outcome = SmallFile::Outcome::kRead;
      return;
    }
    file->contents.append(buf, static_cast<size_t>(n));
    if (file->contents.size() > limit) {
      file->outcome = SmallFile::Outcome::kTooLarge;
      file->contents.clear();
      file->contents.shrink_to_fit();
      return;
    }
  }
}

std::string SizeText(size_t bytes) {
  constexpr size_t kKiB = 1024;
  if (bytes >= kKiB * kKiB && bytes % (kKiB * kKiB) == 0) {
    return std::to_string(bytes / (kKiB * kKiB)) + " MiB";
  }
  if (bytes >= kKiB && bytes % kKiB == 0) return std::to_string(bytes / kKiB) + " KiB";
  return std::to_string(bytes) + (bytes == 1 ? " byte" : " bytes");
}

}  // namespace

SmallFile ReadSmallFile(const std::string& path, size_t limit, SymbolicLinks links) {
  SmallFile file;
  const int flags = O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC |
                    (links == SymbolicLinks::kRefuse ? O_NOFOLLOW : 0);
  const int fd = ::open(path.c_str(), flags);
  if (fd < 0) {
    file.error = errno;
    return file;
  }
  struct stat st {};
  if (::fstat(fd, &st) != 0) {
    file.outcome = SmallFile::Outcome::kReadFailed;
    file.error = errno;
  } else {
    file.mode = st.st_mode;
    file.owner = st.st_uid;
    if (S_ISREG(st.st_mode)) {
      ReadAll(fd, limit, &file);
    } else {
      file.outcome = SmallFile::Outcome::kNotRegular;
    }
  }
  ::close(fd);
  return file;
}

std::string WhyNotRead(const SmallFile& file, size_t limit) {
  switch (file.outcome) {
    case SmallFile::Outcome::kNotRegular:
      if (S_ISDIR(file.mode)) return "it is a folder";
      if (S_ISFIFO(file.mode)) return "it is a named pipe (FIFO), not a regular file";
      if (S_ISCHR(file.mode) || S_ISBLK(file.mode)) return "it is a device, not a regular file";
      if (S_ISSOCK(file.mode)) return "it is a socket, not a regular file";
      return "it is not a regular file";
    case SmallFile::Outcome::kTooLarge:
      return "it is larger than " + SizeText(limit);
    case SmallFile::Outcome::kOpenFailed:
    case SmallFile::Outcome::kReadFailed:
      return std::strerror(file.error);
    case SmallFile::Outcome::kRead:
      break;
  }
  return "it was read";
}

bool OthersMayRead(unsigned mode) { return (mode & (S_IRGRP | S_IROTH)) != 0; }

}  // namespace tallyvox
