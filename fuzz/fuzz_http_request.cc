// Arbitrary bytes read as an HTTP request by RequestReader: fed whole, a
// byte at a time and in pieces of a size the first byte picks, with the
// server's limits and with tiny ones. Every way of feeding must end the
// same (complete with the same request, or refused with the same status),
// a refusal must carry one of the reader's statuses, a complete request
// must keep the invariants of http/request.h, and what the reader holds
// must stay within its bound at every step.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <tuple>

#include "http/request_reader.h"

namespace {

using tallyvox::http::Request;
using tallyvox::http::RequestLimits;
using tallyvox::http::RequestReader;

void Check(bool ok) {
  if (!ok) std::abort();
}

struct Outcome {
  RequestReader::State state = RequestReader::State::kReading;
  int status = 0;
  Request request;
};

bool Same(const Outcome& a, const Outcome& b) {
  const auto key = [](const Outcome& o) {
    const Request& r = o.request;
    return std::tie(o.state, o.status, r.method, r.target, r.path, r.query, r.minor_version, r.host,
                    r.body);
  };
  if (key(a) != key(b)) return false;
  if (a.state != RequestReader::State::kComplete) return true;
  if (a.request.params != b.request.params) return false;
  if (a.request.headers.size() != b.request.headers.size()) return false;
  for (size_t i = 0; i < a.request.headers.size(); ++i) {
    if (a.request.headers[i].name != b.request.headers[i].name ||
        a.request.headers[i].value != b.request.headers[i].value) {
      return false;
    }
  }
  return true;
}

Outcome Read(const RequestLimits& limits, std::string_view bytes, size_t piece) {
  RequestReader reader(limits);
  const size_t bound = 16 * limits.max_head + 2 * limits.max_body + 8192;
  while (!bytes.empty() && reader.state() == RequestReader::State::kReading) {
    const size_t n = piece == 0 ? bytes.size() : std::min(piece, bytes.size());
    reader.Feed(bytes.substr(0, n));
    bytes.remove_prefix(n);
    Check(reader.HeldBytes() <= bound);
  }
  Outcome o;
  o.state = reader.state();
  if (o.state == RequestReader::State::kRefused) {
    o.status = reader.refusal_status();
    Check(o.status == 400 || o.status == 413 || o.status == 431 || o.status == 501 ||
          o.status == 505);
    Check(!reader.refusal_reason().empty());
  } else if (o.state == RequestReader::State::kComplete) {
    o.request = reader.TakeRequest();
    const Request& r = o.request;
    Check(!r.method.empty() && !r.path.empty() && r.path[0] == '/');
    Check(r.body.size() <= limits.max_body);
    Check(r.headers.size() <= limits.max_headers && r.params.size() <= limits.max_params);
    Check(r.minor_version >= 0 && r.minor_version <= 9);
    for (const auto& h : r.headers) {
      Check(!h.name.empty() && h.name.find_first_of("ABCDEFGHIJKLMNOPQRSTUVWXYZ") == h.name.npos);
    }
  }
  return o;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const size_t piece = 2 + data[0] % 61;
  const std::string_view bytes(reinterpret_cast<const char*>(data) + 1, size - 1);
  const RequestLimits tiny{64, 8, 4, 3};
  for (const RequestLimits& limits : {RequestLimits{}, tiny}) {
    const Outcome whole = Read(limits, bytes, 0);
    Check(Same(whole, Read(limits, bytes, 1)));
    Check(Same(whole, Read(limits, bytes, piece)));
  }
  return 0;
}
