// ErrorCodeOf: runs a callable and reports the code (and message) of the
// EMwException it raised, or 0 when it returned normally. Other exceptions
// pass through, so a wrong exception class fails the test.
#ifndef TALLYVOX_TESTS_SUPPORT_ERROR_CODE_OF_H_
#define TALLYVOX_TESTS_SUPPORT_ERROR_CODE_OF_H_

#include <cstdint>
#include <string>

#include "middleware/wire/mw_exception.h"

namespace tallyvox::mw::testing {

template <typename F>
int32_t ErrorCodeOf(F&& f, std::string* message = nullptr) {
  try {
    f();
  } catch (const EMwException& e) {
    if (message != nullptr) *message = e.what();
    return e.ErrorCode();
  }
  return 0;
}

}  // namespace tallyvox::mw::testing

#endif  // TALLYVOX_TESTS_SUPPORT_ERROR_CODE_OF_H_
