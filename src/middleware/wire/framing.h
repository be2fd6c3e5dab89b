// Framing of one middleware message on a stream socket: the byte format of
// the length prefix. Shared by the client transport
// (middleware/client/client_transport.h) and the simulated server
// (tools/mwserver).
//
// A message is the byte buffer of an encoded transport stream. On the socket
// it is preceded by one of two length prefixes:
//
//   plain (VerifyTransfer off): 4 bytes, the length L as a little-endian int32.
//
//   verified (VerifyTransfer on): 21 text bytes
//     offset  0  "MWMSG X"             7 bytes (not checked by a reader)
//     offset  7  8 upper-case hex digits of L
//     offset 15  " "                   (not checked)
//     offset 16  "X" + 2 upper-case hex digits: XOR of the codes of bytes 0..15
//     offset 19  LF CR                 (not checked)
//   e.g. L = 26: "MWMSG X0000001A X6B\n\r".
//
// The reader converts bytes 6..14 ("X" + 8 digits) to the length and bytes
// 16..18 ("X" + 2 digits) to the checksum; a conversion failure or a checksum
// that differs from the XOR of bytes 0..15 makes the header invalid.
#ifndef TALLYVOX_MIDDLEWARE_WIRE_FRAMING_H_
#define TALLYVOX_MIDDLEWARE_WIRE_FRAMING_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace tallyvox::mw {

constexpr size_t kMwPlainLengthSize = 4;
constexpr size_t kMwVerifiedHeaderSize = 21;

// The 4 little-endian bytes of `length`.
std::string EncodePlainLength(int32_t length);
// REQUIRES: bytes.size() >= 4.
int32_t DecodePlainLength(std::string_view bytes);

// The 21-byte verified header announcing `length` bytes.
std::string FormatVerifiedLength(uint32_t length);

// Parses a 21-byte verified header. Returns false (leaving *length alone) when
// `header` is not 21 bytes long, a hex field does not convert, or the checksum
// does not match. The length is the 32-bit value of the 8 digits.
bool ParseVerifiedLength(std::string_view header, uint32_t* length);

// XOR of the byte codes of `text`.
uint8_t XorChecksum(std::string_view text);

}  // namespace tallyvox::mw

#endif  // TALLYVOX_MIDDLEWARE_WIRE_FRAMING_H_
