// Arbitrary bytes as the Authorization header of a request to an endpoint
// with [web] users: the guard refuses it with a 401 and its challenge, or
// lets it pass only for the one right user and password.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "http/basic_auth.h"

namespace {

// "quell" : "pw" at bcrypt's lowest cost.
constexpr char kHash[] = "$2b$04$5kCMusRnoa/4u8kzmISQluZoIkpB2xtqmsAHtZZHNO.vgFsZS4vvS";

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static tallyvox::http::BasicAuth auth({{"quell", kHash}});
  tallyvox::http::Request request;
  request.method = "GET";
  request.path = "/";
  request.headers.push_back(
      {"authorization", std::string(reinterpret_cast<const char*>(data), size)});
  const auto refused = auth.Check(request);
  if (refused.has_value()) {
    if (refused->status != 401 || refused->headers.size() != 1) std::abort();
  }
  return 0;
}
