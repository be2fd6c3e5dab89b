#include "base/text.h"

namespace tallyvox {
namespace {

char FoldUpper(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - ('a' - 'A')) : c; }

void AppendHex(unsigned char c, std::string* out) {
  static constexpr char kDigits[] = "0123456789abcdef";
  *out += "\\x";
  *out += kDigits[c >> 4];
  *out += kDigits[c & 0x0F];
}

}  // namespace

bool SameText(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (FoldUpper(a[i]) != FoldUpper(b[i])) return false;
  }
  return true;
}

std::string UpperCase(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = FoldUpper(c);
  return out;
}

std::string EscapeControls(std::string_view text, LineBreaks breaks, std::string_view also) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (breaks == LineBreaks::kKeep && c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') {
      continue;  // the LF that follows is the break
    }
    if (breaks == LineBreaks::kBlank && (c == '\r' || c == '\n')) {
      out += ' ';
    } else if (c == '\n') {
      out += breaks == LineBreaks::kKeep ? "\n" : "\\n";
    } else if (c == '\r') {
      out += "\\r";
    } else if (c == '\t') {
      out += "\\t";
    } else if (c < 0x20 || c == 0x7F || also.find(static_cast<char>(c)) != std::string_view::npos) {
      AppendHex(c, &out);
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

std::string NulsVisible(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    if (c == '\0') {
      out += "\\x00";
    } else {
      out += c;
    }
  }
  return out;
}

size_t Utf8CharLength(std::string_view text, size_t at) {
  const auto byte = [&](size_t k) { return static_cast<unsigned char>(text[k]); };
  const unsigned char b = byte(at);
  if (b < 0x80) return 1;
  size_t n = 0;
  if (b >= 0xC2 && b <= 0xDF) n = 2;
  if (b >= 0xE0 && b <= 0xEF) n = 3;
  if (b >= 0xF0 && b <= 0xF4) n = 4;
  if (n == 0 || at + n > text.size()) return 0;
  for (size_t k = 1; k < n; ++k) {
    if ((byte(at + k) & 0xC0) != 0x80) return 0;
  }
  const unsigned char b1 = byte(at + 1);
  if (n == 3 && ((b == 0xE0 && b1 < 0xA0) || (b == 0xED && b1 > 0x9F))) return 0;
  if (n == 4 && ((b == 0xF0 && b1 < 0x90) || (b == 0xF4 && b1 > 0x8F))) return 0;
  return n;
}

}  // namespace tallyvox
