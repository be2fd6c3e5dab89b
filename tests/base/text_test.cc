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

}  // namespace
}  // namespace tallyvox
