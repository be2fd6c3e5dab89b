#include "base/text.h"

#include <gtest/gtest.h>

namespace tallyvox {
namespace {

TEST(TextTest, SameTextFoldsOnlyAsciiLetters) {
  struct Case {
    const char* a;
    const char* b;
    bool same;
  } cases[] = {
      {"MW_Query", "mw_query", true},
      {"", "", true},
      {"abc", "abcd", false},
      {"[", "{", false},
      {"@", "`", false},
      {"\xC3\xA4", "\xC3\x84", false},
      {"LocalHost", "LOCALHOST", true},
      {"250 ", "250-", false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(SameText(c.a, c.b), c.same) << c.a << " vs " << c.b;
  }
}

TEST(TextTest, UpperCaseLeavesOtherBytesAlone) {
  EXPECT_EQ(UpperCase("auth login z\xC3\xA4{}"), "AUTH LOGIN Z\xC3\xA4{}");
}

// Every control byte and DEL is written as an escape, so no byte of the
// result moves a terminal's cursor, ends a line or ends a C string; all other
// bytes, the backslash and UTF-8 included, stay as they are.
TEST(TextTest, EscapeControlsWritesEveryControlByteAsAnEscape) {
  using namespace std::string_literals;
  struct Case {
    std::string text;
    LineBreaks breaks;
    std::string also;
    std::string shown;
  } cases[] = {
      {"plain text, 100%", LineBreaks::kEscape, "", "plain text, 100%"},
      {"\x1b[31mred\x1b[0m", LineBreaks::kEscape, "", "\\x1b[31mred\\x1b[0m"},
      {"a\r\nb\rc\nd\te", LineBreaks::kEscape, "", "a\\r\\nb\\rc\\nd\\te"},
      {"cut\0here"s, LineBreaks::kEscape, "", "cut\\x00here"},
      {"\x01\x07\x08\x0b\x0c\x1f\x7f", LineBreaks::kEscape, "",
       "\\x01\\x07\\x08\\x0b\\x0c\\x1f\\x7f"},
      {"c:\\apps\\config.dbf \"q\"", LineBreaks::kEscape, "", "c:\\apps\\config.dbf \"q\""},
      {"Stra\xc3\x9f"
       "e \xff",
       LineBreaks::kEscape, "",
       "Stra\xc3\x9f"
       "e \xff"},
      {"a | b|", LineBreaks::kEscape, "|", "a \\x7c b\\x7c"},
      {"one\r\ntwo\nthree\rfour\x1b", LineBreaks::kKeep, "", "one\ntwo\nthree\\rfour\\x1b"},
      {"Socket Error # 10061\r\nConnection refused.\x1b[2J\t|", LineBreaks::kBlank, "|",
       "Socket Error # 10061  Connection refused.\\x1b[2J\\t\\x7c"},
      {"end\r", LineBreaks::kKeep, "", "end\\r"},
      {"", LineBreaks::kEscape, "|", ""},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(EscapeControls(c.text, c.breaks, c.also), c.shown) << c.shown;
  }
  for (int byte = 0; byte < 256; ++byte) {
    const std::string shown = EscapeControls(std::string(1, static_cast<char>(byte)));
    const bool control = byte < 0x20 || byte == 0x7F;
    EXPECT_EQ(shown.size(), control ? (byte == '\r' || byte == '\n' || byte == '\t' ? 2u : 4u) : 1u)
        << byte;
    for (unsigned char c : shown) EXPECT_FALSE(c < 0x20 || c == 0x7F) << byte;
  }
}

TEST(TextTest, NulsVisibleWritesOnlyTheNulBytes) {
  using namespace std::string_literals;
  EXPECT_EQ(NulsVisible("a\0b\r\n\x1b\0"s), "a\\x00b\r\n\x1b\\x00");
  EXPECT_EQ(NulsVisible("no nul"), "no nul");
}

TEST(TextTest, Utf8CharLengthTakesWellFormedCharactersOnly) {
  struct Case {
    std::string text;
    size_t length;
  };
  const Case cases[] = {
      {"a", 1},
      {"\x7f", 1},
      {"\xc3\xa9", 2},
      {"\xe2\x82\xac", 3},
      {"\xf0\x9f\x98\x80", 4},
      {"\xe9 ", 0},
      {"\x80", 0},
      {"\xc3", 0},
      {"\xe2\x82", 0},
      {"\xc0\xaf", 0},
      {"\xe0\x80\xaf", 0},
      {"\xed\xa0\x80", 0},
      {"\xf4\x90\x80\x80", 0},
      {"\xf5\x80\x80\x80", 0},
      {"\xc3\x28", 0},
  };
  for (const Case& c : cases) EXPECT_EQ(Utf8CharLength(c.text, 0), c.length) << c.text;
}

}  // namespace
}  // namespace tallyvox
