// The filer value encoding: type byte choice, golden bytes, readers' accepted
// forms, skipping, and truncated or lying input.
#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "middleware/wire/dataset_errors.h"
#include "middleware/wire/dataset_filer.h"
#include "middleware/wire/dataset_text.h"

namespace tallyvox::mw {
namespace {

std::string Bytes(std::initializer_list<int> bytes) {
  std::string s;
  for (int b : bytes) s.push_back(static_cast<char>(b));
  return s;
}

// Reads from a copy that lives as long as the reader.
struct Input {
  explicit Input(std::string b) : bytes(std::move(b)), reader(bytes) {}
  std::string bytes;
  TFilerReader reader;
};

std::string Written(const std::function<void(TFilerWriter&)>& write) {
  std::string out;
  TFilerWriter writer(&out);
  write(writer);
  return out;
}

TEST(DatasetFilerTest, IntegersUseTheSmallestForm) {
  const struct {
    int64_t value;
    std::string bytes;
  } cases[] = {
      {0, Bytes({0x02, 0x00})},
      {127, Bytes({0x02, 0x7F})},
      {-128, Bytes({0x02, 0x80})},
      {128, Bytes({0x03, 0x80, 0x00})},
      {-129, Bytes({0x03, 0x7F, 0xFF})},
      {32767, Bytes({0x03, 0xFF, 0x7F})},
      {32768, Bytes({0x04, 0x00, 0x80, 0x00, 0x00})},
      {-32769, Bytes({0x04, 0xFF, 0x7F, 0xFF, 0xFF})},
      {2147483647, Bytes({0x04, 0xFF, 0xFF, 0xFF, 0x7F})},
      {2147483648, Bytes({0x13, 0x00, 0x00, 0x00, 0x80, 0x00, 0x00, 0x00, 0x00})},
      {-2147483649LL, Bytes({0x13, 0xFF, 0xFF, 0xFF, 0x7F, 0xFF, 0xFF, 0xFF, 0xFF})},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.value);
    EXPECT_EQ(Written([&](TFilerWriter& w) { w.WriteInteger(c.value); }), c.bytes);
    TFilerReader reader(c.bytes);
    if (c.bytes[0] == 0x13) {
      EXPECT_THROW(reader.ReadInteger(), EReadError);  // integers accept 02, 03, 04 only
    } else {
      EXPECT_EQ(reader.ReadInteger(), c.value);
      EXPECT_EQ(reader.Remaining(), 0u);
    }
    TFilerReader as_float(c.bytes);  // a float accepts every integer form
    EXPECT_EQ(as_float.ReadFloat(), static_cast<double>(c.value));
  }
}

TEST(DatasetFilerTest, TextTypeChoice) {
  const std::string a255(255, 'a'), a256(256, 'a');
  EXPECT_EQ(Written([&](TFilerWriter& w) { w.WriteString(a255); }), Bytes({0x06, 0xFF}) + a255);
  EXPECT_EQ(Written([&](TFilerWriter& w) { w.WriteString(a256); }),
            Bytes({0x0C, 0x00, 0x01, 0x00, 0x00}) + a256);
  EXPECT_EQ(Written([&](TFilerWriter& w) { w.WriteString(""); }), Bytes({0x06, 0x00}));
  // Any non-ASCII character: UTF-8 under 0x14 (cp1252 0xE9 is U+00E9, 0x80 is the euro sign).
  EXPECT_EQ(Written([&](TFilerWriter& w) { w.WriteString("caf\xE9"); }),
            Bytes({0x14, 0x05, 0, 0, 0, 'c', 'a', 'f', 0xC3, 0xA9}));
  EXPECT_EQ(Written([&](TFilerWriter& w) { w.WriteString("\x80"); }),
            Bytes({0x14, 0x03, 0, 0, 0, 0xE2, 0x82, 0xAC}));
}

TEST(DatasetFilerTest, WideTextTypeChoice) {
  const struct {
    std::string utf8;
    std::string bytes;
  } cases[] = {
      {"abc", Bytes({0x06, 0x03, 'a', 'b', 'c'})},                   // 3 < 6 bytes: text
      {"a\xC3\xA9", Bytes({0x14, 0x03, 0, 0, 0, 'a', 0xC3, 0xA9})},  // 3 < 4: UTF-8 text
      {"\xC3\xA9", Bytes({0x12, 0x01, 0, 0, 0, 0xE9, 0x00})},        // 2 = 2: wide
      {"\xE6\x97\xA5", Bytes({0x12, 0x01, 0, 0, 0, 0xE5, 0x65})},    // U+65E5
      {"\xF0\x9F\x98\x80", Bytes({0x12, 0x02, 0, 0, 0, 0x3D, 0xD8, 0x00, 0xDE})},  // surrogates
      {"", Bytes({0x12, 0x00, 0, 0, 0})},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.utf8);
    EXPECT_EQ(Written([&](TFilerWriter& w) { w.WriteWideString(c.utf8); }), c.bytes);
    TFilerReader reader(c.bytes);
    EXPECT_EQ(reader.ReadWideString(), c.utf8);
    EXPECT_EQ(reader.Remaining(), 0u);
  }
}

