#include "exporter/probe_target.h"

#include <cctype>

namespace tallyvox::exporter {
namespace {

constexpr size_t kMaxTarget = 255;

bool HostChar(char c) {
  return std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '.' || c == '-' || c == '_';
}

bool Ipv6Char(char c) {
  return std::isxdigit(static_cast<unsigned char>(c)) != 0 || c == ':' || c == '.';
}

// "1".."65535" without sign, blank or leading zeros beyond the number's own.
bool ParsePort(std::string_view text, int* port) {
  if (text.empty() || text.size() > 5) return false;
  int value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + (c - '0');
  }
  if (value < 1 || value > 65535) return false;
  *port = value;
  return true;
}

}  // namespace

std::string ParseProbeTarget(std::string_view text, int default_port, ProbeTarget* out) {
  if (text.empty()) return "the target is empty: give target=HOST or target=HOST:PORT";
  if (text.size() > kMaxTarget) return "the target is longer than 255 bytes";
  if (text.find("://") != std::string_view::npos) {
    return "the target is HOST or HOST:PORT, not a URL";
  }
  std::string_view host;
  std::string_view rest;
  if (text.front() == '[') {
    const size_t close = text.find(']');
    if (close == std::string_view::npos) return "the target's [ is not closed";
    host = text.substr(1, close - 1);
    if (host.empty()) return "the target has no host";
    for (char c : host) {
      if (!Ipv6Char(c)) return "the target's IPv6 address holds a character it cannot have";
    }
    rest = text.substr(close + 1);
    if (!rest.empty() && rest.front() != ':') return "the target has text after its ]";
  } else {
    const size_t colon = text.find(':');
    host = text.substr(0, colon);
    rest = colon == std::string_view::npos ? std::string_view() : text.substr(colon);
    if (host.empty()) return "the target has no host";
    for (char c : host) {
      if (!HostChar(c)) {
        return "the target's host may hold only letters, digits, \".\", \"-\" and \"_\" (an IPv6 "
               "address goes in brackets)";
      }
    }
  }
  int port = default_port;
  if (!rest.empty() && !ParsePort(rest.substr(1), &port)) {
    return "the target's port must be a number from 1 to 65535";
  }
  out->host = std::string(host);
  out->port = port;
  return "";
}

}  // namespace tallyvox::exporter
