// The outcomes a middleware client can raise beside the wire layer's
// EMwException and EMwTransportException (middleware/wire/mw_exception.h).
//
// A server reports a failed call with a negative STATUSCODE in its response
// header (the status codes are in middleware/wire/response_stream.h); the
// client maps the four well-known codes onto the classes below
// (their message is the server's STATUSTEXT as it stands) and raises every
// other code as a plain EMwException with " (SERVER)" appended to the text.
// EMwRedirectException is what a server raises to send a client elsewhere
// (status 110000); a client never raises it, it follows the redirect.
#ifndef TALLYVOX_MIDDLEWARE_CLIENT_CLIENT_EXCEPTIONS_H_
#define TALLYVOX_MIDDLEWARE_CLIENT_CLIENT_EXCEPTIONS_H_

#include <cstdint>
#include <string>

#include "middleware/wire/mw_exception.h"
#include "middleware/wire/response_stream.h"

namespace tallyvox::mw {

// Error codes raised by the client side.
constexpr int32_t kMwErrTransportNotSet = 0x00F00001;    // "Transport must be set."
constexpr int32_t kMwErrAsyncNotSupported = 0x00F00002;  // asynchronous call
constexpr int32_t kMwErrDuplicateStateId = 0x00F10002;   // "Duplicate state ID"
constexpr int32_t kMwErrAnswerMismatch = 0x00F10003;     // "Answer to another request (..."
constexpr int32_t kMwErrConnectionLost = 0x00F10101;     // "Connection lost."
constexpr int32_t kMwErrInvalidData = 0x04001002;        // bad verified length header

// Base of the four server outcomes with their own class.
class EMwServerException : public EMwException {
 public:
  using EMwException::EMwException;
};

// Server status 100001: the server aborted the call.
class EMwAbortException : public EMwServerException {
 public:
  explicit EMwAbortException(const std::string& message)
      : EMwServerException(message, kMwStatusAbort) {}
};

// Server status 100100: "Service '<name>' not available".
class EMwNoServiceException : public EMwServerException {
 public:
  explicit EMwNoServiceException(const std::string& message)
      : EMwServerException(message, kMwStatusNoService) {}
};

// Server status 100101: "Function '<name>' not available".
class EMwUnknownFuncException : public EMwServerException {
 public:
  explicit EMwUnknownFuncException(const std::string& message)
      : EMwServerException(message, kMwStatusUnknownFunc) {}
};

// Server status 100200: "Not authenticated".
class EMwAuthException : public EMwServerException {
 public:
  explicit EMwAuthException(const std::string& message)
      : EMwServerException(message, kMwStatusAuth) {}
};

// Status 110000: raised inside a server to redirect its client; the status
// text is a connection string naming where to go (see client_transport.h).
class EMwRedirectException : public EMwException {
 public:
  explicit EMwRedirectException(const std::string& message)
      : EMwException(message, kMwStatusRedirect) {}
};

}  // namespace tallyvox::mw

#endif  // TALLYVOX_MIDDLEWARE_CLIENT_CLIENT_EXCEPTIONS_H_
