#include "middleware/wire/guid.h"

#include <sys/random.h>

#include <cstdio>
#include <random>

namespace tallyvox::mw {
namespace {

void RandomBytes(uint8_t* out, size_t n) {
  // getrandom() draws from the same pool as /dev/urandom without opening it.
  size_t got = 0;
  while (got < n) {
    const ssize_t r = getrandom(out + got, n - got, 0);
    if (r <= 0) break;
    got += static_cast<size_t>(r);
  }
  if (got < n) {
    std::random_device rd;
    for (size_t i = got; i < n; ++i) out[i] = static_cast<uint8_t>(rd());
  }
}

}  // namespace

TMwGuid NewGuid() {
  uint8_t b[16];
  RandomBytes(b, sizeof(b));
  b[6] = static_cast<uint8_t>((b[6] & 0x0F) | 0x40);  // version 4
  b[8] = static_cast<uint8_t>((b[8] & 0x3F) | 0x80);  // RFC 4122 variant
  TMwGuid g;
  g.data1 = static_cast<uint32_t>(b[0]) << 24 | static_cast<uint32_t>(b[1]) << 16 |
            static_cast<uint32_t>(b[2]) << 8 | b[3];
  g.data2 = static_cast<uint16_t>(b[4] << 8 | b[5]);
  g.data3 = static_cast<uint16_t>(b[6] << 8 | b[7]);
  for (int i = 0; i < 8; ++i) g.data4[static_cast<size_t>(i)] = b[8 + i];
  return g;
}

std::string GuidToMessageId(const TMwGuid& g) {
  char buf[33];
  std::snprintf(buf, sizeof(buf), "%08x%04x%04x%02x%02x%02x%02x%02x%02x%02x%02x", g.data1, g.data2,
                g.data3, g.data4[0], g.data4[1], g.data4[2], g.data4[3], g.data4[4], g.data4[5],
                g.data4[6], g.data4[7]);
  return buf;
}

std::string GuidToString(const TMwGuid& g) {
  char buf[40];
  std::snprintf(buf, sizeof(buf), "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", g.data1,
                g.data2, g.data3, g.data4[0], g.data4[1], g.data4[2], g.data4[3], g.data4[4],
                g.data4[5], g.data4[6], g.data4[7]);
  return buf;
}

}  // namespace tallyvox::mw
