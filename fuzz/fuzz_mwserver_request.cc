// mwserver's request path fed arbitrary bytes: once as the body of a message
// behind a valid verified header (framing, decoding, dispatch, encoding of
// the answer), and once as raw connection input (the prefix parser). The
// answer must always be a response the client can decode up to its header.
#include <cstddef>
#include <cstdint>
#include <string>

#include "middleware/wire/framing.h"
#include "middleware/wire/response_stream.h"
#include "mwserver/lib/frame_reader.h"
#include "mwserver/lib/request_handler.h"

namespace {

using tallyvox::mwserver::Behaviour;
using tallyvox::mwserver::FrameReader;
using tallyvox::mwserver::Framing;
using tallyvox::mwserver::HandleRequest;

void CheckAnswer(const std::string& answer) {
  auto response = tallyvox::mw::MakeResponseStream();
  response->LoadFromBytes(answer);
  if (!response->EnsureUnstreamState(5)) __builtin_trap();
}

void Serve(const Behaviour& behaviour, FrameReader& reader) {
  std::string message;
  for (int i = 0; i < 8; ++i) {
    if (reader.Next(&message) != FrameReader::Status::kMessage) return;
    CheckAnswer(HandleRequest(behaviour, message).response);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string bytes(reinterpret_cast<const char*>(data), size);
  static const Behaviour kDefault;
  static const Behaviour kStateful = [] {
    Behaviour b;
    b.token = "t";
    b.fixed_state = true;
    b.state_id = 7;
    b.out_params.push_back({"P1", "Integer", "Output", "5"});
    return b;
  }();

  // 1. Arbitrary bytes after a valid header.
  FrameReader framed(Framing::kAuto, 1 << 20);
  framed.Append(tallyvox::mw::FormatVerifiedLength(static_cast<uint32_t>(size)));
  framed.Append(bytes);
  Serve(size % 2 ? kStateful : kDefault, framed);

  // 2. The same bytes as raw connection input, split in two reads.
  FrameReader raw(Framing::kAuto, 1 << 16);
  raw.Append(std::string_view(bytes).substr(0, size / 2));
  Serve(kDefault, raw);
  raw.Append(std::string_view(bytes).substr(size / 2));
  Serve(kDefault, raw);
  return 0;
}
