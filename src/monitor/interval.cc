#include "monitor/interval.h"

#include "base/text.h"

namespace tallyvox::monitor {

std::optional<int32_t> ParseInteger(const std::string& text) {
  size_t i = 0;
  while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  const bool hex = i < text.size() && text[i] == '$';
  if (hex) ++i;
  if (i == text.size()) return std::nullopt;
  uint64_t value = 0;
  for (; i < text.size(); ++i) {
    const char c = text[i];
    int digit;
    if (c >= '0' && c <= '9') {
      digit = c - '0';
    } else if (hex && c >= 'a' && c <= 'f') {
      digit = c - 'a' + 10;
    } else if (hex && c >= 'A' && c <= 'F') {
      digit = c - 'A' + 10;
    } else {
      return std::nullopt;
    }
    value = value * (hex ? 16 : 10) + static_cast<uint64_t>(digit);
    if (value > (hex ? 0xFFFFFFFFull : 0x80000000ull)) return std::nullopt;
  }
  if (hex) {
    const int32_t pattern = static_cast<int32_t>(static_cast<uint32_t>(value));
    return negative ? static_cast<int32_t>(0u - static_cast<uint32_t>(pattern)) : pattern;
  }
  if (!negative && value > 0x7FFFFFFFull) return std::nullopt;
  return negative ? static_cast<int32_t>(-static_cast<int64_t>(value))
                  : static_cast<int32_t>(value);
}

int32_t ParseInterval(const std::string& text) {
  const std::optional<int32_t> value = ParseInteger(text);
  if (!value || *value < 0) {
    throw EConvertError("'" + EscapeControls(text) + "' is not a valid integer value");
  }
  return *value;
}

}  // namespace tallyvox::monitor
