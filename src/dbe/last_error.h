// The engine's last error, kept per thread (internal to the engine).
#ifndef TALLYVOX_DBE_LAST_ERROR_H_
#define TALLYVOX_DBE_LAST_ERROR_H_

#include <cstdint>
#include <string>

#include "dbe/dbe_engine.h"

namespace tallyvox::dbe {

struct LastError {
  uint32_t code = 0;
  std::string text;  // at most kDbeMaxErrorLength - 1 bytes
};

// The calling thread's last error.
LastError& ThreadLastError();

// Records `code` and `text` (cut to fit) as the thread's last error; returns `code`.
DbeResult Fail(DbeResult code, std::string text);
DbeResult MissingArgument();
// "Invalid <what> handle."
DbeResult BadHandle(const char* what);

// The system's text for an errno value; "file truncated" for kDbeShortRead.
std::string ErrnoText(int err);

}  // namespace tallyvox::dbe

#endif  // TALLYVOX_DBE_LAST_ERROR_H_
