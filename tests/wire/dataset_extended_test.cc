// 80-bit extended conversions: golden bytes, exact round trips and rounding.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <random>

#include "middleware/wire/dataset_extended.h"

namespace tallyvox::mw {
namespace {

TExtendedBytes Ext(uint64_t significand, uint16_t sign_exponent) {
  TExtendedBytes b{};
  for (int i = 0; i < 8; ++i) b[i] = static_cast<uint8_t>(significand >> (8 * i));
  b[8] = static_cast<uint8_t>(sign_exponent);
  b[9] = static_cast<uint8_t>(sign_exponent >> 8);
  return b;
}

uint64_t Bits(double d) {
  uint64_t b;
  std::memcpy(&b, &d, sizeof b);
  return b;
}

double FromBits(uint64_t b) {
  double d;
  std::memcpy(&d, &b, sizeof d);
  return d;
}

struct GoldenCase {
  double value;
  TExtendedBytes bytes;
};

TEST(DatasetExtendedTest, GoldenBytesFromDouble) {
  const double inf = std::numeric_limits<double>::infinity();
  const GoldenCase cases[] = {
      {0.0, {0, 0, 0, 0, 0, 0, 0, 0, 0x00, 0x00}},
      {-0.0, {0, 0, 0, 0, 0, 0, 0, 0, 0x00, 0x80}},
      {1.0, {0, 0, 0, 0, 0, 0, 0, 0x80, 0xFF, 0x3F}},
      {-2.0, {0, 0, 0, 0, 0, 0, 0, 0x80, 0x00, 0xC0}},
      {0.5, {0, 0, 0, 0, 0, 0, 0, 0x80, 0xFE, 0x3F}},
      {0.1, {0x00, 0xD0, 0xCC, 0xCC, 0xCC, 0xCC, 0xCC, 0xCC, 0xFB, 0x3F}},
      {100.0, {0, 0, 0, 0, 0, 0, 0, 0xC8, 0x05, 0x40}},
      // The smallest denormal double, 2^-1074, becomes a normal extended.
      {FromBits(1), {0, 0, 0, 0, 0, 0, 0, 0x80, 0xCD, 0x3B}},
      {inf, {0, 0, 0, 0, 0, 0, 0, 0x80, 0xFF, 0x7F}},
      {-inf, {0, 0, 0, 0, 0, 0, 0, 0x80, 0xFF, 0xFF}},
      {std::numeric_limits<double>::quiet_NaN(), {0, 0, 0, 0, 0, 0, 0, 0xC0, 0xFF, 0x7F}},
  };
  for (const GoldenCase& c : cases) {
    SCOPED_TRACE(c.value);
    EXPECT_EQ(ExtendedFromDouble(c.value), c.bytes);
    const double back = DoubleFromExtended(c.bytes);
    if (std::isnan(c.value)) {
      EXPECT_TRUE(std::isnan(back));
    } else {
      EXPECT_EQ(Bits(back), Bits(c.value));
    }
  }
}

TEST(DatasetExtendedTest, EveryDoubleRoundTripsExactly) {
  std::mt19937_64 random(42);
  for (int i = 0; i < 200000; ++i) {
    uint64_t bits = random();
    if (i % 4 == 0) bits &= 0x800FFFFFFFFFFFFFull;  // denormals
    const double value = FromBits(bits);
    const double back = DoubleFromExtended(ExtendedFromDouble(value));
    if (std::isnan(value)) {
      ASSERT_EQ(Bits(back), bits | (uint64_t{1} << 51)) << std::hex << bits;  // made quiet
    } else {
      ASSERT_EQ(Bits(back), bits) << std::hex << bits;
    }
  }
}

TEST(DatasetExtendedTest, NarrowingRoundsToNearestEven) {
  const uint16_t one = 0x3FFF;
  // 1 + 2^-53 is a tie between 1 and 1 + 2^-52: even wins.
  EXPECT_EQ(DoubleFromExtended(Ext(0x8000000000000400ull, one)), 1.0);
  EXPECT_EQ(DoubleFromExtended(Ext(0x8000000000000401ull, one)), 1.0 + 0x1p-52);
  EXPECT_EQ(DoubleFromExtended(Ext(0x8000000000000C00ull, one)), 1.0 + 0x1p-51);
  // Rounding up into the next binade.
  EXPECT_EQ(DoubleFromExtended(Ext(0xFFFFFFFFFFFFFC00ull, one)), 2.0);
  // The largest double rounds up to infinity; beyond the range is infinite.
  EXPECT_EQ(DoubleFromExtended(Ext(0xFFFFFFFFFFFFFC00ull, 0x3FFF + 1023)),
            std::numeric_limits<double>::infinity());
  EXPECT_EQ(DoubleFromExtended(Ext(0x8000000000000000ull, 0xBFFF + 1024)),
            -std::numeric_limits<double>::infinity());
  // Denormal results: 1.5 and 2.5 units of 2^-1074 both round to 2 units.
  EXPECT_EQ(Bits(DoubleFromExtended(Ext(0xC000000000000000ull, 0x3FFF - 1074))), 2u);
  EXPECT_EQ(Bits(DoubleFromExtended(Ext(0xA000000000000000ull, 0x3FFF - 1073))), 2u);
  // Just below the smallest normal rounds up to it.
  EXPECT_EQ(DoubleFromExtended(Ext(0xFFFFFFFFFFFFFFFFull, 0x3FFF - 1023)), 0x1p-1022);
  // Far below the double range: a zero of the same sign.
  EXPECT_EQ(Bits(DoubleFromExtended(Ext(0x8000000000000000ull, 0x8001))), Bits(-0.0));
  EXPECT_EQ(Bits(DoubleFromExtended(Ext(0x0000000000000001ull, 0x0000))), Bits(0.0));
}

TEST(DatasetExtendedTest, InvalidEncodingsReadAsNaN) {
  EXPECT_TRUE(std::isnan(DoubleFromExtended(Ext(0x4000000000000000ull, 0x3FFF))));  // unnormal
  EXPECT_TRUE(std::isnan(DoubleFromExtended(Ext(0x0000000000000000ull, 0x7FFF))));  // pseudo-inf
  EXPECT_TRUE(std::isnan(DoubleFromExtended(Ext(0x8000000000000001ull, 0x7FFF))));  // signalling
  // A pseudo-denormal has the value of exponent 1.
  EXPECT_EQ(DoubleFromExtended(Ext(0x8000000000000000ull, 0x0000)),
            DoubleFromExtended(Ext(0x8000000000000000ull, 0x0001)));
}

TEST(DatasetExtendedTest, IntegersAndMoneyRoundTripExactly) {
  const int64_t values[] = {0,
                            1,
                            -1,
                            123456789,
                            -987654321,
                            1000000000000000007,
                            (int64_t{1} << 53) + 1,
                            std::numeric_limits<int64_t>::max(),
                            std::numeric_limits<int64_t>::min()};
  for (int64_t v : values) {
    SCOPED_TRACE(v);
    int64_t back = 42;
    ASSERT_TRUE(ScaledIntegerFromExtended(ExtendedFromRatio(v, 1), 1, &back));
    EXPECT_EQ(back, v);
    ASSERT_TRUE(ScaledIntegerFromExtended(ExtendedFromRatio(v, 10000), 10000, &back));
    EXPECT_EQ(back, v);
  }
  // The money float of 12.3456 is the extended nearest to 12.3456.
  EXPECT_EQ(DoubleFromExtended(ExtendedFromRatio(123456, 10000)), 12.3456);
  EXPECT_EQ(ExtendedFromRatio(1000000, 10000), ExtendedFromDouble(100.0));
}

TEST(DatasetExtendedTest, ScalingRoundsTiesToEvenAndRejectsTheUnrepresentable) {
  const struct {
    double value;
    int64_t expected;
  } cases[] = {{0.5, 0}, {1.5, 2}, {2.5, 2}, {-2.5, -2}, {-3.5, -4}, {2.4999, 2}, {1e-30, 0}};
  for (const auto& c : cases) {
    int64_t out = 99;
    ASSERT_TRUE(ScaledIntegerFromExtended(ExtendedFromDouble(c.value), 1, &out)) << c.value;
    EXPECT_EQ(out, c.expected) << c.value;
  }
  int64_t out = 7;
  EXPECT_FALSE(ScaledIntegerFromExtended(ExtendedFromDouble(std::nan("")), 1, &out));
  EXPECT_FALSE(ScaledIntegerFromExtended(ExtendedFromDouble(HUGE_VAL), 1, &out));
  EXPECT_FALSE(ScaledIntegerFromExtended(ExtendedFromDouble(0x1p63), 1, &out));
  EXPECT_FALSE(ScaledIntegerFromExtended(ExtendedFromDouble(1e300), 10000, &out));
  EXPECT_EQ(out, 7);
  EXPECT_TRUE(ScaledIntegerFromExtended(ExtendedFromDouble(-0x1p63), 1, &out));
  EXPECT_EQ(out, std::numeric_limits<int64_t>::min());
}

}  // namespace
}  // namespace tallyvox::mw
