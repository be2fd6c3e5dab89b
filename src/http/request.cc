#include "http/request.h"

namespace tallyvox::http {
namespace {

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

const std::string* Request::FindHeader(std::string_view lower_name) const {
  for (const Header& h : headers) {
    if (h.name == lower_name) return &h.value;
  }
  return nullptr;
}

const std::string* Request::FindParam(std::string_view name) const {
  for (const auto& [n, v] : params) {
    if (n == name) return &v;
  }
  return nullptr;
}

bool PercentDecode(std::string_view text, bool plus_is_space, std::string* out) {
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '%') {
      if (text.size() - i < 3) return false;
      const int hi = HexValue(text[i + 1]);
      const int lo = HexValue(text[i + 2]);
      if (hi < 0 || lo < 0) return false;
      out->push_back(static_cast<char>(hi * 16 + lo));
      i += 2;
    } else if (c == '+' && plus_is_space) {
      out->push_back(' ');
    } else {
      out->push_back(c);
    }
  }
  return true;
}

bool ParseQuery(std::string_view query, std::vector<std::pair<std::string, std::string>>* out) {
  while (!query.empty()) {
    const size_t amp = query.find('&');
    const std::string_view piece = query.substr(0, amp);
    query = amp == std::string_view::npos ? std::string_view() : query.substr(amp + 1);
    if (piece.empty()) continue;
    const size_t eq = piece.find('=');
    std::string name;
    std::string value;
    if (!PercentDecode(piece.substr(0, eq), true, &name)) return false;
    if (eq != std::string_view::npos && !PercentDecode(piece.substr(eq + 1), true, &value)) {
      return false;
    }
    out->emplace_back(std::move(name), std::move(value));
  }
  return true;
}

}  // namespace tallyvox::http
