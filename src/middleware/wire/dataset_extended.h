// Conversions between the 80-bit x87 extended float of the dataset block and
// the numbers the in-memory table holds (double, 64-bit integers, fixed-point
// money).
//
// Byte layout (10 bytes, little-endian):
//   bytes 0..7  significand, with the integer bit explicit in bit 63
//   bytes 8..9  bit 15 sign, bits 0..14 exponent biased by 16383
//
// Every conversion is exact where the target can hold the value and otherwise
// rounds to nearest, ties to even:
//   - double -> extended is always exact (denormal doubles become normal
//     extendeds, infinities stay infinite, a NaN keeps its sign and payload and
//     is made quiet);
//   - extended -> double rounds; values beyond the double range become
//     infinities, values below it denormals or zeros of the same sign;
//   - encodings the x87 treats as invalid (exponent set but integer bit clear,
//     the "unnormals", and infinities or NaNs without the integer bit) read as
//     NaN; pseudo-denormals (exponent 0, integer bit set) read with the value
//     the x87 gives them.
#ifndef TALLYVOX_MIDDLEWARE_WIRE_DATASET_EXTENDED_H_
#define TALLYVOX_MIDDLEWARE_WIRE_DATASET_EXTENDED_H_

#include <array>
#include <cstdint>

namespace tallyvox::mw {

using TExtendedBytes = std::array<uint8_t, 10>;

TExtendedBytes ExtendedFromDouble(double value);
double DoubleFromExtended(const TExtendedBytes& bytes);

// numerator / denominator rounded to the 64-bit significand. Exact for every
// int64 when denominator is 1; a money amount (fixed point, 4 decimals) goes in
// with denominator 10000 and comes back exactly through
// ScaledIntegerFromExtended(..., 10000).
// REQUIRES: denominator > 0.
TExtendedBytes ExtendedFromRatio(int64_t numerator, uint32_t denominator);

// value * factor rounded to nearest, ties to even. False for NaN, infinities
// and results outside int64 (then *out is untouched).
// REQUIRES: factor > 0.
bool ScaledIntegerFromExtended(const TExtendedBytes& bytes, uint32_t factor, int64_t* out);

}  // namespace tallyvox::mw

#endif  // TALLYVOX_MIDDLEWARE_WIRE_DATASET_EXTENDED_H_
