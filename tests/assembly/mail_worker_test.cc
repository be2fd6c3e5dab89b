// With parallel probing the "Email" button's test mail and new mail
// settings from a reload never hold the monitor's thread, against real
// peers: a TLS mail server that takes the connection and never says a word
// (the greeting's reply time-out ends the delivery), aiosmtpd, mwserver.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <string>
#include <vector>

#include "support/real_fixture.h"

namespace tallyvox::monitor::testing {
namespace {

using tallyvox::testing::ScriptedServer;

constexpr char kSilentGreeting[] = R"({"greeting": "SILENT"})";
constexpr int32_t kReplyTimeoutMs = 2000;

class MailWorkerTest : public PeersTest {
 protected:
  // erols on the silent server at `mail_port`, waiting kReplyTimeoutMs for
  // each reply.
  Settings MailSettingsOn(int mail_port, int probe_port, int parallel) {
    Settings s =
        TestSettings(MakeAuditTable(dir_), probe_port, mail_port, peers_->ca.ca_cert_file());
    s.mail.accounts[3].reply_timeout_ms = kReplyTimeoutMs;
    s.probe.parallel = parallel;
    return s;
  }
  static void PressEmail(RealMonitor& m) {
    m.monitor().Handle([&] { m.monitor().Button3Click(); });
    QCoreApplication::processEvents();  // what was posted meanwhile
  }
};

TEST_F(MailWorkerTest, TheTestMailHoldsNoCycleWithParallelProbing) {
  ScriptedServer silent(peers_->ca.Localhost(), kSilentGreeting);
  MwServerProcess row_server({"--listen", "127.0.3.1:0"});
  ASSERT_TRUE(row_server.ready()) << row_server.Output();
  for (int parallel : {1, 4}) {
    SCOPED_TRACE("parallel " + std::to_string(parallel));
    Settings s = MailSettingsOn(silent.port(), row_server.port(), parallel);
    s.roster[1] = {"127.0.3.1", true};  // row 2 answers
    RealMonitor m(s);
    m.monitor().ResetOkCounters();
    PressEmail(m);
    const size_t told_at_once = m.reports.alerts.size();
    m.monitor().Handle([&] { m.monitor().DoPoll(); });
    ASSERT_TRUE(SpinUntil([&] { return !m.monitor().CycleRunning(); }, 10000));
    // The cycle's results were applied while the delivery hung.
    const size_t told_after_cycle = m.reports.alerts.size();
    ASSERT_EQ(m.reports.probes.size(), 1u);
    EXPECT_TRUE(m.reports.probes[0].answered());
    EXPECT_EQ(m.view.texts[Roster::Row(2).label], "OK 1");

    ASSERT_TRUE(SpinUntil([&] { return !m.view.messages.empty(); }, 10000));
    EXPECT_EQ(told_at_once, parallel == 1 ? 1u : 0u);
    EXPECT_EQ(told_after_cycle, parallel == 1 ? 1u : 0u);
    EXPECT_EQ(m.reports.alerts, std::vector<std::string>{"erols failed IP 192.0.2.1 is Down!"});
    EXPECT_EQ(m.reports.servers,
              std::vector<std::string>{"127.0.0.1:" + std::to_string(silent.port())});
    EXPECT_EQ(m.view.messages, std::vector<std::string>{"Read Timeout"});
  }
}

// A reload while the test mail hangs returns at once; the hanging delivery
// ends on the server it began with; what goes out after the reload (a test
// mail naming the new test address, an alert) goes to the new server.
TEST_F(MailWorkerTest, AReloadDuringAHangingDeliveryHoldsFromTheNextDelivery) {
  ScriptedServer silent(peers_->ca.Localhost(), kSilentGreeting);
  const Settings before = MailSettingsOn(silent.port(), 9, 4);
  RealMonitor m(before);
  PressEmail(m);
  Settings after = before;
  after.mail.port = peers_->smtp->port();
  after.mail.test_address = "192.0.2.77";
  m.assembly->Reconfigure(after);
  QCoreApplication::processEvents();
  EXPECT_TRUE(m.reports.alerts.empty()) << "the reload waited for the delivery";

  const size_t mails_before = MailsSoFar();
  PressEmail(m);
  m.assembly->dispatch().SendError("IP 127.0.0.9 Is Down!");
  bool delivered = false;
  m.assembly->dispatch().WhenDelivered([&] { delivered = true; });
  ASSERT_TRUE(SpinUntil([&] { return delivered; }, 20000));
  EXPECT_EQ(m.reports.alerts, (std::vector<std::string>{"erols failed IP 192.0.2.1 is Down!",
                                                        "erols delivered IP 192.0.2.77 is Down!",
                                                        "erols delivered IP 127.0.0.9 Is Down!"}));
  const std::string old_server = "127.0.0.1:" + std::to_string(silent.port());
  const std::string new_server = "127.0.0.1:" + std::to_string(peers_->smtp->port());
  EXPECT_EQ(m.reports.servers, (std::vector<std::string>{old_server, new_server, new_server}));
  EXPECT_EQ(m.view.messages, std::vector<std::string>{"Read Timeout"});
  const auto mails = peers_->smtp->Messages(mails_before + 2);
  ASSERT_EQ(mails.size(), mails_before + 2);
  EXPECT_NE(mails[mails_before].data.find("IP 192.0.2.77 is Down!"), std::string::npos);
  EXPECT_NE(mails[mails_before + 1].data.find("IP 127.0.0.9 Is Down!"), std::string::npos);
}

}  // namespace
}  // namespace tallyvox::monitor::testing
