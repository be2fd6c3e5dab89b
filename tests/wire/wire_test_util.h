// Small helpers for the wire tests: byte builders and hex dumps.
#ifndef TALLYVOX_TESTS_WIRE_WIRE_TEST_UTIL_H_
#define TALLYVOX_TESTS_WIRE_WIRE_TEST_UTIL_H_

#include <cstdint>
#include <cstdio>
#include <initializer_list>
#include <string>
#include <string_view>

#include "middleware/wire/memory_stream.h"
#include "middleware/wire/request_stream.h"
#include "middleware/wire/response_stream.h"
#include "middleware/wire/transport_stream.h"

namespace tallyvox::mw::wiretest {

// Byte string from a list of byte values.
inline std::string B(std::initializer_list<int> bytes) {
  std::string out;
  for (int b : bytes) out.push_back(static_cast<char>(b));
  return out;
}

// Little-endian int32.
inline std::string I32(int32_t v) {
  const auto u = static_cast<uint32_t>(v);
  return B({static_cast<int>(u & 0xFF), static_cast<int>((u >> 8) & 0xFF),
            static_cast<int>((u >> 16) & 0xFF), static_cast<int>(u >> 24)});
}

// A length-prefixed string as the formatter writes it.
inline std::string S(std::string_view text) {
  return I32(static_cast<int32_t>(text.size())) + std::string(text);
}

inline std::string Hex(std::string_view bytes) {
  std::string out;
  char buf[4];
  for (unsigned char c : bytes) {
    std::snprintf(buf, sizeof(buf), "%02X ", c);
    out += buf;
  }
  return out;
}

// The transport stream's encoded bytes after EnsureStreamState(8).
inline std::string Encode(TMwCustomTransportStream& stream) {
  stream.ResetStreamState();
  stream.EnsureStreamState(8);
  return stream.Buffer().ToString();
}

// The probe request: EXECUTE on MW_QUERY/MW_1.0 with the three statement
// arguments, DATA "COMMON", empty client strings.
inline TMwRequestStreamPtr MakeProbeRequest(int32_t request_id = 0) {
  TMwRequestStreamPtr req = MakeRequestStream();
  req->SetServiceName("MW_QUERY");
  req->SetServiceVersion("MW_1.0");
  req->SetFunction("EXECUTE");
  req->SetStateID(-1);
  req->SetData(Variant::String("COMMON"));
  req->SetRequestID(request_id);
  req->Args() = {Variant("select * from ufile7"), Variant("*"), Variant("*")};
  req->SetMessageCount(1);
  return req;
}

// A successful EXECUTE response: RESULT [1, [null], 0].
inline TMwResponseStreamPtr MakeProbeResponse(int32_t request_id = 0) {
  TMwResponseStreamPtr res = MakeResponseStream();
  res->SetOK("");
  res->SetStateID(-1);
  res->SetData(Variant::String("COMMON"));
  res->SetRequestID(request_id);
  res->SetResult(Variant::Array(
      varVariant, 0, {Variant(1), Variant::Array(varVariant, 0, {Variant::Null()}), Variant(0)}));
  res->SetMessageCount(1);
  return res;
}

}  // namespace tallyvox::mw::wiretest

#endif  // TALLYVOX_TESTS_WIRE_WIRE_TEST_UTIL_H_
