#include "http/response.h"

#include <cstdio>
#include <cstring>
#include <stdexcept>

namespace tallyvox::http {
namespace {

bool SafeName(std::string_view name) {
  if (name.empty()) return false;
  for (const char c : name) {
    const bool alnum = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
    if (!alnum && (c == 0 || std::strchr("!#$%&'*+-.^_`|~", c) == nullptr)) return false;
  }
  return true;
}

bool SafeValue(std::string_view value) {
  return value.find_first_of(std::string_view("\r\n\0", 3)) == std::string_view::npos;
}

}  // namespace

std::string_view ReasonPhrase(int status) {
  switch (status) {
    case 200:
      return "OK";
    case 204:
      return "No Content";
    case 400:
      return "Bad Request";
    case 401:
      return "Unauthorized";
    case 403:
      return "Forbidden";
    case 404:
      return "Not Found";
    case 405:
      return "Method Not Allowed";
    case 408:
      return "Request Timeout";
    case 413:
      return "Payload Too Large";
    case 414:
      return "URI Too Long";
    case 429:
      return "Too Many Requests";
    case 431:
      return "Request Header Fields Too Large";
    case 500:
      return "Internal Server Error";
    case 501:
      return "Not Implemented";
    case 503:
      return "Service Unavailable";
    case 505:
      return "HTTP Version Not Supported";
    default:
      return "Unknown";
  }
}

Response StatusResponse(int status) {
  Response r;
  r.status = status;
  r.body = std::string(ReasonPhrase(status)) + "\n";
  return r;
}

std::string HttpDate(std::time_t t) {
  static constexpr const char* kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
  static constexpr const char* kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                            "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  std::tm tm{};
  gmtime_r(&t, &tm);
  char buf[40];
  std::snprintf(buf, sizeof buf, "%s, %02d %s %04d %02d:%02d:%02d GMT", kDays[tm.tm_wday % 7],
                tm.tm_mday, kMonths[tm.tm_mon % 12], tm.tm_year + 1900, tm.tm_hour, tm.tm_min,
                tm.tm_sec);
  return buf;
}

std::string SerializeHead(const Response& response, std::time_t now) {
  if (!SafeValue(response.content_type)) throw std::invalid_argument("bad Content-Type");
  std::string head = "HTTP/1.1 " + std::to_string(response.status) + " ";
  head += ReasonPhrase(response.status);
  head += "\r\nDate: " + HttpDate(now);
  if (!response.content_type.empty()) head += "\r\nContent-Type: " + response.content_type;
  head += "\r\nContent-Length: " + std::to_string(response.body.size());
  head += "\r\nConnection: close";
  for (const Header& h : response.headers) {
    if (!SafeName(h.name) || !SafeValue(h.value)) {
      throw std::invalid_argument("bad response header " + h.name);
    }
    head += "\r\n" + h.name + ": " + h.value;
  }
  head += "\r\n\r\n";
  return head;
}

}  // namespace tallyvox::http
