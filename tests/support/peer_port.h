// The port a test peer reports once it listens. Peers bind port 0 and print the port the
// system gave them ("READY 41521", "ACCEPT 127.0.0.1:41521"), so no port is chosen
// before the peer holds it and parallel tests cannot take each other's ports.
#ifndef TALLYVOX_TESTS_SUPPORT_PEER_PORT_H_
#define TALLYVOX_TESTS_SUPPORT_PEER_PORT_H_

#include <cstddef>
#include <string>

namespace tallyvox::testing {

// The decimal number that follows the first `marker` in `output` and ends its line, or 0
// when there is none (yet: a line still being written counts as none) or it is no port.
inline int ReportedPort(const std::string& output, const std::string& marker) {
  const std::size_t at = output.find(marker);
  if (at == std::string::npos) return 0;
  long port = 0;
  std::size_t i = at + marker.size();
  const std::size_t first = i;
  for (; i < output.size() && i - first < 6 && output[i] >= '0' && output[i] <= '9'; ++i) {
    port = port * 10 + (output[i] - '0');
  }
  const bool line_ends = i < output.size() && (output[i] == '\n' || output[i] == '\r');
  return i > first && line_ends && port > 0 && port < 65536 ? static_cast<int>(port) : 0;
}

}  // namespace tallyvox::testing

#endif  // TALLYVOX_TESTS_SUPPORT_PEER_PORT_H_
