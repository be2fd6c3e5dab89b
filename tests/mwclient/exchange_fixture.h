// The fixture of the request/response exchange tests: a TCP/IP client
// transport configured as the monitor configures it, a client recording every
// event, and mwserver instances on loopback.
#ifndef TALLYVOX_TESTS_MWCLIENT_EXCHANGE_FIXTURE_H_
#define TALLYVOX_TESTS_MWCLIENT_EXCHANGE_FIXTURE_H_

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "middleware/client/client.h"
#include "middleware/client/client_exceptions.h"
#include "middleware/client/client_transport.h"
#include "mwclient/scripted_server.h"
#include "support/mwserver_process.h"
#include "support/support.h"

namespace tallyvox::mw::exchangetest {

using Clock = std::chrono::steady_clock;
using tallyvox::testing::MwServerProcess;

inline constexpr char kHost[] = "127.0.0.1";
inline const TMwVariantList kProbeArgs = {Variant("select * from ufile7"), Variant("*"),
                                          Variant("*")};

struct ExceptionCall {
  TMwRequestStates old_state;
  std::string message;
};
struct ReconnectCall {
  bool alternative;
  int retries_left;
  bool operator==(const ReconnectCall&) const = default;
};

// A transport configured as the monitor configures it (VerifyTransfer on,
// RequestTimeout 5 unless a test shortens it, blocking connect, no budget)
// and a client with ClientData "COMMON", recording every event.
class ExchangeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    transport_.SetHost(kHost);
    transport_.SetConnectTimeout(0);
    transport_.SetRequestTimeout(5);
    transport_.SetVerifyTransfer(true);
    transport_.OnException = [this](TMwCustomClient* sender, TMwRequestStates old_state,
                                    TMwRequestStates& new_state, const std::exception& e) {
      EXPECT_EQ(sender, &client_);
      EXPECT_EQ(new_state, rsReconnect);
      exceptions_.push_back({old_state, e.what()});
      if (on_exception_) on_exception_(old_state, new_state);
    };
    transport_.OnConnectionLost = [this](TMwCustomClientTransport* sender) {
      EXPECT_EQ(sender, &transport_);
      ++connection_lost_;
    };
    transport_.OnReconnect = [this](TMwCustomClientTransport*, bool alternative, int retries) {
      reconnects_.push_back({alternative, retries});
      if (on_reconnect_) on_reconnect_();
    };
    client_.SetTransport(&transport_);
    client_.SetClientData(Variant("COMMON"));
    client_.OnClientTransmit = [this](TMwCustomClient*,
                                      const TMwCustomRequestTransportStream& request) {
      transmitted_ids_.push_back(request.RequestID());
    };
  }

  // An mwserver on a port of its own choosing (server->port()).
  std::unique_ptr<MwServerProcess> Server(std::vector<std::string> options = {}) {
    std::vector<std::string> args = {"--listen", std::string(kHost) + ":0"};
    args.insert(args.end(), options.begin(), options.end());
    auto server = std::make_unique<MwServerProcess>(args);
    EXPECT_TRUE(server->ready()) << server->Output();
    return server;
  }

  Variant Probe() { return client_.SendRequest("MW_QUERY", "MW_1.0", "EXECUTE", kProbeArgs); }

  // Runs a probe that must fail with "Connection lost.".
  void ExpectConnectionLost() {
    try {
      Probe();
      FAIL() << "the probe succeeded";
    } catch (const EMwException& e) {
      EXPECT_EQ(e.ErrorCode(), kMwErrConnectionLost);
      EXPECT_STREQ(e.what(), "Connection lost.");
    }
  }

  // ExpectConnectionLost, timed: the seconds the probe took to fail.
  double SecondsToConnectionLost() {
    const auto start = Clock::now();
    ExpectConnectionLost();
    return std::chrono::duration<double>(Clock::now() - start).count();
  }

  TMwTCPIPClientTransport transport_;
  TMwSimpleClient client_;
  std::vector<ExceptionCall> exceptions_;
  std::vector<ReconnectCall> reconnects_;
  std::vector<int32_t> transmitted_ids_;
  int connection_lost_ = 0;
  std::function<void(TMwRequestStates, TMwRequestStates&)> on_exception_;
  std::function<void()> on_reconnect_;
};

}  // namespace tallyvox::mw::exchangetest

#endif  // TALLYVOX_TESTS_MWCLIENT_EXCHANGE_FIXTURE_H_
