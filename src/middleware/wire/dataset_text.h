// Text conversions of the dataset block.
//
// The in-memory table keeps 8-bit text (String, FixedChar, Bytes, ... fields)
// in the Windows-1252 code page, the servers' 8-bit code page, and wide text
// (WideString fields) as UTF-8. The block carries 8-bit text as is when it is
// plain ASCII and as UTF-8 otherwise, and wide text as UTF-8 or UTF-16LE.
//
// Every byte 0x00..0xFF maps to a code point (the five bytes Windows-1252
// leaves undefined map to U+0081, U+008D, U+008F, U+0090, U+009D, as Windows
// does), so 8-bit text survives the trip through UTF-8 unchanged. Code points
// without an 8-bit form become "?". Malformed UTF-8 or UTF-16 (bad sequences,
// lone surrogates) becomes U+FFFD in wide text and "?" in 8-bit text.
#ifndef TALLYVOX_MIDDLEWARE_WIRE_DATASET_TEXT_H_
#define TALLYVOX_MIDDLEWARE_WIRE_DATASET_TEXT_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace tallyvox::mw {

bool IsAscii(std::string_view text);

// 8-bit (Windows-1252) text to UTF-8 and back.
std::string Utf8FromAnsi(std::string_view ansi);
std::string AnsiFromUtf8(std::string_view utf8);

// Well-formed UTF-8: malformed sequences replaced by U+FFFD.
std::string ValidUtf8(std::string_view utf8);

// UTF-16LE (units * 2 bytes at `bytes`) to UTF-8.
std::string Utf8FromUtf16Le(const uint8_t* bytes, size_t units);
// UTF-8 to UTF-16LE bytes appended to *out; returns the number of 16-bit units.
size_t AppendUtf16LeFromUtf8(std::string_view utf8, std::string* out);
// The number of UTF-16 units of a UTF-8 text.
size_t Utf16Length(std::string_view utf8);

}  // namespace tallyvox::mw

#endif  // TALLYVOX_MIDDLEWARE_WIRE_DATASET_TEXT_H_
