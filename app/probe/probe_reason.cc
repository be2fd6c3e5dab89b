#include "probe/probe_reason.h"

#include <cctype>

#include "middleware/client/client_exceptions.h"
#include "net/exceptions.h"
#include "net/socket_errors.h"

namespace tallyvox::app {
namespace {

// "Connection reset by peer." as "connection reset by peer".
std::string AsReason(std::string text) {
  while (!text.empty() && (text.back() == '.' || text.back() == ' ')) text.pop_back();
  if (!text.empty()) text[0] = static_cast<char>(std::tolower(static_cast<unsigned char>(text[0])));
  return text;
}

std::string SocketReason(int32_t error) {
  switch (error) {
    case net::kWsaeConnRefused:
      return "connection refused";
    case net::kWsaHostNotFound:
      return "name not found";
    case net::kWsaTryAgain:
      return "name lookup failed for now";
    default: {
      const std::string text = net::SocketErrorText(error);
      return text.empty() ? "socket error " + std::to_string(error) : AsReason(text);
    }
  }
}

}  // namespace

std::string NetFailureReason(const std::exception& e) {
  if (const auto* s = dynamic_cast<const net::ENetSocketError*>(&e)) {
    return SocketReason(s->LastError());
  }
  if (const auto* c = dynamic_cast<const net::ENetConnectException*>(&e)) {
    if (c->LastError() != 0) return SocketReason(c->LastError());
  }
  if (dynamic_cast<const net::ENetConnectTimeout*>(&e) != nullptr) return "connect timed out";
  if (dynamic_cast<const net::ENetDeadlineExpired*>(&e) != nullptr) return e.what();
  if (dynamic_cast<const net::ENetReadTimeout*>(&e) != nullptr) return "read timed out";
  if (dynamic_cast<const net::ENetConnClosedGracefully*>(&e) != nullptr) {
    return "connection closed by the server";
  }
  if (dynamic_cast<const net::ENetClosedSocket*>(&e) != nullptr) return "connection closed";
  return e.what();
}

std::string ProbeFailureReason(const std::exception& final, const NetFailure& underlying) {
  // A connect that fails before any request is under way (the pool's)
  // reaches the probe as it is.
  if (dynamic_cast<const net::ENetException*>(&final) != nullptr) return NetFailureReason(final);
  if (underlying.reason.empty()) return final.what();
  const auto* mw = dynamic_cast<const mw::EMwException*>(&final);
  if (mw != nullptr && mw->ErrorCode() == mw::kMwErrConnectionLost) return underlying.reason;
  if (final.what() == underlying.text) return underlying.reason;
  return final.what();
}

}  // namespace tallyvox::app
