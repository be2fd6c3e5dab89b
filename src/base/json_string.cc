#include "base/json_string.h"

#include "base/text.h"

namespace tallyvox {
namespace {

// Appends the ASCII byte `c` (below 0x80) as the options write it.
void AppendAscii(std::string& out, char c, JsonStringOptions options) {
  static const char kHex[] = "0123456789abcdef";
  const auto byte = static_cast<unsigned char>(c);
  if (c == '"' || c == '\\') {
    out += '\\';
    out += c;
  } else if (options.named_controls && (c == '\n' || c == '\r' || c == '\t')) {
    out += c == '\n' ? "\\n" : c == '\r' ? "\\r" : "\\t";
  } else if (byte < 0x20 || byte == 0x7F ||
             (options.html_safe && (c == '<' || c == '>' || c == '&'))) {
    out += "\\u00";
    out += kHex[byte >> 4];
    out += kHex[byte & 15];
  } else {
    out += c;
  }
}

}  // namespace

std::string JsonString(std::string_view text, JsonStringOptions options) {
  std::string out;
  out.reserve(text.size() + 2);
  out += '"';
  for (size_t i = 0; i < text.size();) {
    if (static_cast<unsigned char>(text[i]) < 0x80) {
      AppendAscii(out, text[i], options);
      ++i;
      continue;
    }
    const size_t n = options.replace_invalid_utf8 ? Utf8CharLength(text, i) : 1;
    if (n == 0) {
      out += "\\ufffd";
      ++i;
    } else {
      out.append(text, i, n);
      i += n;
    }
  }
  out += '"';
  return out;
}

}  // namespace tallyvox
