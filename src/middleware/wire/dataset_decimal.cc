#include "middleware/wire/dataset_decimal.h"

#include <charconv>
#include <cmath>
#include <cstdlib>

#include "middleware/wire/dataset_errors.h"

namespace tallyvox::mw {
namespace {

constexpr int kMaxDigits = 64;
constexpr int kMaxPlaces = 63;

size_t PlacesOf(std::string_view fixed) {
  const size_t dot = fixed.find('.');
  return dot == std::string_view::npos ? 0 : fixed.size() - dot - 1;
}

}  // namespace

std::string DecimalRecordFromDouble(double value) {
  if (!std::isfinite(value)) throw EReadError(kInvalidPropertyValue);
  char buffer[512];
  auto result = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed);
  std::string fixed(buffer, result.ptr);
  if (PlacesOf(fixed) > kMaxPlaces) {
    result =
        std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed, kMaxPlaces);
    fixed.assign(buffer, result.ptr);
    while (fixed.back() == '0') fixed.pop_back();
    if (fixed.back() == '.') fixed.pop_back();
  }
  std::string_view text = fixed;
  const bool negative = !text.empty() && text[0] == '-';
  if (negative) text.remove_prefix(1);
  const size_t dot = text.find('.');
  std::string_view whole = text.substr(0, dot);
  const std::string_view fraction =
      dot == std::string_view::npos ? std::string_view() : text.substr(dot + 1);
  while (!whole.empty() && whole[0] == '0') whole.remove_prefix(1);
  std::string digits(whole);
  digits.append(fraction);
  if (digits.empty()) digits.push_back('0');
  if (digits.size() > static_cast<size_t>(kMaxDigits)) throw EReadError(kInvalidPropertyValue);

  std::string record(kDecimalRecordSize, '\0');
  record[0] = static_cast<char>(digits.size());
  const bool zero = digits.find_first_not_of('0') == std::string::npos;
  record[1] = static_cast<char>(((negative && !zero) ? 0x80 : 0) | fraction.size());
  for (size_t i = 0; i < digits.size(); ++i) {
    const int digit = digits[i] - '0';
    record[2 + i / 2] = static_cast<char>(record[2 + i / 2] | (i % 2 == 0 ? digit << 4 : digit));
  }
  return record;
}

double DoubleFromDecimalRecord(std::string_view record) {
  if (record.size() != kDecimalRecordSize) throw EMemTableError("Malformed decimal record");
  const int precision = static_cast<uint8_t>(record[0]);
  const int places = static_cast<uint8_t>(record[1]) & 0x3F;
  if (precision > kMaxDigits || places > precision)
    throw EMemTableError("Malformed decimal record");
  std::string text = (static_cast<uint8_t>(record[1]) & 0x80) ? "-" : "";
  for (int i = 0; i < precision; ++i) {
    if (i == precision - places) text.push_back('.');
    const uint8_t byte = static_cast<uint8_t>(record[2 + i / 2]);
    const int digit = i % 2 == 0 ? byte >> 4 : byte & 0x0F;
    if (digit > 9) throw EMemTableError("Malformed decimal record");
    text.push_back(static_cast<char>('0' + digit));
  }
  if (precision == 0 || text == "-") return 0.0;
  return std::strtod(text.c_str(), nullptr);
}

}  // namespace tallyvox::mw
