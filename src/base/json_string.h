// JsonString: a text as a JSON string literal, quotes included, for every
// JSON this system writes (the report, the status page, the headless JSON
// lines, the Alertmanager posts). Each writer picks the escapes its readers
// need through JsonStringOptions; with none set:
//   - `"` and `\` are escaped with a backslash;
//   - every control byte (0x00-0x1F) and DEL as \u00XX (lower-case hex);
//   - every other byte as it is: `/`, bytes above 0x7F (UTF-8, U+2028 and
//     U+2029 included) and bytes that are no UTF-8 at all.
// Invariant: the result is one valid JSON string whose text is `text`, but
// for the invalid UTF-8 that `replace_invalid_utf8` replaces; with
// `html_safe`, it holds no `<`, `>` or `&`.
#ifndef TALLYVOX_BASE_JSON_STRING_H_
#define TALLYVOX_BASE_JSON_STRING_H_

#include <string>
#include <string_view>

namespace tallyvox {

struct JsonStringOptions {
  // `<`, `>` and `&` as \u003c, \u003e and \u0026, so that no text can
  // close a script or open a tag wherever the JSON lands (an HTML page).
  bool html_safe = false;
  // LF, CR and TAB as \n, \r and \t instead of \u000a, \u000d and \u0009.
  bool named_controls = false;
  // Each byte that starts no UTF-8 character (base/text.h, Utf8CharLength)
  // as \ufffd, so that a reader that insists on UTF-8 takes the result.
  bool replace_invalid_utf8 = false;
};

std::string JsonString(std::string_view text, JsonStringOptions options = {});

}  // namespace tallyvox

#endif  // TALLYVOX_BASE_JSON_STRING_H_
