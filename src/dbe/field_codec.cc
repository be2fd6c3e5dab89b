#include "dbe/field_codec.h"

#include <algorithm>
#include <cstring>

#include "dbe/last_error.h"

namespace tallyvox::dbe {
namespace {

bool IsNumberText(std::string_view s) {
  bool digit = false;
  for (size_t i = 0; i < s.size(); ++i) {
    char c = s[i];
    if (c >= '0' && c <= '9') {
      digit = true;
    } else if (!((c == '-' || c == '+') && i == 0) && c != '.') {
      return false;
    }
  }
  return digit;
}

}  // namespace

uint16_t EngineType(const DbfField& f) {
  switch (f.type) {
    case 'C':
      return kDbeTypeString;
    case 'N':
    case 'F':
      return kDbeTypeNumeric;
    case 'L':
      return kDbeTypeLogical;
    case 'D':
      return kDbeTypeDate;
    case 'I':
      return kDbeTypeInteger;
    case 'B':
      return f.length == 8 ? kDbeTypeDouble : kDbeTypeBinary;
    case 'O':
      return kDbeTypeDouble;
    case 'T':
    case '@':
      return kDbeTypeTimestamp;
    case 'Y':
      return kDbeTypeCurrency;
    case 'M':
      return kDbeTypeMemo;
    case 'G':
    case 'P':
      return kDbeTypeImage;
    case 'V':
      return kDbeTypeVarChar;
    case '+':
      return kDbeTypeAutoInc;
    default:
      return kDbeTypeRaw;
  }
}

DbeResult PutFieldText(const std::string& path, const DbfField& f, std::string_view text,
                       uint8_t* dest) {
  while (!text.empty() && text.front() == ' ') text.remove_prefix(1);
  while (!text.empty() && text.back() == ' ') text.remove_suffix(1);
  auto bad = [&]() {
    return Fail(kDbeErrFieldValue, "The value '" + std::string(text.substr(0, 64)) +
                                       "' does not suit field " + f.name + ": " + path);
  };
  switch (f.type) {
    case 'N':
    case 'F':
      if (!text.empty() && !IsNumberText(text)) return bad();
      if (text.size() > f.length) return bad();
      std::memset(dest, ' ', f.length);
      std::memcpy(dest + f.length - text.size(), text.data(), text.size());
      return kDbeSuccess;
    case 'L':
      if (text.size() > 1 || (text.size() == 1 && !std::strchr("TtFfYyNn?", text[0]))) {
        return bad();
      }
      dest[0] = text.empty() ? ' ' : static_cast<uint8_t>(text[0]);
      return kDbeSuccess;
    case 'D':
      if (!text.empty() && (text.size() != 8 || !std::all_of(text.begin(), text.end(), [](char c) {
                              return c >= '0' && c <= '9';
                            }))) {
        return bad();
      }
      std::memset(dest, ' ', f.length);
      std::memcpy(dest, text.data(), text.size());
      return kDbeSuccess;
    default:
      return Fail(kDbeErrFieldValue, "Field " + f.name + " takes raw bytes, not text: " + path);
  }
}

bool ValidDateFormat(const char* format) {
  if (format == nullptr) return false;
  const std::string s(format);
  if (s.empty() || s.size() > 64) return false;
  int day = 0, month = 0, year = 0;
  for (size_t i = 0; i < s.size();) {
    const char c = s[i];
    if (std::strchr("dMyc", c) == nullptr) {
      if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c < ' ') return false;
      ++i;
      continue;
    }
    size_t j = i;
    while (j < s.size() && std::strchr("dMyc", s[j]) != nullptr) ++j;
    const std::string token = s.substr(i, j - i);
    if (token == "d" || token == "dd") {
      ++day;
    } else if (token == "M" || token == "MM") {
      ++month;
    } else if (token == "yy" || token == "yyyy" || token == "ccyy") {
      ++year;
    } else {
      return false;
    }
    i = j;
  }
  return day == 1 && month == 1 && year == 1;
}

}  // namespace tallyvox::dbe
