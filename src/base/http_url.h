// An http:// URL as a setting gives it ("http://127.0.0.1:9093",
// "http://am.example.net/prefix"): host (a name, an IPv4 address, or an IPv6
// address in brackets), port (80 by default, 1..65535), and a path prefix
// without a trailing "/". No user information, query or fragment; https is
// refused (alerts go over plain http to a local or trusted network).
#ifndef TALLYVOX_BASE_HTTP_URL_H_
#define TALLYVOX_BASE_HTTP_URL_H_

#include <string>
#include <string_view>

namespace tallyvox {

struct HttpUrl {
  std::string host;  // an IPv6 address without its brackets
  int port = 80;
  std::string path;  // "" or "/prefix" (no trailing "/")
};

// Reads `text` into *out. Returns what is wrong with it, empty when it is
// a URL as above.
std::string ParseHttpUrl(std::string_view text, HttpUrl* out);

}  // namespace tallyvox

#endif  // TALLYVOX_BASE_HTTP_URL_H_
