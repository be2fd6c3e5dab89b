#include "middleware/client/process_identity.h"

#include <cstdio>

#include "middleware/wire/guid.h"

namespace tallyvox::mw {

uint32_t MwElfHash(std::string_view text) {
  uint32_t h = 0;
  for (char c : text) {
    h = (h << 4) + static_cast<uint8_t>(c);
    const uint32_t g = h & 0xF0000000u;
    if (g != 0) h ^= g >> 24;
    h &= ~g;
  }
  return h;
}

std::string MwHex10(uint32_t value) {
  char text[16];
  std::snprintf(text, sizeof text, "%010X", value);
  return text;
}

const std::string& MwProcessIdentity() {
  static const std::string identity = MwHex10(MwElfHash(GuidToString(NewGuid())));
  return identity;
}

}  // namespace tallyvox::mw
