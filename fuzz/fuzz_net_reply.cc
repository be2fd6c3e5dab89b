// Fuzzes the connection's line reader and the numeric-reply parser with
// bytes from a scripted channel (no network). The first input byte picks
// the line settings; the rest is cut into receives at 0xFF bytes, so the
// fuzzer also explores terminators split across receives.
#include <cstddef>
#include <cstdint>
#include <string>

#include "net/tcp_client.h"
#include "support/scripted_io_handler.h"

using tallyvox::net::ENetException;
using tallyvox::net::TNetMaxLineAction;
using tallyvox::net::TNetTCPClient;
using tallyvox::testing::TNetScriptedIOHandler;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const uint8_t mode = data[0];
  TNetScriptedIOHandler channel;
  std::string chunk;
  for (size_t i = 1; i < size; ++i) {
    if (data[i] == 0xFF) {
      channel.AddInput(chunk);  // an empty chunk is the peer's close
      chunk.clear();
    } else {
      chunk.push_back(static_cast<char>(data[i]));
    }
  }
  if (!chunk.empty()) channel.AddInput(chunk);

  TNetTCPClient client;
  client.SetIOHandler(&channel);
  client.MaxLineLength = (mode & 0x0F) * 8;  // 0 = no limit
  client.MaxLineAction =
      (mode & 0x10) ? TNetMaxLineAction::maSplit : TNetMaxLineAction::maException;
  client.RecvBufferSize = 1 + ((mode >> 5) & 0x07) * 3;
  try {
    client.OpenConnection(0);
    for (int i = 0; i < 64; ++i) {
      if (mode & 0x80) {
        const std::string line = client.ReadLine((i & 1) ? "\r\n" : "");
        if (line.size() > 2 * size + 16) __builtin_trap();
      } else {
        client.ReadReply(i % 3 == 0 ? std::vector<int16_t>{} : std::vector<int16_t>{250});
        for (const std::string& t : client.LastReply().Text) {
          if (t.size() > size) __builtin_trap();
        }
      }
    }
  } catch (const ENetException&) {
    // Every refusal is a typed exception; anything else escapes and fails.
  }
  return 0;
}
