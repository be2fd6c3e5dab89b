// The 34-byte decimal record of FMTBcdField values:
//   byte 0      precision: the number of digits (1..64)
//   byte 1      bit 7 sign (set: negative), bits 0..5 decimal places
//   bytes 2..33 the digits packed two per byte, high nibble first, left aligned
// 12.5 is precision 3, places 1, digits 1 2 5 (bytes 03 01 12 50 00 ...).
#ifndef TALLYVOX_MIDDLEWARE_WIRE_DATASET_DECIMAL_H_
#define TALLYVOX_MIDDLEWARE_WIRE_DATASET_DECIMAL_H_

#include <string>
#include <string_view>

namespace tallyvox::mw {

inline constexpr size_t kDecimalRecordSize = 34;

// The shortest decimal that reads back as `value`, rounded to 63 places.
// Raises EReadError "Invalid property value" for NaN, infinities and values
// needing more than 64 digits.
std::string DecimalRecordFromDouble(double value);
// The nearest double. Raises EMemTableError for a malformed record.
double DoubleFromDecimalRecord(std::string_view record);

}  // namespace tallyvox::mw

#endif  // TALLYVOX_MIDDLEWARE_WIRE_DATASET_DECIMAL_H_
