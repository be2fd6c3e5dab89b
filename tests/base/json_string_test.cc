#include "base/json_string.h"

#include <gtest/gtest.h>

#include <string>

namespace tallyvox {
namespace {

using namespace std::string_literals;

constexpr int kPlain = 0;
constexpr int kHtml = 1;   // html_safe
constexpr int kNamed = 2;  // named_controls
constexpr int kUtf8 = 4;   // replace_invalid_utf8

JsonStringOptions Options(int flags) {
  JsonStringOptions options;
  options.html_safe = (flags & kHtml) != 0;
  options.named_controls = (flags & kNamed) != 0;
  options.replace_invalid_utf8 = (flags & kUtf8) != 0;
  return options;
}

// Each byte class under the options that write it differently, and under
// those that must leave it as the plain writer does.
TEST(JsonStringTest, EachOptionChangesOnlyItsOwnBytes) {
  struct Case {
    std::string text;
    int flags;
    std::string json;
  } cases[] = {
      {"", kPlain, R"("")"},
      {"a/b 'c' 100%", kHtml | kNamed | kUtf8, R"("a/b 'c' 100%")"},
      {"say \"hi\" c:\\apps", kPlain, R"("say \"hi\" c:\\apps")"},
      {"say \"hi\" c:\\apps", kHtml | kNamed | kUtf8, R"("say \"hi\" c:\\apps")"},
      // Controls: only LF, CR and TAB have names, and only when asked for.
      {"\n\r\t", kPlain, R"("\u000a\u000d\u0009")"},
      {"\n\r\t", kHtml | kUtf8, R"("\u000a\u000d\u0009")"},
      {"\n\r\t", kNamed, R"("\n\r\t")"},
      {"\0\x01\x08\x0c\x1b[0m\x1f\x7f"s, kPlain,
       R"("\u0000\u0001\u0008\u000c\u001b[0m\u001f\u007f")"},
      {"\0\x01\x08\x0c\x1b[0m\x1f\x7f"s, kNamed,
       R"("\u0000\u0001\u0008\u000c\u001b[0m\u001f\u007f")"},
      // < > & only for an HTML page; the slash stays.
      {"</script><b>&amp;", kPlain, R"("</script><b>&amp;")"},
      {"</script><b>&amp;", kNamed | kUtf8, R"("</script><b>&amp;")"},
      {"</script><b>&amp;", kHtml, R"("\u003c/script\u003e\u003cb\u003e\u0026amp;")"},
      // UTF-8 stays as it is under every option, U+2028 and U+2029 included.
      {"caf\xc3\xa9 \xe2\x80\xa8\xe2\x80\xa9 \xf0\x9f\x98\x80", kHtml | kNamed | kUtf8,
       "\"caf\xc3\xa9 \xe2\x80\xa8\xe2\x80\xa9 \xf0\x9f\x98\x80\""},
      // Bytes that are no UTF-8: kept, or one U+FFFD each, after which the
      // next character is read whole.
      {"caf\xe9!", kHtml | kNamed, "\"caf\xe9!\""},
      {"caf\xe9!", kUtf8, R"("caf\ufffd!")"},
      {"\x80\xff\xc3\xa9", kPlain, "\"\x80\xff\xc3\xa9\""},
      {"\x80\xff\xc3\xa9", kUtf8, "\"\\ufffd\\ufffd\xc3\xa9\""},
      {"\xc0\xaf", kUtf8, R"("\ufffd\ufffd")"},                      // overlong
      {"\xed\xa0\x80", kUtf8, R"("\ufffd\ufffd\ufffd")"},            // a surrogate
      {"\xf4\x90\x80\x80", kUtf8, R"("\ufffd\ufffd\ufffd\ufffd")"},  // past U+10FFFF
      {"end\xe2\x82", kUtf8, R"("end\ufffd\ufffd")"},                // cut short
      {"\xe2\x82\"", kUtf8, R"("\ufffd\ufffd\"")"},                  // cut short by an ASCII byte
      // All at once.
      {"<a>\n\xff\"", kHtml | kNamed | kUtf8, R"("\u003ca\u003e\n\ufffd\"")"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(JsonString(c.text, Options(c.flags)), c.json) << c.text << " flags " << c.flags;
  }
}

}  // namespace
}  // namespace tallyvox
