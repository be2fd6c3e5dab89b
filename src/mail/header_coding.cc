#include "mail/header_coding.h"

#include <iconv.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <initializer_list>

#include "mail/mail_exceptions.h"

namespace tallyvox::mail {
namespace {

std::string LowerAscii(std::string text) {
  for (char& c : text) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return text;
}

const char* FirstSetEnv(std::initializer_list<const char*> names) {
  for (const char* name : names) {
    const char* value = std::getenv(name);
    if (value != nullptr && value[0] != '\0') return value;
  }
  return nullptr;
}

// "ll_TT.codeset@modifier" -> its parts (each may be empty).
struct LocaleParts {
  std::string language, territory, codeset;
};

LocaleParts SplitLocaleName(const std::string& name) {
  LocaleParts parts;
  const std::size_t at = name.find('@');
  const std::string base = name.substr(0, at);
  const std::size_t dot = base.find('.');
  if (dot != std::string::npos) parts.codeset = base.substr(dot + 1);
  const std::string lang_terr = base.substr(0, dot);
  const std::size_t underscore = lang_terr.find('_');
  parts.language = LowerAscii(lang_terr.substr(0, underscore));
  if (underscore != std::string::npos)
    parts.territory = LowerAscii(lang_terr.substr(underscore + 1));
  return parts;
}

bool IsWhitespace(unsigned char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

bool NeedsEncoding(unsigned char c, const std::string& specials) {
  return c < 32 || c >= 127 || specials.find(static_cast<char>(c)) != std::string::npos;
}

bool WordNeedsEncoding(const std::string& word, const std::string& specials) {
  for (unsigned char c : word) {
    if (NeedsEncoding(c, specials)) return true;
  }
  return false;
}

constexpr char kHexDigits[] = "0123456789ABCDEF";
constexpr char kBase64Alphabet[] =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

std::string QPiece(unsigned char c, const std::string& specials) {
  if (NeedsEncoding(c, specials) || c == '=' || c == '?' || c == '_') {
    return std::string{'=', kHexDigits[c >> 4], kHexDigits[c & 15]};
  }
  if (c == ' ') return "_";
  return std::string(1, static_cast<char>(c));
}

std::string Base64Group(const unsigned char* bytes, std::size_t count) {
  const unsigned value =
      (bytes[0] << 16) | (count > 1 ? bytes[1] << 8 : 0) | (count > 2 ? bytes[2] : 0);
  std::string out(4, '=');
  out[0] = kBase64Alphabet[(value >> 18) & 63];
  out[1] = kBase64Alphabet[(value >> 12) & 63];
  if (count > 1) out[2] = kBase64Alphabet[(value >> 6) & 63];
  if (count > 2) out[3] = kBase64Alphabet[value & 63];
  return out;
}

// One run of words as encoded words, folded so none exceeds kMaxEncodedWord.
std::string EncodeRun(const std::string& run, const std::string& specials,
                      const THeaderCoding& coding) {
  const std::string opening = "=?" + coding.charset + "?" + coding.letter + "?";
  std::string out;
  std::string word = opening;
  auto add_piece = [&](const std::string& piece) {
    if (word.size() > opening.size() && word.size() + piece.size() + 2 > kMaxEncodedWord) {
      out += word + "?=\r\n\t";
      word = opening;
    }
    word += piece;
  };
  const auto* bytes = reinterpret_cast<const unsigned char*>(run.data());
  if (coding.letter == 'B') {
    for (std::size_t i = 0; i < run.size(); i += 3) {
      add_piece(Base64Group(bytes + i, std::min<std::size_t>(3, run.size() - i)));
    }
  } else {
    for (std::size_t i = 0; i < run.size(); ++i) add_piece(QPiece(bytes[i], specials));
  }
  return out + word + "?=";
}

}  // namespace

std::string EncodeBase64(const std::string& bytes) {
  const auto* data = reinterpret_cast<const unsigned char*>(bytes.data());
  std::string out;
  out.reserve((bytes.size() + 2) / 3 * 4);
  for (std::size_t i = 0; i < bytes.size(); i += 3) {
    out += Base64Group(data + i, std::min<std::size_t>(3, bytes.size() - i));
  }
  return out;
}

const char* LocaleVariable() { return FirstSetEnv({"LC_ALL", "LC_CTYPE", "LANG"}); }

std::string LocaleTextCodeset() {
  const char* name = LocaleVariable();
  const std::string codeset = name == nullptr ? "" : SplitLocaleName(name).codeset;
  return codeset.empty() ? "CP932" : codeset;
}

std::string CharsetName(const std::string& codeset) {
  std::string key;
  for (char c : codeset) {
    const unsigned char u = static_cast<unsigned char>(c);
    if (std::isalnum(u)) key += static_cast<char>(std::tolower(u));
  }
  static constexpr struct {
    const char* key;
    const char* name;
  } kNames[] = {
      {"utf8", "UTF-8"},         {"eucjp", "EUC-JP"},   {"euckr", "EUC-KR"},
      {"euctw", "EUC-TW"},       {"gb2312", "GB2312"},  {"gbk", "GBK"},
      {"gb18030", "GB18030"},    {"big5", "Big5"},      {"big5hkscs", "Big5-HKSCS"},
      {"koi8r", "KOI8-R"},       {"koi8u", "KOI8-U"},   {"sjis", "Shift_JIS"},
      {"shiftjis", "Shift_JIS"}, {"tis620", "TIS-620"}, {"ascii", "US-ASCII"},
  };
  for (const auto& n : kNames) {
    if (key == n.key) return n.name;
  }
  if (key.rfind("iso8859", 0) == 0 && key.size() > 7) return "ISO-8859-" + key.substr(7);
  if (key.rfind("cp125", 0) == 0 && key.size() == 6) return "windows-" + key.substr(2);
  return codeset;
}

THeaderCoding HeaderCharsetForLocale(const std::string& locale_name) {
  const LocaleParts parts = SplitLocaleName(locale_name);
  THeaderCoding coding;
  coding.transfer = TTransfer::bit8;
  coding.letter = 'B';
  if (parts.language == "zh") {
    coding.charset = parts.territory == "cn" ? "GB2312" : "Big5";
  } else if (parts.language == "ja") {
    // The text is converted to ISO-2022-JP before it is encoded.
    coding.charset = "ISO-2022-JP";
    coding.transfer = TTransfer::iso2022jp;
    return coding;
  } else if (parts.language == "ko") {
    coding.charset = "EUC-KR";
  } else {
    coding.charset = "ISO-8859-1";
    coding.letter = 'Q';
  }
  // The words are labelled with the encoding the text is in: the locale's code set when
  // its name gives one, else the language's usual one above.
  if (!parts.codeset.empty()) coding.charset = CharsetName(parts.codeset);
  return coding;
}

THeaderCoding ChooseHeaderCharset() {
  const char* name = LocaleVariable();
  return HeaderCharsetForLocale(name == nullptr ? "" : name);
}

bool ConvertToIso2022Jp(const std::string& text, const std::string& from_codeset,
                        std::string* out) {
  iconv_t cd = iconv_open("ISO-2022-JP", from_codeset.c_str());
  if (cd == reinterpret_cast<iconv_t>(-1)) return false;
  std::string converted;
  std::string input = text;
  char* in_ptr = input.data();
  std::size_t in_left = input.size();
  char buffer[256];
  bool ok = true;
  // The final call with no input writes the shift back to ASCII.
  for (bool flushing = false;;) {
    char* out_ptr = buffer;
    std::size_t out_left = sizeof(buffer);
    const std::size_t result = flushing ? iconv(cd, nullptr, nullptr, &out_ptr, &out_left)
                                        : iconv(cd, &in_ptr, &in_left, &out_ptr, &out_left);
    converted.append(buffer, static_cast<std::size_t>(out_ptr - buffer));
    if (result == static_cast<std::size_t>(-1)) {
      if (errno == E2BIG) continue;
      ok = false;
      break;
    }
    if (flushing) break;
    flushing = true;
  }
  iconv_close(cd);
  if (ok) *out = std::move(converted);
  return ok;
}

std::string EncodeHeaderWords(const std::string& text, const std::string& specials,
                              const THeaderCoding& coding) {
  std::string source = text;
  if (coding.transfer == TTransfer::iso2022jp) {
    ConvertToIso2022Jp(text, LocaleTextCodeset(), &source);
  }
  if (coding.letter == '8') return source;
  const auto* bytes = reinterpret_cast<const unsigned char*>(source.data());
  const std::size_t n = source.size();
  // Reads the whitespace run and the word that start at *pos.
  auto next_token = [&](std::size_t* pos, std::string* space, std::string* word) {
    const std::size_t space_start = *pos;
    while (*pos < n && IsWhitespace(bytes[*pos])) ++*pos;
    const std::size_t word_start = *pos;
    while (*pos < n && !IsWhitespace(bytes[*pos])) ++*pos;
    *space = source.substr(space_start, word_start - space_start);
    *word = source.substr(word_start, *pos - word_start);
  };
  std::string out;
  std::size_t pos = 0;
  while (pos < n) {
    std::string space, word;
    next_token(&pos, &space, &word);
    out += space;
    if (word.empty() || !WordNeedsEncoding(word, specials)) {
      out += word;
      continue;
    }
    // An encoded run: this word and every following word that needs encoding,
    // with the whitespace between them.
    std::string run = word;
    while (pos < n) {
      std::size_t lookahead = pos;
      std::string next_space, next_word;
      next_token(&lookahead, &next_space, &next_word);
      if (next_word.empty() || !WordNeedsEncoding(next_word, specials)) break;
      run += next_space + next_word;
      pos = lookahead;
    }
    out += EncodeRun(run, specials, coding);
  }
  return out;
}

std::string FormatAddressForHeader(const TNetEMailAddressItem& item, const THeaderCoding& coding) {
  const std::string& name = item.Name();
  if (name.empty()) return item.Address();
  bool has_control_or_8bit = false;
  for (unsigned char c : name) has_control_or_8bit |= c < 32 || c >= 127;
  const std::string shown =
      has_control_or_8bit ? EncodeHeaderWords(name, kAddressSpecials, coding) : QuoteString(name);
  return shown + " <" + item.Address() + ">";
}

std::string FormatAddressListForHeader(const TNetEMailAddressList& list,
                                       const THeaderCoding& coding) {
  std::string joined;
  for (const TNetEMailAddressItem& item : list) {
    if (!joined.empty()) joined += ", ";
    joined += FormatAddressForHeader(item, coding);
  }
  return joined;
}

namespace {

// "Wed, 9 Dec 2026 07:05:03 -0500" from the parts of a local time and its offset from
// UTC in seconds.
std::string InternetDateText(int year, int month, int day, int weekday, int hour, int minute,
                             int second, long offset) {
  static constexpr const char* kWeekdays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
  static constexpr const char* kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                            "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  const long size = std::labs(offset);
  char text[96];
  std::snprintf(text, sizeof(text), "%s, %d %s %d %02d:%02d:%02d %c%02ld%02ld", kWeekdays[weekday],
                day, kMonths[month - 1], year, hour, minute, second, offset < 0 ? '-' : '+',
                size / 3600, size % 3600 / 60);
  return text;
}

}  // namespace

std::string FormatInternetDate(TDateTime local_time) {
  const DateTimeParts p = DecodeDateTime(local_time);
  // The C library's time-zone data gives the UTC offset of that local time.
  std::tm local;
  if (!LocalTmFromDateTime(local_time, &local)) throw ENetFailedToRetreiveTimeZoneInfo();
  // 1899-12-30, day 0 of TDateTime, was a Saturday.
  const long long day = static_cast<long long>(EncodeDate(p.year, p.month, p.day));
  const int weekday = static_cast<int>(((day % 7) + 7 + 6) % 7);
  return InternetDateText(p.year, p.month, p.day, weekday, p.hour, p.minute, p.second,
                          local.tm_gmtoff);
}

std::string FormatInternetDateAt(std::time_t instant) {
  std::tm local;
  if (localtime_r(&instant, &local) == nullptr) throw ENetFailedToRetreiveTimeZoneInfo();
  return InternetDateText(local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_wday,
                          local.tm_hour, local.tm_min, local.tm_sec, local.tm_gmtoff);
}

}  // namespace tallyvox::mail
