// An HTTP/1.1 request as the server hands it to a handler, and the
// percent-decoding of its target.
//
// Invariant (for a request the reader completed): `method` is a token,
// `path` starts with "/" and holds no control byte, `headers` are the
// header lines in the order sent with lower-case names and values trimmed
// of surrounding blanks, `body` is at most the reader's body cap.
#ifndef TALLYVOX_HTTP_REQUEST_H_
#define TALLYVOX_HTTP_REQUEST_H_

#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace tallyvox::http {

struct Header {
  std::string name;  // lower case in a request ("content-length")
  std::string value;
};

struct Request {
  std::string method;  // as sent; methods are case-sensitive ("GET")
  std::string target;  // the request target as sent ("/probe?target=a%20b")
  std::string path;    // the target's path, percent-decoded ("/probe")
  std::string query;   // what follows the first "?", as sent ("target=a%20b")
  // The query's name=value pairs, percent-decoded, "+" read as a space, in
  // the order sent; a pair without "=" has an empty value.
  std::vector<std::pair<std::string, std::string>> params;
  int minor_version = 1;  // HTTP/1.0 or HTTP/1.1
  std::vector<Header> headers;
  // The Host header (or the authority of an absolute target); empty for an
  // HTTP/1.0 request without one.
  std::string host;
  std::string body;

  // The value of the first header named `lower_name`, or nullptr.
  const std::string* FindHeader(std::string_view lower_name) const;
  // The value of the first query parameter named `name`, or nullptr.
  const std::string* FindParam(std::string_view name) const;
};

// Appends `text` with its %XX escapes decoded (and "+" as a space when
// `plus_is_space`) to *out. False, *out then unspecified, when a "%" is not
// followed by two hexadecimal digits.
bool PercentDecode(std::string_view text, bool plus_is_space, std::string* out);

// Splits a query ("a=1&b=x%20y&c") into decoded pairs appended to *out;
// empty pieces ("a=1&&b=2") are skipped. False on a bad escape.
bool ParseQuery(std::string_view query, std::vector<std::pair<std::string, std::string>>* out);

}  // namespace tallyvox::http

#endif  // TALLYVOX_HTTP_REQUEST_H_
