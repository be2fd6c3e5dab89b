// An HTTP/1.1 response as a handler makes it, and its bytes on the wire.
// Every response the server writes closes the connection (one request per
// connection): its head always carries Content-Length and
// "Connection: close".
#ifndef TALLYVOX_HTTP_RESPONSE_H_
#define TALLYVOX_HTTP_RESPONSE_H_

#include <ctime>
#include <string>
#include <string_view>
#include <vector>

#include "http/request.h"

namespace tallyvox::http {

struct Response {
  int status = 200;
  std::string content_type = "text/plain; charset=utf-8";
  // Further headers ("Allow", ...). REQUIRES: names are tokens and values
  // hold no CR, LF or NUL (the server answers 500 otherwise).
  std::vector<Header> headers;
  std::string body;
};

// "OK", "Not Found", ...; "Unknown" for a status this server never sends.
std::string_view ReasonPhrase(int status);

// A short plain-text answer for `status`: its reason phrase as the body.
Response StatusResponse(int status);

// "Sun, 06 Nov 1994 08:49:37 GMT" for `t` (the Date header's form).
std::string HttpDate(std::time_t t);

// The status line and the headers of `response`, up to and including the
// empty line: Date (at `now`), Content-Type, Content-Length of the body,
// Connection: close, then response.headers. The body follows the head
// unless the request was HEAD. Raises std::invalid_argument when a header
// would break the head (a CR, LF or NUL in it, a name that is no token).
std::string SerializeHead(const Response& response, std::time_t now);

}  // namespace tallyvox::http

#endif  // TALLYVOX_HTTP_RESPONSE_H_
