// Why a probe failed, in the words of the plugin line. The middleware client
// ends every failed exchange in "Connection lost."; the network exception
// underneath (which the transport's OnException sees) says why:
//
//   net::ENetSocketError connection refused   "connection refused"
//   net::ENetSocketError host not found       "name not found"
//   net::ENetSocketError try again            "name lookup failed for now"
//   net::ENetSocketError, other               its text ("connection reset by peer")
//   net::ENetConnectTimeout                   "connect timed out"
//   net::ENetDeadlineExpired                  "no answer within N s" (the probe's deadline)
//   net::ENetReadTimeout                      "read timed out"
//   net::ENetConnClosedGracefully             "connection closed by the server"
//   net::ENetClosedSocket                     "connection closed"
//   anything else                             its own text
//
// A network exception that ends the probe itself (a connect that fails before
// a request is under way) is read the same way. Any other failure (the
// server's own error text, "Transportstream size out of bounds.", ...) is
// its own reason.
#ifndef TALLYVOX_PROBE_PROBE_REASON_H_
#define TALLYVOX_PROBE_PROBE_REASON_H_

#include <exception>
#include <string>

namespace tallyvox::app {

// The reason for a network exception `e` met during the probe.
std::string NetFailureReason(const std::exception& e);

// The last network exception the transport reported during the probe.
struct NetFailure {
  std::string reason;  // NetFailureReason of it; empty when none was reported
  std::string text;    // its what()
};

// The reason the probe gives for its failure `final` (what the probe
// raised): `underlying`'s reason when `final` is "Connection lost." or
// carries the network exception's own text on, else `final` read as above.
std::string ProbeFailureReason(const std::exception& final, const NetFailure& underlying);

}  // namespace tallyvox::app

#endif  // TALLYVOX_PROBE_PROBE_REASON_H_