TEST(DatasetFilerTest, TextReadersConvertBetweenForms) {
  // 8-bit readers take 0x12 and 0x14 converted to Windows-1252; "?" without an 8-bit form.
  EXPECT_EQ(Input(Bytes({0x14, 3, 0, 0, 0, 0xE2, 0x82, 0xAC})).reader.ReadString(), "\x80");
  EXPECT_EQ(Input(Bytes({0x12, 2, 0, 0, 0, 0xE9, 0x00, 0xE5, 0x65})).reader.ReadString(), "\xE9?");
  // Wide readers widen 8-bit text.
  EXPECT_EQ(Input(Bytes({0x06, 1, 0xE9})).reader.ReadWideString(), "\xC3\xA9");
  EXPECT_EQ(Input(Bytes({0x0C, 1, 0, 0, 0, 0x80})).reader.ReadWideString(), "\xE2\x82\xAC");
  // Malformed UTF-8 and lone surrogates become U+FFFD.
  EXPECT_EQ(Input(Bytes({0x14, 2, 0, 0, 0, 0xC3, 'x'})).reader.ReadWideString(), "\xEF\xBF\xBDx");
  EXPECT_EQ(Input(Bytes({0x12, 1, 0, 0, 0, 0x00, 0xD8})).reader.ReadWideString(), "\xEF\xBF\xBD");
  // Every 8-bit byte survives the trip through UTF-8.
  std::string all;
  for (int i = 0; i < 256; ++i) all.push_back(static_cast<char>(i));
  EXPECT_EQ(AnsiFromUtf8(Utf8FromAnsi(all)), all);
  EXPECT_EQ(Input(Written([&](TFilerWriter& w) { w.WriteString(all); })).reader.ReadString(), all);
}

TEST(DatasetFilerTest, BooleansAndLists) {
  EXPECT_EQ(Written([](TFilerWriter& w) {
              w.WriteListBegin();
              w.WriteBoolean(false);
              w.WriteBoolean(true);
              w.WriteListEnd();
            }),
            Bytes({0x01, 0x08, 0x09, 0x00}));
  // True only for 0x09; any other type byte is false and only that byte is read.
  const std::string input = Bytes({0x09, 0x08, 0x02, 0x07});
  TFilerReader reader(input);
  EXPECT_TRUE(reader.ReadBoolean());
  EXPECT_FALSE(reader.ReadBoolean());
  EXPECT_FALSE(reader.ReadBoolean());
  EXPECT_EQ(reader.Position(), 3u);
}

TEST(DatasetFilerTest, WrongTypesRaiseInvalidPropertyValue) {
  const std::function<void(TFilerReader&)> readers[] = {
      [](TFilerReader& r) { r.ReadInteger(); },   [](TFilerReader& r) { r.ReadFloat(); },
      [](TFilerReader& r) { r.ReadString(); },    [](TFilerReader& r) { r.ReadWideString(); },
      [](TFilerReader& r) { r.ReadListBegin(); }, [](TFilerReader& r) { r.ReadListEnd(); },
  };
  const std::string wrong[] = {Bytes({0x07, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}),
                               Bytes({0x0A, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0})};
  for (const auto& read : readers) {
    for (const std::string& bytes : wrong) {
      TFilerReader reader(bytes);
      try {
        read(reader);
        ADD_FAILURE() << "no exception";
      } catch (const EReadError& e) {
        EXPECT_STREQ(e.what(), "Invalid property value");
      }
    }
  }
  EXPECT_THROW(Input(Bytes({0x06, 0})).reader.ReadInteger(), EReadError);
  EXPECT_THROW(Input(Bytes({0x02, 0})).reader.ReadString(), EReadError);
}

