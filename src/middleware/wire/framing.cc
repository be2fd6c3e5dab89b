#include "middleware/wire/framing.h"

#include <cstdio>

namespace tallyvox::mw {
namespace {

int HexDigitValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

// Converts "X" or "x" followed by 1..8 hex digits (the form the header uses
// for its numbers). Anything else fails.
bool ConvertPrefixedHex(std::string_view text, uint32_t* value) {
  if (text.size() < 2 || text.size() > 9 || (text[0] != 'X' && text[0] != 'x')) return false;
  uint32_t result = 0;
  for (size_t i = 1; i < text.size(); ++i) {
    const int digit = HexDigitValue(text[i]);
    if (digit < 0) return false;
    result = (result << 4) | static_cast<uint32_t>(digit);
  }
  *value = result;
  return true;
}

}  // namespace

std::string EncodePlainLength(int32_t length) {
  const uint32_t v = static_cast<uint32_t>(length);
  std::string out(4, '\0');
  for (int i = 0; i < 4; ++i) out[i] = static_cast<char>((v >> (8 * i)) & 0xFF);
  return out;
}

int32_t DecodePlainLength(std::string_view bytes) {
  uint32_t v = 0;
  for (int i = 3; i >= 0; --i) v = (v << 8) | static_cast<uint8_t>(bytes[i]);
  return static_cast<int32_t>(v);
}

uint8_t XorChecksum(std::string_view text) {
  uint8_t sum = 0;
  for (char c : text) sum ^= static_cast<uint8_t>(c);
  return sum;
}

std::string FormatVerifiedLength(uint32_t length) {
  char head[17];
  std::snprintf(head, sizeof head, "MWMSG X%08X ", length);
  char tail[4];
  std::snprintf(tail, sizeof tail, "X%02X", XorChecksum(std::string_view(head, 16)));
  std::string out(head, 16);
  out.append(tail, 3);
  out.push_back('\n');
  out.push_back('\r');
  return out;
}

bool ParseVerifiedLength(std::string_view header, uint32_t* length) {
  if (header.size() != kMwVerifiedHeaderSize) return false;
  uint32_t checksum = 0;
  if (!ConvertPrefixedHex(header.substr(16, 3), &checksum)) return false;
  if (checksum != XorChecksum(header.substr(0, 16))) return false;
  uint32_t value = 0;
  if (!ConvertPrefixedHex(header.substr(6, 9), &value)) return false;
  *length = value;
  return true;
}

}  // namespace tallyvox::mw
