#include "audit/field_format.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace tallyvox::audit {

namespace {

constexpr int kMaxDoubleDigits = 17;

std::string Printf(const char* format, int digits, double value) {
  char buf[640];  // callers keep integer digits and decimals each below 256
  int n = std::snprintf(buf, sizeof buf, format, digits, value);
  if (n < 0) return std::string();
  return std::string(buf, std::min<size_t>(static_cast<size_t>(n), sizeof buf - 1));
}

}  // namespace

bool FormatNumericField(double value, uint32_t length, uint16_t decimals, std::string* text) {
  if (!std::isfinite(value) || length == 0 || length > 255 || decimals >= length) return false;
  const int precision = static_cast<int>(length) - (decimals > 0 ? 1 : 0);
  const int digits = std::min(precision, kMaxDoubleDigits);
  // Rounded to `digits` significant digits: d.ddde+XX.
  const std::string sci = Printf("%.*e", digits - 1, value);
  const size_t e = sci.find('e');
  if (e == std::string::npos) return false;
  const int exponent = std::atoi(sci.c_str() + e + 1);
  if (value != 0 && exponent + 1 > precision) return false;  // would need exponent notation
  const int frac = digits - 1 - exponent;  // decimals the significant digits reach
  std::string s;
  if (frac >= decimals) {
    s = Printf("%.*f", decimals, value);
  } else if (frac >= 0) {
    s = Printf("%.*f", frac, value);
    if (frac == 0) s += '.';
    s.append(decimals - frac, '0');
  } else {
    // More integer digits than a double holds: the significant digits, then zeros.
    for (size_t i = 0; i < e; ++i) {
      if (sci[i] != '.') s += sci[i];
    }
    s.append(static_cast<size_t>(-frac), '0');
    if (decimals > 0) s += '.' + std::string(decimals, '0');
  }
  if (!s.empty() && s[0] == '-' && s.find_first_of("123456789") == std::string::npos) {
    s.erase(0, 1);  // -0.00 is 0.00
  }
  if (s.size() > length || s.find_first_of("eE") != std::string::npos) return false;
  *text = std::string(length - s.size(), ' ') + s;
  return true;
}

std::string FloatToText(double value) {
  char buf[64];
  auto res = std::to_chars(buf, buf + sizeof buf, value);
  return std::string(buf, res.ptr);
}

bool ParseFloatText(const std::string& text, double* value) {
  size_t a = 0, b = text.size();
  while (a < b && text[a] == ' ') ++a;
  while (b > a && text[b - 1] == ' ') --b;
  if (a == b || b - a > 350) return false;
  const std::string s = text.substr(a, b - a);
  if (s.find_first_not_of("0123456789+-.eE") != std::string::npos) return false;
  errno = 0;
  char* end = nullptr;
  const double v = std::strtod(s.c_str(), &end);
  if (end != s.c_str() + s.size() || errno == ERANGE || !std::isfinite(v)) return false;
  *value = v;
  return true;
}

void DoubleToBytes(double value, uint8_t out[8]) {
  uint64_t bits;
  std::memcpy(&bits, &value, sizeof bits);
  for (int i = 0; i < 8; ++i) out[i] = static_cast<uint8_t>(bits >> (8 * i));
}

double DoubleFromBytes(const uint8_t in[8]) {
  uint64_t bits = 0;
  for (int i = 0; i < 8; ++i) bits |= static_cast<uint64_t>(in[i]) << (8 * i);
  double value;
  std::memcpy(&value, &bits, sizeof value);
  return value;
}

}  // namespace tallyvox::audit
