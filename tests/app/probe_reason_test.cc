// Why `tallyvox probe` says a probe failed: the network exception under the
// middleware client's "Connection lost.", or the probe's own failure.
#include "probe/probe_reason.h"

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "middleware/client/client_exceptions.h"
#include "net/exceptions.h"
#include "net/socket_errors.h"

namespace tallyvox::app {
namespace {

TEST(ProbeReason, EachNetworkFailureInItsOwnWords) {
  struct Case {
    std::shared_ptr<std::exception> error;
    std::string reason;
  };
  const std::vector<Case> cases = {
      {std::make_shared<net::ENetSocketError>(net::kWsaeConnRefused), "connection refused"},
      {std::make_shared<net::ENetSocketError>(net::kWsaHostNotFound), "name not found"},
      {std::make_shared<net::ENetSocketError>(net::kWsaeConnReset), "connection reset by peer"},
      {std::make_shared<net::ENetSocketError>(net::kWsaTryAgain), "name lookup failed for now"},
      {std::make_shared<net::ENetConnectTimeout>(), "connect timed out"},
      {std::make_shared<net::ENetReadTimeout>(), "read timed out"},
      {std::make_shared<net::ENetDeadlineExpired>(std::chrono::milliseconds(2500)),
       "no answer within 2.5 s"},
      {std::make_shared<net::ENetConnClosedGracefully>(), "connection closed by the server"},
      {std::make_shared<net::ENetClosedSocket>(), "connection closed"},
      // A connect the system refused, as the socket layer raises it.
      {std::make_shared<net::ENetConnectException>(
           net::ENetConnectException::Failed(net::kWsaeConnRefused)),
       "connection refused"},
      {std::make_shared<net::ENetConnectException>("Connect failed."), "Connect failed."},
      {std::make_shared<net::ENetSocketError>(10000 + 200), "socket error 10200"},
  };
  const mw::EMwException lost("Connection lost.", mw::kMwErrConnectionLost);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.reason);
    EXPECT_EQ(NetFailureReason(*c.error), c.reason);
    // Under "Connection lost.", carried on in a middleware exception with its
    // text, and as the probe's own failure.
    const NetFailure underlying{NetFailureReason(*c.error), c.error->what()};
    EXPECT_EQ(ProbeFailureReason(lost, underlying), c.reason);
    EXPECT_EQ(ProbeFailureReason(mw::EMwException(c.error->what(), 0), underlying), c.reason);
    EXPECT_EQ(ProbeFailureReason(*c.error, NetFailure()), c.reason);
  }
}

TEST(ProbeReason, OtherFailuresKeepTheirText) {
  const mw::EMwException lost("Connection lost.", mw::kMwErrConnectionLost);
  // Nothing underneath (a redirect not followed): the client's own words.
  EXPECT_EQ(ProbeFailureReason(lost, NetFailure()), "Connection lost.");
  // The server's own error, whatever happened before it.
  const mw::EMwException server("Table ufile7 is locked (SERVER)", 42);
  EXPECT_EQ(ProbeFailureReason(server, {"read timed out", "Read Timeout"}),
            "Table ufile7 is locked (SERVER)");
}

}  // namespace
}  // namespace tallyvox::app
