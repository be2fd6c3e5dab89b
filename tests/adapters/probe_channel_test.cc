// The monitor's probe channel against a real mwserver on loopback: a probe
// end to end, a fresh aim per row, a late answer, the cap on a pooled
// connection's answer, and the failures that end a probe.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "adapters/probe_channel.h"
#include "middleware/client/client_exceptions.h"
#include "middleware/client/client_query.h"
#include "middleware/client/client_transport.h"
#include "middleware/client/connection_pool.h"
#include "middleware/client/pooled_session.h"
#include "middleware/client/transaction.h"
#include "middleware/wire/dataset_stream_format.h"
#include "middleware/wire/mw_exception.h"
#include "middleware/wire/string_list.h"
#include "support/error_code_of.h"
#include "support/pool_test_server.h"

namespace tallyvox::mw {
namespace {

using testing::ErrorCodeOf;

// The monitor's components (adapters/probe_channel.h) after one PrepareCycle,
// with counting event handlers.
struct MonitorComponents : monitor::MwProbeChannel {
  TMwTCPIPClientTransport& transport = MwTCPIPClientTransport1;
  TMwClientConnectionPool& pool = MwClientConnectionPool1;
  TMwPooledSession& session = MwPooledSession1;
  TMwClientQuery& query = qUFile7;
  int before_open = 0;
  int after_open = 0;
  int exceptions = 0;
  TMwRequestStates old_state = rsSuccess;
  int connection_lost = 0;

  MonitorComponents() {
    query.BeforeOpen = [this](TMwClientQuery&) { ++before_open; };
    query.AfterOpen = [this](TMwClientQuery&) { ++after_open; };
    PrepareCycle();
    transport.OnException = [this](TMwCustomClient*, TMwRequestStates old_s,
                                   TMwRequestStates& new_s, const std::exception&) {
      ++exceptions;
      old_state = old_s;
      EXPECT_EQ(new_s, rsReconnect);
    };
    transport.OnConnectionLost = [this](TMwCustomClientTransport*) { ++connection_lost; };
  }