TEST(DatasetFilerTest, SkipValueSkipsEveryKindWhole) {
  const std::string values = Written([](TFilerWriter& w) {
    w.WriteInteger(5);
    w.WriteInteger(500);
    w.WriteInteger(500000);
    w.WriteInteger(int64_t{1} << 40);
    w.WriteFloat(2.5);
    w.WriteString("short");
    w.WriteString(std::string(300, 'x'));
    w.WriteString("\xE9t\xE9");
    w.WriteWideString("\xE6\x97\xA5");
    w.WriteBoolean(true);
    w.WriteBoolean(false);
    w.WriteListBegin();
    w.WriteListBegin();
    w.WriteInteger(1);
    w.WriteListEnd();
    w.WriteString("in");
    w.WriteListEnd();
  });
  const std::string input = values + Bytes({0x02, 0x2A});
  TFilerReader reader(input);
  for (int i = 0; i < 12; ++i) reader.SkipValue();
  EXPECT_EQ(reader.ReadInteger(), 42);
  EXPECT_THROW(Input(Bytes({0x07})).reader.SkipValue(), EReadError);
}

TEST(DatasetFilerTest, EveryTruncatedValueRaisesStreamReadError) {
  const std::function<void(TFilerReader&)> read_integer = [](TFilerReader& r) { r.ReadInteger(); };
  const std::function<void(TFilerReader&)> read_float = [](TFilerReader& r) { r.ReadFloat(); };
  const std::function<void(TFilerReader&)> read_text = [](TFilerReader& r) { r.ReadString(); };
  const std::function<void(TFilerReader&)> read_wide = [](TFilerReader& r) { r.ReadWideString(); };
  const std::function<void(TFilerReader&)> skip = [](TFilerReader& r) { r.SkipValue(); };
  const struct {
    std::string bytes;
    std::function<void(TFilerReader&)> read;
  } cases[] = {
      {Bytes({0x04, 1, 2, 3, 4}), read_integer},
      {Written([](TFilerWriter& w) { w.WriteFloat(1.25); }), read_float},
      {Written([](TFilerWriter& w) { w.WriteInteger(int64_t{1} << 40); }), read_float},
      {Written([](TFilerWriter& w) { w.WriteString(std::string(300, 'q')); }), read_text},
      {Written([](TFilerWriter& w) { w.WriteString("\xE9"); }), read_text},
      {Written([](TFilerWriter& w) { w.WriteWideString("\xE6\x97\xA5\xE6\x97\xA5"); }), read_wide},
      {Written([](TFilerWriter& w) {
         w.WriteListBegin();
         w.WriteString("abc");
         w.WriteListEnd();
       }),
       skip},
  };
  for (const auto& c : cases) {
    for (size_t n = 0; n < c.bytes.size(); ++n) {
      // A copy of exactly n bytes, so reading past it is an ASan error.
      const std::string prefix = c.bytes.substr(0, n);
      TFilerReader reader(prefix);
      try {
        c.read(reader);
        ADD_FAILURE() << "prefix of " << n << " bytes was accepted";
      } catch (const EReadError& e) {
        EXPECT_STREQ(e.what(), "Stream read error") << n;
      }
    }
  }
}

TEST(DatasetFilerTest, LengthsBeyondTheDataFailBeforeAllocating) {
  const std::string lies[] = {
      Bytes({0x0C, 0xFF, 0xFF, 0xFF, 0x7F, 'a', 'b'}),
      Bytes({0x14, 0x00, 0x00, 0x00, 0x80, 'a', 'b'}),
      Bytes({0x12, 0xFF, 0xFF, 0xFF, 0xFF, 'a', 'b'}),
      Bytes({0x12, 0x00, 0x00, 0x00, 0x80, 'a', 'b'}),
  };
  for (const std::string& bytes : lies) {
    EXPECT_THROW(TFilerReader(std::string_view(bytes)).ReadString(), EReadError);
    EXPECT_THROW(TFilerReader(std::string_view(bytes)).ReadWideString(), EReadError);
    EXPECT_THROW(TFilerReader(std::string_view(bytes)).SkipValue(), EReadError);
  }
  const std::string input = Bytes({1, 2, 3});
  TFilerReader reader(input);
  EXPECT_THROW(reader.ReadRaw(size_t{1} << 31), EReadError);
  EXPECT_EQ(reader.ReadRaw(3), Bytes({1, 2, 3}));
}

}  // namespace
}  // namespace tallyvox::mw
