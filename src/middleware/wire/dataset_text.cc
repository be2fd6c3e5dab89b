#include "middleware/wire/dataset_text.h"

namespace tallyvox::mw {
namespace {

constexpr char32_t kReplacement = 0xFFFD;

// Code points of the bytes 0x80..0x9F in Windows-1252.
constexpr char16_t kCp1252High[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

char32_t CodePointOfAnsi(uint8_t byte) {
  if (byte >= 0x80 && byte <= 0x9F) return kCp1252High[byte - 0x80];
  return byte;
}

char AnsiOfCodePoint(char32_t cp) {
  if (cp < 0x80 || (cp >= 0xA0 && cp <= 0xFF)) return static_cast<char>(cp);
  for (int i = 0; i < 32; ++i) {
    if (kCp1252High[i] == cp) return static_cast<char>(0x80 + i);
  }
  return '?';
}

void AppendUtf8(char32_t cp, std::string* out) {
  if (cp < 0x80) {
    out->push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out->push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out->push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out->push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out->push_back(static_cast<char>(0xF0 | (cp >> 18)));
    out->push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

// Decodes one code point at text[*pos] and advances *pos; a malformed
// sequence (overlong, surrogate, beyond U+10FFFF, truncated) yields U+FFFD and
// advances by one byte.
char32_t DecodeUtf8(std::string_view text, size_t* pos) {
  const auto byte = [&](size_t i) { return static_cast<uint8_t>(text[i]); };
  const uint8_t lead = byte(*pos);
  if (lead < 0x80) {
    ++*pos;
    return lead;
  }
  int length;
  char32_t cp;
  char32_t minimum;
  if ((lead & 0xE0) == 0xC0) {
    length = 2, cp = lead & 0x1F, minimum = 0x80;
  } else if ((lead & 0xF0) == 0xE0) {
    length = 3, cp = lead & 0x0F, minimum = 0x800;
  } else if ((lead & 0xF8) == 0xF0) {
    length = 4, cp = lead & 0x07, minimum = 0x10000;
  } else {
    ++*pos;
    return kReplacement;
  }
  if (text.size() - *pos < static_cast<size_t>(length)) {
    ++*pos;
    return kReplacement;
  }
  for (int i = 1; i < length; ++i) {
    const uint8_t next = byte(*pos + i);
    if ((next & 0xC0) != 0x80) {
      ++*pos;
      return kReplacement;
    }
    cp = (cp << 6) | (next & 0x3F);
  }
  if (cp < minimum || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
    ++*pos;
    return kReplacement;
  }
  *pos += length;
  return cp;
}

}  // namespace

bool IsAscii(std::string_view text) {
  for (char c : text) {
    if (static_cast<uint8_t>(c) >= 0x80) return false;
  }
  return true;
}

std::string Utf8FromAnsi(std::string_view ansi) {
  std::string out;
  out.reserve(ansi.size());
  for (char c : ansi) AppendUtf8(CodePointOfAnsi(static_cast<uint8_t>(c)), &out);
  return out;
}

std::string AnsiFromUtf8(std::string_view utf8) {
  std::string out;
  out.reserve(utf8.size());
  for (size_t pos = 0; pos < utf8.size();) out.push_back(AnsiOfCodePoint(DecodeUtf8(utf8, &pos)));
  return out;
}

std::string ValidUtf8(std::string_view utf8) {
  std::string out;
  out.reserve(utf8.size());
  for (size_t pos = 0; pos < utf8.size();) AppendUtf8(DecodeUtf8(utf8, &pos), &out);
  return out;
}

std::string Utf8FromUtf16Le(const uint8_t* bytes, size_t units) {
  std::string out;
  out.reserve(units);
  const auto unit = [&](size_t i) {
    return static_cast<char16_t>(bytes[2 * i] | (bytes[2 * i + 1] << 8));
  };
  for (size_t i = 0; i < units; ++i) {
    const char16_t u = unit(i);
    if (u >= 0xD800 && u <= 0xDBFF && i + 1 < units) {
      const char16_t low = unit(i + 1);
      if (low >= 0xDC00 && low <= 0xDFFF) {
        AppendUtf8(0x10000 + ((static_cast<char32_t>(u) - 0xD800) << 10) + (low - 0xDC00), &out);
        ++i;
        continue;
      }
    }
    AppendUtf8((u >= 0xD800 && u <= 0xDFFF) ? kReplacement : u, &out);
  }
  return out;
}

size_t AppendUtf16LeFromUtf8(std::string_view utf8, std::string* out) {
  size_t units = 0;
  const auto put = [&](char32_t u) {
    out->push_back(static_cast<char>(u & 0xFF));
    out->push_back(static_cast<char>(u >> 8));
    ++units;
  };
  for (size_t pos = 0; pos < utf8.size();) {
    const char32_t cp = DecodeUtf8(utf8, &pos);
    if (cp >= 0x10000) {
      put(0xD800 + ((cp - 0x10000) >> 10));
      put(0xDC00 + ((cp - 0x10000) & 0x3FF));
    } else {
      put(cp);
    }
  }
  return units;
}

size_t Utf16Length(std::string_view utf8) {
  size_t units = 0;
  for (size_t pos = 0; pos < utf8.size();) units += DecodeUtf8(utf8, &pos) >= 0x10000 ? 2 : 1;
  return units;
}

}  // namespace tallyvox::mw