  // One row of a poll cycle (rows 2 to 111) against a test server, which is
  // not on port 80: AimProbe fresh, RunProbe and, on every way out,
  // ReleaseProbe.
  void Probe(const std::string& host, int port) {
    transport.SetPort(port);
    AimProbe(host, /*fresh=*/true);
    struct Release {
      MonitorComponents& m;
      ~Release() { m.ReleaseProbe(); }
    } release{*this};
    RunProbe();
  }
};

TEST(QueryProbeTest, SucceedsAgainstAServerThatExecutes) {
  testing::PoolTestServer server({"--rows", "7"});
  ASSERT_TRUE(server.ready()) << server.Output();
  MonitorComponents m;
  EXPECT_EQ(m.query.SessionName(), m.session.EffectiveSessionName());
  EXPECT_EQ(m.query.RowsAffected(), -1);

  ASSERT_NO_THROW(m.Probe(server.ip(), server.port()));
  EXPECT_EQ(m.query.RowsAffected(), 7);
  EXPECT_EQ(m.exceptions, 0);
  EXPECT_EQ(m.before_open, 0);
  EXPECT_EQ(m.after_open, 0);
  EXPECT_FALSE(m.query.Active());
  EXPECT_TRUE(m.query.Params().Empty());
  EXPECT_EQ(m.pool.ConnectionCount(), 0);  // ReleaseProbe deactivated the pool
  EXPECT_EQ(m.pool.CallsServed(), 1);
  ASSERT_TRUE(server.WaitForLines("function=\"EXECUTE\"", 1)) << server.Output();
  EXPECT_EQ(server.CountLines("service=\"MW_QUERY\" version=\"MW_1.0\" function=\"EXECUTE\""), 1)
      << server.Output();
  EXPECT_EQ(server.CountLines("data=\"COMMON\" args=3 arg0=\"select * from ufile7\" arg1=\"*\" "
                              "arg2=\"*\""),
            1)
      << server.Output();
  EXPECT_EQ(server.CountLines("stateid=-1"), 1) << server.Output();

  // A second probe connects afresh and succeeds again.
  ASSERT_NO_THROW(m.Probe(server.ip(), server.port()));
  EXPECT_TRUE(server.WaitForLines("function=\"EXECUTE\"", 2));
  EXPECT_EQ(m.query.EffectiveClient().ClientData(), Variant("COMMON"));
}

// Row 1 keeps the pool active with its connection; the next row's fresh aim
// discards it, so that row's probe reaches its own server only.
TEST(QueryProbeTest, FreshAimLeavesNoConnectionOfTheEarlierServer) {
  testing::PoolTestServer first;
  testing::PoolTestServer second;
  ASSERT_TRUE(first.ready()) << first.Output();
  ASSERT_TRUE(second.ready()) << second.Output();
  MonitorComponents m;
  m.transport.SetPort(first.port());
  m.AimProbe(first.ip(), /*fresh=*/false);
  ASSERT_NO_THROW(m.RunProbe());
  EXPECT_EQ(m.pool.ConnectionCount(), 1);  // row 1 does not release the pool
  ASSERT_TRUE(first.WaitForLines("function=\"EXECUTE\"", 1)) << first.Output();

  m.Probe(second.ip(), second.port());
  EXPECT_TRUE(second.WaitForLines("function=\"EXECUTE\"", 1)) << second.Output();
  EXPECT_EQ(first.CountLines("function=\"EXECUTE\""), 1) << first.Output();
  EXPECT_EQ(m.pool.ConnectionCount(), 0);
  EXPECT_EQ(m.exceptions, 0);
}

// Row 1 and the connection test keep the pool active, so their next probe
// uses the same pooled connection. A probe that timed out must leave nothing
// behind for it: the server answers every request 1.5 s late, so the first
// answer arrives while the second probe waits, and the second probe's own
// answer comes too late as well. Both probes fail.
TEST(QueryProbeTest, ALateAnswerIsNotTakenForTheNextProbe) {
  testing::PoolTestServer server({"--delay", "1500"});
  ASSERT_TRUE(server.ready()) << server.Output();
  MonitorComponents m;
  m.transport.SetRequestTimeout(1);
  m.transport.SetPort(server.port());
  m.AimProbe(server.ip(), /*fresh=*/false);
  for (int probe = 1; probe <= 2; ++probe) {
    SCOPED_TRACE(probe);
    std::string message;
    EXPECT_EQ(ErrorCodeOf([&] { m.RunProbe(); }, &message), 0x00F10101) << message;
    EXPECT_EQ(m.exceptions, probe);
    EXPECT_EQ(m.pool.ConnectionCount(), 1);
  }
  EXPECT_TRUE(server.WaitForLines("function=\"EXECUTE\"", 2)) << server.Output();
}

// The monitor clears the transport's Params before every poll cycle, which
// keeps a MAXTRANSPORTSTREAMSIZE limit set before (on the template). The
// pooled connections' transports must keep it as well: an answer announcing
// more fails the probe with "Transportstream size out of bounds." before any
// of its body is read, the usual answer (a few hundred bytes) as much as the
// 256 MiB one.
TEST(QueryProbeTest, MaxTransportStreamSizeCapsAPooledConnectionsAnswer) {
  for (const char* fault : {"none", "huge"}) {
    SCOPED_TRACE(fault);
    testing::PoolTestServer server({"--fault", fault});
    ASSERT_TRUE(server.ready()) << server.Output();
    MonitorComponents m;
    std::vector<std::string> seen;
    m.transport.OnException = [&](TMwCustomClient*, TMwRequestStates, TMwRequestStates&,
                                  const std::exception& e) { seen.push_back(e.what()); };
    m.transport.SetParams(TMwStrings{"MAXTRANSPORTSTREAMSIZE=64"});
    m.PrepareCycle();
    ASSERT_EQ(m.transport.MaxTransportStreamSize(), 64);
    const auto start = std::chrono::steady_clock::now();
    std::string message;
    EXPECT_EQ(ErrorCodeOf([&] { m.Probe(server.ip(), server.port()); }, &message), 0x00F10101)
        << message;
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(4));
    EXPECT_EQ(seen, std::vector<std::string>{"Transportstream size out of bounds."});
  }
}

TEST(QueryProbeTest, RefusedServerRaisesConnectionLostAfterOneOnException) {
  MonitorComponents m;
  tallyvox::testing::RefusingPort refusing;
  std::string message;
  EXPECT_EQ(ErrorCodeOf([&] { m.Probe("127.0.0.1", refusing.port()); }, &message), 0x00F10101);
  EXPECT_EQ(message, "Connection lost.");
  EXPECT_EQ(m.exceptions, 1);
  EXPECT_EQ(m.old_state, rsTransmit);
  EXPECT_EQ(m.connection_lost, 1);
  EXPECT_EQ(m.before_open + m.after_open, 0);
  EXPECT_EQ(m.query.RowsAffected(), 0);  // set to 0 when the execution started
}

// Servers that fail after accepting the connection: every kind of failure
// ends the probe in "Connection lost." after exactly one OnException from
// the receiving state (the connection's transport carries the monitor's
// handler), within about RequestTimeout even when the server never answers
// or stalls inside a message, and leaves no connection behind.
struct FailingServerCase {
  const char* name;
  const char* fault;
  const char* exception_text;  // what OnException saw; null: not compared (racy)
};

void PrintTo(const FailingServerCase& c, std::ostream* os) { *os << c.name; }

class QueryFailingServerTest : public ::testing::TestWithParam<FailingServerCase> {};

TEST_P(QueryFailingServerTest, ProbeFailsWithConnectionLost) {
  const FailingServerCase& c = GetParam();
  testing::PoolTestServer server({"--fault", c.fault});
  ASSERT_TRUE(server.ready()) << server.Output();
  MonitorComponents m;
  m.transport.SetRequestTimeout(1);
  std::string seen_text;
  m.transport.OnException = [&](TMwCustomClient*, TMwRequestStates old_s, TMwRequestStates&,
                                const std::exception& e) {
    ++m.exceptions;
    m.old_state = old_s;
    seen_text = e.what();
  };
  auto start = std::chrono::steady_clock::now();
  std::string message;
  EXPECT_EQ(ErrorCodeOf([&] { m.Probe(server.ip(), server.port()); }, &message), 0x00F10101);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
  EXPECT_EQ(message, "Connection lost.");
  EXPECT_EQ(m.exceptions, 1);
  EXPECT_EQ(m.old_state, rsReceive);
  if (c.exception_text != nullptr) {
    EXPECT_EQ(seen_text, c.exception_text);
  }
  EXPECT_EQ(m.connection_lost, 1);
  EXPECT_EQ(m.pool.ConnectionCount(), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Faults, QueryFailingServerTest,
    ::testing::Values(
        FailingServerCase{"Silent", "silent", "Read Timeout"},
        FailingServerCase{"DropAfterRequest", "drop", "Connection Closed Gracefully."},
        // Closed at once: end of stream or a reset, as the race goes.
        FailingServerCase{"CloseOnAccept", "close", nullptr},
        FailingServerCase{"BadChecksum", "badheader", "Invalid data"},
        FailingServerCase{"NonHexLength", "badhex", "Invalid data"},
        // The monitor's probe caps responses at 1 MiB: a huge
        // announced length is refused before any body is read.
        FailingServerCase{"HugeAnnouncedLength", "huge", "Transportstream size out of bounds."},
        FailingServerCase{"UnframedAnswer", "rawclose", nullptr}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(QueryProbeTest, ServerErrorPassesThroughAndUnlocksTheConnection) {
  testing::PoolTestServer server(
      {"--fault", "error", "--error-code", "42", "--error-text", "Boom"});
  ASSERT_TRUE(server.ready()) << server.Output();
  MonitorComponents m;
  m.transport.SetHost(server.ip());
  m.transport.SetPort(server.port());
  std::string message;
  EXPECT_EQ(ErrorCodeOf([&] { m.query.Execute(); }, &message), 42);
  EXPECT_EQ(message, "Boom (SERVER)");
  // The connection stays in the pool, unlocked, with no user.
  EXPECT_EQ(m.pool.ConnectionCount(), 1);
  EXPECT_EQ(m.pool.TotalUserCount(), 0);
  EXPECT_EQ(m.pool.StatusText(), "1:-1");
  EXPECT_EQ(m.query.Connection(), nullptr);
}

TEST(QueryProbeTest, UnknownServiceRaisesItsServerClass) {
  testing::PoolTestServer server;
  ASSERT_TRUE(server.ready()) << server.Output();
  MonitorComponents m;
  m.transport.SetHost(server.ip());
  m.transport.SetPort(server.port());
  m.query.SetQueryService("NO_SUCH");
  EXPECT_THROW(m.query.Execute(), EMwNoServiceException);
}

}  // namespace
}  // namespace tallyvox::mw
