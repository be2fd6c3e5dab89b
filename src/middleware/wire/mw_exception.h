// EMwException: every middleware error carries a message and an integer code.
// Codes group by area in their upper digits: 0x00E0xxxx general conversions,
// 0x00F0xxxx/0x00F1xxxx client, 0x00F2xxxx client query, 0x0301xxxx pooled
// cursor, 0x0400xxxx..0x0402xxxx transport stream and value limits,
// 0x0430xxxx connection pool.
//
// The wire layer defines the base class and EMwTransportException; the client
// layer adds the server outcomes (EMwServerException and its subclasses) and
// EMwRedirectException.
//
// A server's text may hold any byte, and what() ends at the first NUL: the
// message keeps each NUL as \x00 (base/text.h), so nothing after it is lost.
#ifndef TALLYVOX_MIDDLEWARE_WIRE_MW_EXCEPTION_H_
#define TALLYVOX_MIDDLEWARE_WIRE_MW_EXCEPTION_H_

#include <cstdint>
#include <stdexcept>
#include <string>

#include "base/text.h"

namespace tallyvox::mw {

class EMwException : public std::runtime_error {
 public:
  EMwException(const std::string& message, int32_t error_code)
      : std::runtime_error(NulsVisible(message)), error_code_(error_code) {}
  int32_t ErrorCode() const { return error_code_; }
  std::string Message() const { return what(); }

 private:
  int32_t error_code_;
};

// A malformed or unsupported transport stream.
class EMwTransportException : public EMwException {
 public:
  using EMwException::EMwException;
};

}  // namespace tallyvox::mw

#endif  // TALLYVOX_MIDDLEWARE_WIRE_MW_EXCEPTION_H_
