#include "middleware/wire/value_formatter.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <memory>
#include <string>

#include "wire/wire_test_util.h"

namespace tallyvox::mw {
namespace {

using wiretest::B;
using wiretest::Hex;
using wiretest::I32;
using wiretest::S;

// A formatter over its own buffer, as a transport stream would hold it.
class FormatterTest : public ::testing::Test {
 protected:
  std::string Written() const { return buf_.ToString(); }
  std::string WriteOne(const Variant& v) {
    buf_.Clear();
    f_.WriteVariant("V", v);
    return Written();
  }
  Variant ReadBack(const std::string& bytes) {
    buf_.Assign(bytes);
    Variant v = f_.ReadVariant("V");
    EXPECT_EQ(buf_.Remaining(), 0) << "reader left bytes unread";
    return v;
  }
  Variant RoundTrip(const Variant& v) { return ReadBack(WriteOne(v)); }

  TMwMemoryStream buf_;
  TMwStandardTransportStreamFormatter f_{nullptr, &buf_, nullptr};
};

TEST_F(FormatterTest, GoldenVariantExamples) {
  const TDateTime when = EncodeDate(2025, 6, 24) + EncodeTime(13, 5, 9, 7);
  struct Case {
    const char* what;
    Variant value;
    std::string bytes;
  } cases[] = {
      {"empty", Variant(), B({0, 0, 0, 0})},
      {"null", Variant::Null(), B({1, 0, 0, 0})},
      {"int 1", Variant(1), B({3, 0, 0, 0, 1, 0, 0, 0}) + "1"},
      {"true", Variant(true), B({0x0B, 0, 0, 0, 4, 0, 0, 0}) + "True"},
      {"COMMON", Variant::String("COMMON"), B({0, 1, 0, 0, 6, 0, 0, 0}) + "COMMON"},
      {"0.5", Variant(0.5), B({5, 0, 0, 0, 3, 0, 0, 0}) + "0.5"},
      {"date", Variant::DateTime(when), B({7, 0, 0, 0, 0x11, 0, 0, 0}) + "20250624130509007"},
      {"array", Variant::Array(varVariant, 0, {Variant::Null(), Variant(7)}),
       B({0x0C, 0x20, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 1, 0,
          0,    0,    1, 0, 0, 0, 3, 0, 0, 0, 1, 0, 0, 0}) +
           "7"},
      {"bytes", Variant::ByteArray(0, {0x0A, 0x0B, 0x0C}),
       B({0x11, 0x20, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 2, 0, 0, 0, 0x0A, 0x0B, 0x0C})},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Hex(WriteOne(c.value)), Hex(c.bytes)) << c.what;
    EXPECT_EQ(ReadBack(c.bytes), c.value) << c.what;
  }
}

TEST_F(FormatterTest, PrimitiveEncodings) {
  f_.WriteString("S", "");
  EXPECT_EQ(Written(), B({0, 0, 0, 0}));
  buf_.Clear();
  f_.WriteWideString("W", "\xC3\xA9");  // U+00E9
  EXPECT_EQ(Written(), B({2, 0, 0, 0, 0xC3, 0xA9}));
  buf_.Clear();
  f_.WriteInteger("I", -2);
  f_.WriteBoolean("B", true);
  f_.WriteBoolean("B", false);
  EXPECT_EQ(Written(), B({0xFE, 0xFF, 0xFF, 0xFF, 1, 0}));

  buf_.Assign(B({0, 0, 0, 0, 2, 0, 0, 0, 0xC3, 0xA9, 0x02, 0x01}));
  EXPECT_EQ(f_.ReadString("S"), "");
  EXPECT_EQ(buf_.Position(), 4);
  EXPECT_EQ(f_.ReadWideString("W"), "\xC3\xA9");
  EXPECT_FALSE(f_.ReadBoolean("B"));  // only 01 reads as true
  EXPECT_TRUE(f_.ReadBoolean("B"));
}

TEST_F(FormatterTest, WideStringRepairsInvalidUtf8) {
  buf_.Assign(
      S("a\xFF"
        "b"));
  EXPECT_EQ(f_.ReadWideString("W"),
            "a\xEF\xBF\xBD"
            "b");
}

TEST(FloatText, FixedFormsFifteenDigits) {
  struct Case {
    double value;
    const char* text;
  } cases[] = {
      {0.0, "0"},
      {0.5, "0.5"},
      {-2.5, "-2.5"},
      {100, "100"},
      {0.1, "0.1"},
      {0.0001, "0.0001"},
      {0.00001, "1E-5"},
      {0.000123, "0.000123"},
      {0.0000123, "1.23E-5"},
      {1e15, "1E15"},
      {123456789012345.0, "123456789012345"},
      {1234567890123456.0, "1.23456789012346E15"},
      {1e20, "1E20"},
      {1.5e-10, "1.5E-10"},
      {-1.5e-10, "-1.5E-10"},
      {1.0 / 3, "0.333333333333333"},
      {2.0 / 3, "0.666666666666667"},
      {999999999999999.9, "1E15"},
      {3.14159265358979, "3.14159265358979"},
      {std::numeric_limits<double>::infinity(), "INF"},
      {-std::numeric_limits<double>::infinity(), "-INF"},
      {std::nan(""), "NAN"},
  };
  for (const Case& c : cases) EXPECT_EQ(MwFloatToText(c.value), c.text) << c.value;
}

TEST(FloatText, ParsingAcceptsEitherSeparatorAndRejectsGarbage) {
  EXPECT_EQ(MwTextToFloat("0.5"), 0.5);
  EXPECT_EQ(MwTextToFloat("0,5"), 0.5);
  EXPECT_EQ(MwTextToFloat("1E-5"), 0.00001);
  EXPECT_EQ(MwTextToFloat(" -1.5E-10 "), -1.5e-10);
  EXPECT_EQ(MwTextToFloat("INF"), std::numeric_limits<double>::infinity());
  EXPECT_EQ(MwTextToFloat("-INF"), -std::numeric_limits<double>::infinity());
  EXPECT_TRUE(std::isnan(MwTextToFloat("NAN")));
  EXPECT_EQ(MwTextToFloat("12,5", ','), 12.5);
  for (const char* bad : {"", "abc", "1.2.3", "1E", "--1", ".", "1e999", "0x10", "1 2"}) {
    try {
      MwTextToFloat(bad);
      ADD_FAILURE() << "accepted '" << bad << "'";
    } catch (const EConvertError& e) {
      EXPECT_EQ(std::string(e.what()),
                "'" + std::string(bad) + "' is not a valid floating point value");
    }
  }
}

TEST(DateTimeText, SeventeenDigitsBothWays) {
  const TDateTime when = EncodeDate(2025, 6, 24) + EncodeTime(13, 5, 9, 7);
  EXPECT_EQ(MwDateTimeToText(when), "20250624130509007");
  EXPECT_EQ(MwDateTimeToText(MwTextToDateTime("20250624130509007")), "20250624130509007");
  EXPECT_EQ(MwDateTimeToText(0), "18991230000000000");
  // Before 1899-12-30 the time of day keeps its sign convention.
  EXPECT_EQ(MwTextToDateTime("18991229060000000"), -1.25);
  EXPECT_EQ(MwDateTimeToText(-1.25), "18991229060000000");
  for (const char* bad : {"2025062413050900", "202506241305090070"}) {
    try {
      MwTextToDateTime(bad);
      ADD_FAILURE() << bad;
    } catch (const EMwException& e) {
      EXPECT_EQ(e.ErrorCode(), kMwErrDateTimeLength);
      EXPECT_EQ(std::string(e.what()),
                std::string("Invalid DateTime string length. Should be 17 chars. ") + bad);
    }
  }
  EXPECT_THROW(MwTextToDateTime("2025x624130509007"), EConvertError);
  EXPECT_THROW(MwTextToDateTime("20251324130509007"), EConvertError);  // month 13
  EXPECT_THROW(MwTextToDateTime("20250230130509007"), EConvertError);  // Feb 30
  EXPECT_THROW(MwDateTimeToText(std::nan("")), EConvertError);
  EXPECT_THROW(MwDateTimeToText(1e12), EConvertError);
}

TEST_F(FormatterTest, RoundTripsEveryValueKind) {
  const TDateTime when = EncodeDate(1999, 12, 31) + EncodeTime(23, 59, 58, 999);
  struct Case {
    Variant in, out;
  } cases[] = {
      {Variant(), Variant()},
      {Variant::Null(), Variant::Null()},
      {Variant::Integer(varSmallint, -32768), Variant::Integer(varSmallint, -32768)},
      {Variant(2147483647), Variant(2147483647)},
      {Variant::Integer(varInteger, -2147483647 - 1),
       Variant::Integer(varInteger, -2147483647 - 1)},
      {Variant::Single(1.5f), Variant(1.5)},  // single comes back as double
      {Variant(-123.456), Variant(-123.456)},
      {Variant::Currency(1.25), Variant(1.25)},  // currency comes back as double
      {Variant::DateTime(when), Variant::DateTime(when)},
      {Variant::WideString("h\xC3\xA9llo \xE2\x82\xAC"),
       Variant::WideString("h\xC3\xA9llo \xE2\x82\xAC")},
      {Variant(true), Variant(true)},
      {Variant(false), Variant(false)},
      {Variant::Integer(varError, 42), Variant::Integer(varError, 42)},
      {Variant::Integer(varShortInt, -128), Variant::Integer(varShortInt, -128)},
      {Variant::Integer(varByte, 255), Variant::Integer(varByte, 255)},
      {Variant::Integer(varWord, 65535), Variant::Integer(varWord, 65535)},
      {Variant::Integer(varLongWord, 4294967295LL), Variant::Integer(varLongWord, 4294967295LL)},
      {Variant::Integer(varInt64, INT64_MIN), Variant::Integer(varInt64, INT64_MIN)},
      {Variant::UInt64(UINT64_MAX), Variant::UInt64(UINT64_MAX)},
      {Variant::String(std::string("bin\0ary\xFF", 8)),
       Variant::String(std::string("bin\0ary\xFF", 8))},
      {Variant::String(""), Variant::String("")},
      {Variant::ByteArray(-3, {1, 2, 3, 0}), Variant::ByteArray(-3, {1, 2, 3, 0})},
      {Variant::ByteArray(5, {}), Variant::ByteArray(5, {})},
      // Arrays of any element kind come back as arrays of variants.
      {Variant::Array(varInteger, 1, {Variant(1), Variant(2)}),
       Variant::Array(varVariant, 1, {Variant(1), Variant(2)})},
      {Variant::Array(varVariant, 0, {}), Variant::Array(varVariant, 0, {})},
      {Variant::Array(varVariant, 0,
                      {Variant::Array(varVariant, 0, {Variant("x"), Variant::ByteArray(0, {9})}),
                       Variant::Currency(2.5)}),
       Variant::Array(varVariant, 0,
                      {Variant::Array(varVariant, 0, {Variant("x"), Variant::ByteArray(0, {9})}),
                       Variant(2.5)})},
  };
  for (const Case& c : cases) {
    const Variant got = RoundTrip(c.in);
    EXPECT_EQ(got, c.out) << VarTypeAsText(c.in.VType()) << " -> " << VarTypeAsText(got.VType())
                          << " " << Hex(Written());
  }
}

TEST_F(FormatterTest, EmptyArrayWritesDimensionAndBoundsOnly) {
  EXPECT_EQ(WriteOne(Variant::Array(varVariant, 0, {})),
            B({0x0C, 0x20, 0, 0}) + I32(1) + I32(0) + I32(-1));
}

TEST_F(FormatterTest, RawFloatsWhenParamsAskForRaw) {
  TMwStrings params{"MW_STANDARDTRANSPORTSTREAM_FORMAT=raw"};
  TMwStandardTransportStreamFormatter raw(&params, &buf_, nullptr);
  EXPECT_TRUE(raw.RawFloats());
  EXPECT_FALSE(f_.RawFloats());
  raw.WriteFloat("F", 0.5);
  raw.WriteDateTime("D", 45000.25);
  double half = 0.5, dt = 45000.25;
  EXPECT_EQ(Written(), std::string(reinterpret_cast<char*>(&half), 8) +
                           std::string(reinterpret_cast<char*>(&dt), 8));
  buf_.Rewind();
  EXPECT_EQ(raw.ReadFloat("F"), 0.5);
  EXPECT_EQ(raw.ReadDateTime("D"), 45000.25);
  buf_.Assign(B({1, 2, 3}));
  EXPECT_THROW(raw.ReadFloat("F"), EMwException);
}

TEST_F(FormatterTest, LocaleConversionUsesTransportSettings) {
  TMwFormatSettings fs;
  fs.decimal_separator = ',';
  fs.date_separator = '/';
  fs.time_separator = '.';
  f_.OverrideStringConversion(mwscLocale, fs);
  EXPECT_EQ(WriteOne(Variant(1.25)), B({5, 0, 0, 0}) + S("1,25"));
  EXPECT_EQ(ReadBack(Written()), Variant(1.25));
  const TDateTime when = EncodeDate(2024, 2, 29) + EncodeTime(1, 2, 3, 4);
  EXPECT_EQ(WriteOne(Variant::DateTime(when)), B({7, 0, 0, 0}) + S("2024/02/29 01.02.03,004"));
  EXPECT_EQ(ReadBack(Written()), Variant::DateTime(when));
}

TEST_F(FormatterTest, StreamSectionsAndText) {
  TMwMemoryStream src;
  src.Assign("payload");
  f_.WriteStream("STREAM", src, 7);
  f_.WriteText("T", "line", "\r\n");
  EXPECT_EQ(Written(), S("payload") + "line\r\n");
  buf_.Rewind();
  TMwMemoryStream dst;
  EXPECT_EQ(f_.ReadStream("STREAM", dst), 7);
  EXPECT_EQ(dst.ToString(), "payload");
  EXPECT_EQ(f_.ReadText("T", "\r\n"), "line");
  EXPECT_THROW(f_.ReadText("T", "\r\n"), EMwException);
}

// Each read limit: the bound itself passes, one more fails with its code.
TEST_F(FormatterTest, ReadLimits) {
  f_.SetMaxStringSize(10);
  buf_.Assign(S(std::string(10, 'a')));
  EXPECT_EQ(f_.ReadString("S").size(), 10u);
  buf_.Assign(S(std::string(11, 'a')));
  try {
    f_.ReadString("S");
    FAIL();
  } catch (const EMwException& e) {
    EXPECT_EQ(e.ErrorCode(), kMwErrStringSize);
    EXPECT_STREQ(e.what(), "String size out of bounds.");
  }
  // The wide string limit counts UTF-8 bytes.
  buf_.Assign(
      S("\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9"
        "a"));
  EXPECT_THROW(f_.ReadWideString("W"), EMwException);

  f_.SetMaxArraySize(10);
  std::vector<Variant> items(11, Variant());
  EXPECT_EQ(RoundTrip(Variant::Array(varVariant, 0, items)).Items().size(), 11u);
  items.push_back(Variant());
  try {
    RoundTrip(Variant::Array(varVariant, 0, items));
    FAIL();
  } catch (const EMwException& e) {
    EXPECT_EQ(e.ErrorCode(), kMwErrArraySize);
    EXPECT_STREQ(e.what(), "Array size out of bounds.");
  }

  f_.SetMaxBinaryArraySize(4);
  EXPECT_EQ(RoundTrip(Variant::ByteArray(0, std::vector<uint8_t>(5, 1))).Bytes().size(), 5u);
  try {
    RoundTrip(Variant::ByteArray(0, std::vector<uint8_t>(6, 1)));
    FAIL();
  } catch (const EMwException& e) {
    EXPECT_EQ(e.ErrorCode(), kMwErrArraySize);
    EXPECT_STREQ(e.what(), "Binary array size out of bounds.");
  }

  f_.SetMaxStreamSize(3);
  TMwMemoryStream dst;
  buf_.Assign(S("abc"));
  EXPECT_EQ(f_.ReadStream("STREAM", dst), 3);
  buf_.Assign(S("abcd"));
  try {
    f_.ReadStream("STREAM", dst);
    FAIL();
  } catch (const EMwException& e) {
    EXPECT_EQ(e.ErrorCode(), kMwErrStreamSize);
    EXPECT_STREQ(e.what(), "Stream size out of bounds.");
  }
}

TEST_F(FormatterTest, DimensionErrors) {
  struct Case {
    Variant value;
    const char* text;
  } writes[] = {
      {Variant::MultiDimArray(varVariant, 2),
       "WriteVariantArray writes arrays of one dimension only."},
      {Variant::MultiDimArray(varByte, 2),
       "WriteVariantByteArray writes arrays of one dimension only."},
  };
  for (const Case& c : writes) {
    try {
      WriteOne(c.value);
      ADD_FAILURE() << c.text;
    } catch (const EMwException& e) {
      EXPECT_EQ(e.ErrorCode(), kMwErrArrayDimensions);
      EXPECT_STREQ(e.what(), c.text);
    }
  }
  struct ReadCase {
    std::string bytes;
    const char* text;
  } reads[] = {
      {B({0x0C, 0x20, 0, 0}) + I32(2) + I32(0) + I32(0),
       "ReadVariantArray only supports one dimension."},
      {B({0x11, 0x20, 0, 0}) + I32(0), "ReadVariantByteArray only supports one dimension."},
  };
  for (const ReadCase& c : reads) {
    try {
      ReadBack(c.bytes);
      ADD_FAILURE() << c.text;
    } catch (const EMwException& e) {
      EXPECT_EQ(e.ErrorCode(), kMwErrArrayDimensions);
      EXPECT_STREQ(e.what(), c.text);
    }
  }
}

TEST_F(FormatterTest, TextThatDoesNotConvertToItsTag) {
  struct Case {
    std::string bytes;
    const char* text;
  } cases[] = {
      {I32(varInteger) + S("12x"),
       "Could not convert variant of type (String) into type (Integer)"},
      {I32(varByte) + S("256"), "Could not convert variant of type (String) into type (Byte)"},
      {I32(varBoolean) + S("maybe"),
       "Could not convert variant of type (String) into type (Boolean)"},
      {I32(varDispatch) + S("x"),
       "Could not convert variant of type (String) into type (Dispatch)"},
      {I32(0x0123) + S("x"), "Could not convert variant of type (String) into type ($0123)"},
  };
  for (const Case& c : cases) {
    try {
      ReadBack(c.bytes);
      ADD_FAILURE() << c.text;
    } catch (const EVariantTypeCastError& e) {
      EXPECT_STREQ(e.what(), c.text);
    }
  }
  // A float payload that does not parse.
  buf_.Assign(I32(varDouble) + S("1.5x"));
  try {
    f_.ReadVariant("V");
    FAIL();
  } catch (const EConvertError& e) {
    EXPECT_STREQ(e.what(), "'1.5x' is not a valid floating point value");
  }
}

TEST_F(FormatterTest, BooleanTextIsCaseInsensitive) {
  EXPECT_EQ(ReadBack(I32(varBoolean) + S("TRUE")), Variant(true));
  EXPECT_EQ(ReadBack(I32(varBoolean) + S("false")), Variant(false));
}

// A small streamable object: a name and a nested variant.
class Point : public TMwObject, public IMwObject {
 public:
  std::string ClassName() const override { return "TPoint"; }
  IMwObject* AsMwObject() override { return this; }
  void MwInitialize() override { initialised = true; }
  void MwSave(TMwCustomTransportStreamFormatter& f) override {
    f.WriteInteger("X", x);
    f.WriteVariant("TAG", tag);
  }
  void MwLoad(TMwCustomTransportStreamFormatter& f) override {
    x = f.ReadInteger("X");
    tag = f.ReadVariant("TAG");
  }
  int32_t x = 0;
  Variant tag;
  bool initialised = false;
};

class Plain : public TMwObject {
 public:
  std::string ClassName() const override { return "TPlain"; }
};

TEST_F(FormatterTest, ObjectsThroughTheRegistry) {
  auto p = std::make_shared<Point>();
  p->x = 7;
  p->tag = Variant("t");
  const std::string bytes = WriteOne(Variant::Object(p));
  EXPECT_EQ(Hex(bytes), Hex(B({0xA0, 0x05, 0, 0}) + S("TPoint") + I32(7) + I32(varString) + S("t") +
                            S("TPoint")));

  // Not registered: the class name is in the message.
  try {
    ReadBack(bytes);
    FAIL();
  } catch (const EMwException& e) {
    EXPECT_EQ(e.ErrorCode(), kMwErrObjectNotRegistered);
    EXPECT_STREQ(e.what(), "Object class TPoint not registered.");
  }

  auto& registry = TMwRegisteredStreamableObjectList::Instance();
  registry.Register("tpoint", [] { return std::make_shared<Point>(); });  // any case matches
  const Variant back = ReadBack(bytes);
  ASSERT_TRUE(back.IsObject());
  auto* q = dynamic_cast<Point*>(back.AsObject().get());
  ASSERT_NE(q, nullptr);
  EXPECT_TRUE(q->initialised);
  EXPECT_EQ(q->x, 7);
  EXPECT_EQ(q->tag, Variant("t"));
  registry.Unregister("TPOINT");

  // A registered class that is not streamable.
  registry.Register("TPoint", [] { return std::make_shared<Plain>(); });
  try {
    ReadBack(bytes);
    FAIL();
  } catch (const EMwException& e) {
    EXPECT_EQ(e.ErrorCode(), kMwErrLoadNotMwObject);
    EXPECT_STREQ(e.what(), "Object to load must implement IMwObject interface.");
  }
  registry.Unregister("TPoint");

  // Writing an object without the interface.
  try {
    WriteOne(Variant::Object(std::make_shared<Plain>()));
    FAIL();
  } catch (const EMwException& e) {
    EXPECT_EQ(e.ErrorCode(), kMwErrStreamNotMwObject);
    EXPECT_STREQ(e.what(), "Object to stream must implement IMwObject interface.");
  }
}

TEST_F(FormatterTest, DeepNestingIsRefusedNotRecursedWithoutBound) {
  // 1000 nested one-element arrays: each level is tag, dim, low, high.
  std::string bytes;
  for (int i = 0; i < 1000; ++i) bytes += I32(0x200C) + I32(1) + I32(0) + I32(0);
  bytes += I32(0);
  buf_.Assign(bytes);
  try {
    f_.ReadVariant("V");
    FAIL();
  } catch (const EMwException& e) {
    EXPECT_EQ(e.ErrorCode(), kMwErrNestingTooDeep);
  }
  // Nesting within the cap round-trips.
  Variant v = Variant(1);
  for (int i = 0; i < kMwMaxVariantDepth - 1; ++i) v = Variant::Array(varVariant, 0, {v});
  EXPECT_EQ(RoundTrip(v), v);
}

}  // namespace
}  // namespace tallyvox::mw
