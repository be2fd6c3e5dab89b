// Fuzzes the transport stream decoder for requests, responses and message
// streams (several messages per stream). Decoding must succeed or raise;
// what decodes is encoded again at its own version and must decode again.
#include <cstddef>
#include <cstdint>
#include <exception>
#include <memory>
#include <string>

#include "middleware/wire/message_stream.h"
#include "middleware/wire/request_stream.h"
#include "middleware/wire/response_stream.h"
#include "middleware/wire/transport_stream.h"

using namespace tallyvox::mw;

namespace {

TMwTransportStreamPtr NewStream(int kind) {
  switch (kind) {
    case 0:
      return TMwTransportStreamPtr(new TMwStandardRequestTransportStream());
    case 1:
      return TMwTransportStreamPtr(new TMwStandardResponseTransportStream());
    default:
      return TMwTransportStreamPtr(new TMwStandardMessageTransportStream());
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const int kind = data[0] % 3;
  TMwTransportStreamPtr s = NewStream(kind);
  if (data[0] & 0x80) {
    TMwStrings limits{"MAXSTRINGSIZE=64", "MAXARRAYSIZE=16", "MAXBINARYARRAYSIZE=64",
                      "MAXSTREAMSIZE=64"};
    s->SetParams(&limits);
  }
  s->LoadFromBytes(data + 1, size - 1);
  int decoded = 0;
  try {
    if (!s->BeginReading()) return 0;  // newer version: refused
    while (decoded < 64 && s->NextMessage()) {
      s->EnsureUnstreamState(7);
      ++decoded;
    }
  } catch (const std::exception&) {
    return 0;
  }
  if (decoded != 1) return 0;
  // Re-encode the single decoded message and decode it once more.
  try {
    s->SetMessageCount(1);
    s->ResetStreamState();
    s->EnsureStreamState(8);
  } catch (const std::exception&) {
    return 0;  // e.g. a raw date outside the text range
  }
  const std::string bytes = s->Buffer().ToString();
  TMwTransportStreamPtr again = NewStream(kind);
  again->LoadFromBytes(bytes);
  if (!again->EnsureUnstreamState(7)) __builtin_trap();
  return 0;
}
