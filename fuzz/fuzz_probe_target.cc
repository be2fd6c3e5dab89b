// Arbitrary text as a /probe target and as an Alertmanager URL: accepted with
// a host that holds only the characters its form allows and a port from 1 to
// 65535, or refused with a reason, never anything else; an accepted one is
// read the same way again when written back.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "base/http_url.h"
#include "exporter/probe_target.h"

namespace {

bool HostLooksRight(const std::string& host) {
  if (host.empty()) return false;
  for (char c : host) {
    if (c <= ' ' || c == '/' || c == '?' || c == '#' || c == '@' || c == '[' || c == ']' ||
        static_cast<unsigned char>(c) >= 0x7f) {
      return false;
    }
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  tallyvox::exporter::ProbeTarget target;
  if (tallyvox::exporter::ParseProbeTarget(text, 8080, &target).empty()) {
    if (!HostLooksRight(target.host) || target.port < 1 || target.port > 65535) std::abort();
    const std::string host =
        target.host.find(':') != std::string::npos ? "[" + target.host + "]" : target.host;
    const std::string written = host + ":" + std::to_string(target.port);
    // Written back with its port, a target given without one may pass the
    // 255-byte cap of targets; one within it must read the same again.
    tallyvox::exporter::ProbeTarget again;
    if (written.size() <= 255 &&
        (!tallyvox::exporter::ParseProbeTarget(written, 1, &again).empty() ||
         again.host != target.host || again.port != target.port)) {
      std::abort();
    }
  }
  tallyvox::HttpUrl url;
  if (tallyvox::ParseHttpUrl(text, &url).empty()) {
    if (!HostLooksRight(url.host) || url.port < 1 || url.port > 65535) std::abort();
    if (!url.path.empty() && (url.path[0] != '/' || url.path.back() == '/')) std::abort();
  }
  return 0;
}
