// Fuzzes the length prefixes of the socket framing (middleware/wire/
// framing.h): the 21-byte verified header and the 4-byte length. A header
// that parses must describe the length it was read as, and every length must
// survive formatting and parsing unchanged.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "middleware/wire/framing.h"

using namespace tallyvox::mw;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  uint32_t length = 0;
  if (ParseVerifiedLength(bytes, &length)) {
    if (size != kMwVerifiedHeaderSize) __builtin_trap();
    uint32_t again = 0;
    if (!ParseVerifiedLength(FormatVerifiedLength(length), &again) || again != length) {
      __builtin_trap();
    }
  }
  if (size >= kMwPlainLengthSize) {
    const int32_t plain = DecodePlainLength(bytes);
    if (EncodePlainLength(plain) != bytes.substr(0, kMwPlainLengthSize)) __builtin_trap();
    uint32_t parsed = 0;
    if (!ParseVerifiedLength(FormatVerifiedLength(static_cast<uint32_t>(plain)), &parsed) ||
        parsed != static_cast<uint32_t>(plain)) {
      __builtin_trap();
    }
  }
  return 0;
}
