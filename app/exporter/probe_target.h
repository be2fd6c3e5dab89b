// The target of a /probe request: "HOST" or "HOST:PORT", as a roster row's
// address with an optional port. HOST is a host name or an IPv4 address
// (letters, digits, ".", "-", "_"), or an IPv6 address in brackets
// ("[::1]:8080"); PORT is 1 to 65535 in decimal. Anything else (a URL, a
// path, blanks, an empty host or port, more than 255 bytes) is refused with
// a text that says why, which the route answers with 400.
#ifndef TALLYVOX_EXPORTER_PROBE_TARGET_H_
#define TALLYVOX_EXPORTER_PROBE_TARGET_H_

#include <string>
#include <string_view>

namespace tallyvox::exporter {

struct ProbeTarget {
  std::string host;  // an IPv6 address without its brackets
  int port = 0;
};

// Reads `text`; a target without a port gets `default_port`. Returns the
// reason for a refusal, empty when *out holds the target.
std::string ParseProbeTarget(std::string_view text, int default_port, ProbeTarget* out);

}  // namespace tallyvox::exporter

#endif  // TALLYVOX_EXPORTER_PROBE_TARGET_H_
