// Error codes and the non-middleware exception classes raised by the wire
// layer. EMwException itself lives in mw_exception.h.
//
// Codes the wire layer raises (all with EMwException unless noted):
//   0x00E00002  "Error codes must be between 1 and $FFFFFFF."
//   0x00E00004  "Invalid DateTime string length. Should be 17 chars. " + text
//   0x00E00006  "Object to load must implement IMwObject interface."
//   0x04000003  unsupported message type
//   0x04000004  abstract controller / stream operation not defined
//   0x04000005  "Transport stream controller not defined"
//   0x0400000A  "Not possible to move from unstreamstate N to 4"
//   0x04001001  "Invalid transport stream version. Please match client to server."
//   0x04001003  "Unknown stream class. Cannot generate subject."
//   0x04001004  "Invalid/unknown transport stream format." (EMwTransportException)
//   0x04001005  unicode strings flag set (EMwTransportException)
//   0x04001010  "String size out of bounds."
//   0x04001011  "Transportstream size out of bounds."
//   0x04001012  "Object class NAME not registered."
//   0x04001013  "Object to stream must implement IMwObject interface."
//   0x04023001  array dimension errors
//   0x04023002  "Array size out of bounds." / "Binary array size out of bounds."
//   0x04023003  "Stream size out of bounds."
// Codes of our own (not part of any older table):
//   0x04001020  "Stream read error": a read needs more bytes than the buffer
//               holds, a length/count field is negative, or the values read
//               would take more memory than the message's decoding budget
//               (value_formatter.h).
//   0x04001021  "Stream write error": a write would grow a memory stream past
//               kMwMaxMemoryStreamSize.
//   0x04001022  "Subject header too long.": WriteSubjectHeader with more than
//               4096 bytes of strings (the reader would refuse them).
//   0x04023004  "Variant nesting too deep.": arrays/objects nested deeper than
//               kMwMaxVariantDepth while reading or writing.
#ifndef TALLYVOX_MIDDLEWARE_WIRE_WIRE_ERRORS_H_
#define TALLYVOX_MIDDLEWARE_WIRE_WIRE_ERRORS_H_

#include <cstdint>
#include <stdexcept>
#include <string>

#include "middleware/wire/mw_exception.h"

namespace tallyvox::mw {

constexpr int32_t kMwErrInvalidErrorCode = 0x00E00002;
constexpr int32_t kMwErrDateTimeLength = 0x00E00004;
constexpr int32_t kMwErrLoadNotMwObject = 0x00E00006;
constexpr int32_t kMwErrUnsupportedMessageType = 0x04000003;
constexpr int32_t kMwErrNotDefined = 0x04000004;
constexpr int32_t kMwErrNoController = 0x04000005;
constexpr int32_t kMwErrUnstreamState = 0x0400000A;
constexpr int32_t kMwErrInvalidVersion = 0x04001001;
constexpr int32_t kMwErrUnknownStreamClass = 0x04001003;
constexpr int32_t kMwErrUnknownFormat = 0x04001004;
constexpr int32_t kMwErrUnicodeStrings = 0x04001005;
constexpr int32_t kMwErrStringSize = 0x04001010;
constexpr int32_t kMwErrTransportStreamSize = 0x04001011;
constexpr int32_t kMwErrObjectNotRegistered = 0x04001012;
constexpr int32_t kMwErrStreamNotMwObject = 0x04001013;
constexpr int32_t kMwErrStreamRead = 0x04001020;
constexpr int32_t kMwErrStreamWrite = 0x04001021;
constexpr int32_t kMwErrSubjectTooLong = 0x04001022;
constexpr int32_t kMwErrArrayDimensions = 0x04023001;
constexpr int32_t kMwErrArraySize = 0x04023002;
constexpr int32_t kMwErrStreamSize = 0x04023003;
constexpr int32_t kMwErrNestingTooDeep = 0x04023004;

inline constexpr char kMwInvalidVersionText[] =
    "Invalid transport stream version. Please match client to server.";

// Raised for every short read of a byte buffer.
[[noreturn]] void ThrowStreamReadError();

// A text that does not convert to a number or date ("'x' is not a valid
// floating point value", "'x' is not a valid integer value").
class EConvertError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// A variant value that cannot be converted to the requested kind:
// "Could not convert variant of type (String) into type (Integer)".
class EVariantTypeCastError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

}  // namespace tallyvox::mw

#endif  // TALLYVOX_MIDDLEWARE_WIRE_WIRE_ERRORS_H_
