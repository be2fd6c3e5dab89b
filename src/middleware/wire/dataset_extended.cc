#include "middleware/wire/dataset_extended.h"

#include <bit>
#include <cstring>

namespace tallyvox::mw {
namespace {

using u128 = unsigned __int128;

constexpr int kExtendedBias = 16383;
constexpr int kMaxExponentField = 0x7FFF;
constexpr uint64_t kIntegerBit = uint64_t{1} << 63;
constexpr uint64_t kQuietBit = uint64_t{1} << 62;
constexpr uint64_t kDoubleFractionMask = (uint64_t{1} << 52) - 1;

enum class Class { kZero, kFinite, kInfinite, kNaN };

// A decoded extended: value = significand * 2^(exponent - 63) with the
// significand's bit 63 set for kFinite.
struct Unpacked {
  Class kind = Class::kZero;
  bool negative = false;
  int exponent = 0;
  uint64_t significand = 0;
};

TExtendedBytes Pack(bool negative, int exponent_field, uint64_t significand) {
  TExtendedBytes out{};
  for (int i = 0; i < 8; ++i) out[i] = static_cast<uint8_t>(significand >> (8 * i));
  const uint16_t top = static_cast<uint16_t>((negative ? 0x8000 : 0) | exponent_field);
  out[8] = static_cast<uint8_t>(top);
  out[9] = static_cast<uint8_t>(top >> 8);
  return out;
}

Unpacked Unpack(const TExtendedBytes& bytes) {
  uint64_t m = 0;
  for (int i = 7; i >= 0; --i) m = (m << 8) | bytes[i];
  const uint16_t top = static_cast<uint16_t>(bytes[8] | (bytes[9] << 8));
  Unpacked u;
  u.negative = (top & 0x8000) != 0;
  const int e = top & 0x7FFF;
  u.significand = m;
  if (e == kMaxExponentField) {
    u.kind = (m == kIntegerBit) ? Class::kInfinite : Class::kNaN;
    return u;
  }
  if (e == 0) {
    if (m == 0) return u;  // zero
    // Denormal or pseudo-denormal: the exponent of the smallest normal.
    const int shift = std::countl_zero(m);
    u.kind = Class::kFinite;
    u.significand = m << shift;
    u.exponent = 1 - kExtendedBias - shift;
    return u;
  }
  if ((m & kIntegerBit) == 0) {  // unnormal: invalid operand on the x87
    u.kind = Class::kNaN;
    return u;
  }
  u.kind = Class::kFinite;
  u.exponent = e - kExtendedBias;
  return u;
}

// Rounds value >> shift to nearest, ties to even. REQUIRES: 0 < shift < 128.
u128 ShiftRightRounded(u128 value, int shift) {
  const u128 kept = value >> shift;
  const u128 rest = value & ((u128{1} << shift) - 1);
  const u128 half = u128{1} << (shift - 1);
  if (rest > half || (rest == half && (kept & 1) != 0)) return kept + 1;
  return kept;
}

int BitWidth(u128 value) {
  const uint64_t high = static_cast<uint64_t>(value >> 64);
  return high != 0 ? 64 + std::bit_width(high) : std::bit_width(static_cast<uint64_t>(value));
}

double DoubleFromBits(uint64_t bits) {
  double d;
  std::memcpy(&d, &bits, sizeof d);
  return d;
}

}  // namespace

TExtendedBytes ExtendedFromDouble(double value) {
  uint64_t bits;
  std::memcpy(&bits, &value, sizeof bits);
  const bool negative = (bits >> 63) != 0;
  const int e = static_cast<int>((bits >> 52) & 0x7FF);
  const uint64_t f = bits & kDoubleFractionMask;
  if (e == 0x7FF) {
    if (f == 0) return Pack(negative, kMaxExponentField, kIntegerBit);
    return Pack(negative, kMaxExponentField, kIntegerBit | kQuietBit | (f << 11));
  }
  if (e == 0) {
    if (f == 0) return Pack(negative, 0, 0);
    const int shift = std::countl_zero(f);
    // f * 2^-1074 = (f << shift) * 2^(-1074 - shift), significand bit 63 set.
    return Pack(negative, -1011 - shift + kExtendedBias, f << shift);
  }
  return Pack(negative, e - 1023 + kExtendedBias, kIntegerBit | (f << 11));
}

double DoubleFromExtended(const TExtendedBytes& bytes) {
  const Unpacked u = Unpack(bytes);
  const uint64_t sign = u.negative ? (uint64_t{1} << 63) : 0;
  switch (u.kind) {
    case Class::kZero:
      return DoubleFromBits(sign);
    case Class::kInfinite:
      return DoubleFromBits(sign | (uint64_t{0x7FF} << 52));
    case Class::kNaN:
      return DoubleFromBits(sign | (uint64_t{0x7FF} << 52) | (uint64_t{1} << 51) |
                            ((u.significand >> 11) & ((uint64_t{1} << 51) - 1)));
    case Class::kFinite:
      break;
  }
  int exponent = u.exponent;
  if (exponent > 1023) return DoubleFromBits(sign | (uint64_t{0x7FF} << 52));
  if (exponent >= -1022) {
    uint64_t mantissa = static_cast<uint64_t>(ShiftRightRounded(u.significand, 11));
    if (mantissa == (uint64_t{1} << 53)) {
      mantissa >>= 1;
      ++exponent;
      if (exponent > 1023) return DoubleFromBits(sign | (uint64_t{0x7FF} << 52));
    }
    return DoubleFromBits(sign | (static_cast<uint64_t>(exponent + 1023) << 52) |
                          (mantissa & kDoubleFractionMask));
  }
  // Denormal result, in units of 2^-1074: significand * 2^(exponent + 1011).
  const int shift = -(exponent + 1011);  // > 11
  if (shift > 64) return DoubleFromBits(sign);
  // The carry of a rounded-up 2^52 lands in the exponent field: the smallest normal.
  const uint64_t units = static_cast<uint64_t>(ShiftRightRounded(u.significand, shift));
  return DoubleFromBits(sign | units);
}

TExtendedBytes ExtendedFromRatio(int64_t numerator, uint32_t denominator) {
  if (numerator == 0 || denominator == 0) return Pack(false, 0, 0);
  const bool negative = numerator < 0;
  const uint64_t magnitude =
      negative ? uint64_t{0} - static_cast<uint64_t>(numerator) : static_cast<uint64_t>(numerator);
  // Scale so that the quotient falls in [2^63, 2^64): at most 64 + 32 bits.
  int scale = std::countl_zero(magnitude) + std::bit_width(denominator);
  u128 quotient = (u128{magnitude} << scale) / denominator;
  if (quotient >> 64) {
    --scale;
    quotient = (u128{magnitude} << scale) / denominator;
  }
  const u128 remainder = (u128{magnitude} << scale) % denominator;
  const u128 twice = remainder * 2;
  if (twice > denominator || (twice == denominator && (quotient & 1) != 0)) ++quotient;
  if (quotient >> 64) {
    quotient >>= 1;
    --scale;
  }
  return Pack(negative, 63 - scale + kExtendedBias, static_cast<uint64_t>(quotient));
}

bool ScaledIntegerFromExtended(const TExtendedBytes& bytes, uint32_t factor, int64_t* out) {
  const Unpacked u = Unpack(bytes);
  if (u.kind == Class::kZero) {
    *out = 0;
    return true;
  }
  if (u.kind != Class::kFinite || factor == 0) return false;
  // value * factor = significand * factor * 2^(exponent - 63); the product has
  // at most 96 bits.
  const u128 product = u128{u.significand} * factor;
  const int shift = 63 - u.exponent;
  u128 magnitude;
  if (shift <= 0) {
    if (BitWidth(product) - shift > 64) return false;
    magnitude = product << -shift;
  } else if (shift >= 100) {  // product < 2^96: less than half a unit
    magnitude = 0;
  } else {
    magnitude = ShiftRightRounded(product, shift);
  }
  const u128 limit = u.negative ? (u128{1} << 63) : (u128{1} << 63) - 1;
  if (magnitude > limit) return false;
  const uint64_t m = static_cast<uint64_t>(magnitude);
  *out = u.negative ? static_cast<int64_t>(uint64_t{0} - m) : static_cast<int64_t>(m);
  return true;
}

}  // namespace tallyvox::mw
