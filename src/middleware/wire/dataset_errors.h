// Errors of the dataset stream format and of the in-memory table.
//
// EReadError: the block is malformed (bad signature, a value of an unexpected
// type, the block ends early). EMemTableError: the block is well formed but the
// table cannot take it (unknown field type, no field names, a value outside a
// field's range), or a save or load was asked for without a format.
//
// Both carry error code 0: the format has no codes of its own, only texts.
#ifndef TALLYVOX_MIDDLEWARE_WIRE_DATASET_ERRORS_H_
#define TALLYVOX_MIDDLEWARE_WIRE_DATASET_ERRORS_H_

#include <string>

#include "middleware/wire/mw_exception.h"

namespace tallyvox::mw {

class EReadError : public EMwException {
 public:
  explicit EReadError(const std::string& message) : EMwException(message, 0) {}
};

class EMemTableError : public EMwException {
 public:
  explicit EMemTableError(const std::string& message) : EMwException(message, 0) {}
};

// The fixed texts.
inline constexpr char kInvalidStreamFormat[] = "Invalid stream format";
inline constexpr char kInvalidPropertyValue[] = "Invalid property value";
inline constexpr char kStreamReadError[] = "Stream read error";
inline constexpr char kNoFormatSpecified[] = "No format specified.";
inline constexpr char kNoFieldCountForLoad[] = "Couldnt determine field count for load.";
inline constexpr char kBlockTooLarge[] = "Dataset block too large for the table.";

}  // namespace tallyvox::mw

#endif  // TALLYVOX_MIDDLEWARE_WIRE_DATASET_ERRORS_H_
