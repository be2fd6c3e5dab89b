#include "audit/field_format.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace tallyvox::audit {
namespace {

TEST(FormatNumericFieldTest, FixedPointRightAlignedOrOutOfRange) {
  struct Case {
    double value;
    uint32_t length;
    uint16_t decimals;
    const char* text;  // nullptr: out of range
  } cases[] = {
      {0.5, 20, 10, "        0.5000000000"},
      {11.0 / 24.0, 20, 10, "        0.4583333333"},
      {2.0 / 3.0, 20, 10, "        0.6666666667"},
      {0.99999999999, 20, 10, "        1.0000000000"},
      {45000.25, 20, 10, "    45000.2500000000"},
      {123.456, 10, 2, "    123.46"},
      {-1.5, 5, 1, " -1.5"},
      {-1.5, 3, 1, nullptr},    // "-1.5" is longer than the field
      {0.4583, 3, 2, nullptr},  // "0.46" is longer than the field
      {0.4583, 4, 2, "0.46"},
      {9999, 4, 0, "9999"},
      {12345, 4, 0, nullptr},      // five integer digits, four allowed: exponent form
      {1234.5678, 6, 2, nullptr},  // "1234.60" needs seven
      {1234.5678, 7, 2, "1234.57"},
      {-0.0001, 6, 2, "  0.00"},  // no negative zero
      {0, 1, 0, "0"},
      {1e20, 30, 0, "         100000000000000000000"},
      {1e20, 20, 0, nullptr},
      {std::nan(""), 20, 10, nullptr},
      {std::numeric_limits<double>::infinity(), 20, 10, nullptr},
      {-std::numeric_limits<double>::infinity(), 20, 10, nullptr},
      {std::numeric_limits<double>::max(), 255, 0, nullptr},
      {1.0, 5, 5, nullptr},  // no room for digits before the point
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.value << " N(" << c.length << "," << c.decimals << ")");
    std::string text = "unchanged";
    const bool ok = FormatNumericField(c.value, c.length, c.decimals, &text);
    if (c.text == nullptr) {
      EXPECT_FALSE(ok) << text;
      EXPECT_EQ(text, "unchanged");
    } else {
      EXPECT_TRUE(ok);
      EXPECT_EQ(text, c.text);
    }
  }
}

TEST(FormatNumericFieldTest, EveryTimeOfDayFitsTheAuditField) {
  // Every millisecond step of a day (sampled) fits N(20,10) and reads back within 1e-10.
  for (int ms = 0; ms < 86400000; ms += 997) {
    const double v = ms / 86400000.0;
    std::string text;
    ASSERT_TRUE(FormatNumericField(v, 20, 10, &text)) << v;
    ASSERT_EQ(text.size(), 20u);
    EXPECT_NEAR(std::stod(text), v, 0.5e-10);
  }
}

TEST(FieldFormatTest, FloatTextRoundTrips) {
  for (double v : {0.0, 0.5, 0.1, 1e20, -2.75, 11.0 / 24.0}) {
    double back = 0;
    ASSERT_TRUE(ParseFloatText(FloatToText(v), &back));
    EXPECT_EQ(back, v);
    uint8_t bytes[8];
    DoubleToBytes(v, bytes);
    EXPECT_EQ(DoubleFromBytes(bytes), v);
  }
  double v = 0;
  EXPECT_TRUE(ParseFloatText("  12.5 ", &v));
  EXPECT_EQ(v, 12.5);
  for (const char* bad : {"", "  ", "abc", "1.5x", "0x10", "nan", "inf", "1e999", "1,5"}) {
    EXPECT_FALSE(ParseFloatText(bad, &v)) << bad;
  }
  uint8_t one[8];
  DoubleToBytes(1.0, one);
  EXPECT_EQ(one[7], 0x3F);  // little-endian
  EXPECT_EQ(one[6], 0xF0);
}

}  // namespace
}  // namespace tallyvox::audit
