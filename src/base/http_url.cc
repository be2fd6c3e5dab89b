#include "base/http_url.h"

#include <cctype>

namespace tallyvox {
namespace {

bool HostChar(char c) {
  return std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '.' || c == '-' || c == '_';
}

bool PathChar(char c) {
  return std::isalnum(static_cast<unsigned char>(c)) != 0 ||
         std::string_view("/-._~%!$&'()*+,;=:@").find(c) != std::string_view::npos;
}

}  // namespace

std::string ParseHttpUrl(std::string_view text, HttpUrl* out) {
  constexpr std::string_view kScheme = "http://";
  if (text.substr(0, 8) == "https://") return "https is not supported: give an http:// URL";
  if (text.substr(0, kScheme.size()) != kScheme) return "not an http:// URL";
  std::string_view rest = text.substr(kScheme.size());
  const size_t slash = rest.find('/');
  std::string_view authority = rest.substr(0, slash);
  std::string_view path = slash == std::string_view::npos ? "" : rest.substr(slash);
  HttpUrl url;
  std::string_view port;
  if (!authority.empty() && authority.front() == '[') {
    const size_t close = authority.find(']');
    if (close == std::string_view::npos || close == 1) return "a bad IPv6 address";
    for (char c : authority.substr(1, close - 1)) {
      if (std::isxdigit(static_cast<unsigned char>(c)) == 0 && c != ':' && c != '.') {
        return "a bad IPv6 address";
      }
    }
    url.host = std::string(authority.substr(1, close - 1));
    authority.remove_prefix(close + 1);
    if (!authority.empty() && authority.front() != ':') return "text after the IPv6 address";
    port = authority.empty() ? "" : authority.substr(1);
    if (authority == ":") return "an empty port";
  } else {
    const size_t colon = authority.find(':');
    url.host = std::string(authority.substr(0, colon));
    if (colon != std::string_view::npos) {
      port = authority.substr(colon + 1);
      if (port.empty()) return "an empty port";
    }
    for (char c : url.host) {
      if (!HostChar(c)) return "the host may hold only letters, digits, \".\", \"-\" and \"_\"";
    }
  }
  if (url.host.empty()) return "no host";
  if (!port.empty()) {
    if (port.size() > 5) return "the port must be from 1 to 65535";
    int value = 0;
    for (char c : port) {
      if (c < '0' || c > '9') return "the port must be from 1 to 65535";
      value = value * 10 + (c - '0');
    }
    if (value < 1 || value > 65535) return "the port must be from 1 to 65535";
    url.port = value;
  }
  for (char c : path) {
    if (c == '?' || c == '#') return "a query or fragment (give the base URL only)";
    if (!PathChar(c)) return "the path holds a character a URL cannot have";
  }
  while (!path.empty() && path.back() == '/') path.remove_suffix(1);
  url.path = std::string(path);
  *out = url;
  return "";
}

}  // namespace tallyvox
