#include "dbe/last_error.h"

#include <cstring>

#include "dbe/env.h"

namespace tallyvox::dbe {

LastError& ThreadLastError() {
  thread_local LastError error;
  return error;
}

DbeResult Fail(DbeResult code, std::string text) {
  LastError& e = ThreadLastError();
  e.code = code;
  if (text.size() >= kDbeMaxErrorLength) text.resize(kDbeMaxErrorLength - 1);
  e.text = std::move(text);
  return code;
}

DbeResult MissingArgument() {
  return Fail(kDbeErrInvalidArgument, "A required argument is missing.");
}

DbeResult BadHandle(const char* what) {
  return Fail(kDbeErrInvalidHandle, std::string("Invalid ") + what + " handle.");
}

std::string ErrnoText(int err) {
  return err == kDbeShortRead ? "file truncated" : std::strerror(err);
}

}  // namespace tallyvox::dbe
