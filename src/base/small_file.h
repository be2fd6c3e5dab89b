// Reading a small file that someone else may have put in the way: a named
// pipe (FIFO) that no one writes, a device such as /dev/zero, a folder, a
// file without end. ReadSmallFile never waits and never reads more than its
// limit:
//
//   - it opens with O_NONBLOCK, so a FIFO without a writer does not block;
//   - it looks at what it opened (fstat of the descriptor, so nothing can be
//     swapped in between) and reads only a regular file;
//   - it reads at most `limit` + 1 bytes, and a file that held more is
//     refused, never read further.
//
// Thread safety: may be called from any thread.
#ifndef TALLYVOX_BASE_SMALL_FILE_H_
#define TALLYVOX_BASE_SMALL_FILE_H_

#include <cstddef>
#include <string>

namespace tallyvox {

struct SmallFile {
  enum class Outcome {
    kRead,        // `contents` holds the whole file
    kOpenFailed,  // `error`: open(2)'s errno (ENOENT: nothing at the path)
    kNotRegular,  // a folder, a FIFO, a device or a socket: `mode` says which
    kTooLarge,    // more than the limit; `contents` is empty
    kReadFailed,  // `error`: read(2)'s errno
  };
  Outcome outcome = Outcome::kOpenFailed;
  int error = 0;
  // Of the file opened (type and permission bits, owner); 0 when it could
  // not be opened.
  unsigned mode = 0;
  unsigned owner = 0;
  std::string contents;

  bool ok() const { return outcome == Outcome::kRead; }
};

enum class SymbolicLinks { kFollow, kRefuse };

// Reads the file at `path`. With kRefuse a symbolic link as the last part of
// the path is not followed (the outcome is kOpenFailed with ELOOP).
// REQUIRES: limit < SIZE_MAX.
SmallFile ReadSmallFile(const std::string& path, size_t limit,
                        SymbolicLinks links = SymbolicLinks::kFollow);

// Why a file was not read, for a message after the file's name:
// "it is a folder", "it is a named pipe (FIFO), not a regular file",
// "it is a device, not a regular file", "it is larger than 1 MiB",
// or the system's text for the error ("Permission denied").
// REQUIRES: !file.ok(); `limit` as given to ReadSmallFile.
std::string WhyNotRead(const SmallFile& file, size_t limit);

// Whether users other than the owner may read a file of this mode (group or
// others have read permission).
bool OthersMayRead(unsigned mode);

}  // namespace tallyvox

#endif  // TALLYVOX_BASE_SMALL_FILE_H_
