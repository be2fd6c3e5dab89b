// Conversions of values into the bytes of a table field, as the table dataset stores them
// in its raw record buffer.
#ifndef TALLYVOX_AUDIT_FIELD_FORMAT_H_
#define TALLYVOX_AUDIT_FIELD_FORMAT_H_

#include <cstdint>
#include <string>

namespace tallyvox::audit {

// The text of `value` for a numeric field of `length` characters with `decimals` digits
// after the point: fixed-point notation with "." and exactly `decimals` decimals, rounded
// to at most `length` significant digits (one fewer when decimals > 0; never more than
// 17, the digits a double holds), right-aligned and padded with blanks on the left.
// Returns false (nothing stored) when the text would be longer than the field, when the
// value has more integer digits than the significant digits allowed (exponent notation),
// and for NaN and infinities. A negative value that rounds to zero is written as zero.
bool FormatNumericField(double value, uint32_t length, uint16_t decimals, std::string* text);

// The shortest general text of a double that reads back to the same value ("0.5", "1e+20").
std::string FloatToText(double value);

// Parses a whole text as a double (blanks around it allowed). False for anything else.
bool ParseFloatText(const std::string& text, double* value);

// The 8 little-endian bytes of an IEEE double, and back.
void DoubleToBytes(double value, uint8_t out[8]);
double DoubleFromBytes(const uint8_t in[8]);

}  // namespace tallyvox::audit

#endif  // TALLYVOX_AUDIT_FIELD_FORMAT_H_
