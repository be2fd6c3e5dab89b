// Grouped alerts ([alerts] group) over the real mail accounts against the
// aiosmtpd TLS sink: one mail per account for the failures (and the
// recoveries) of a cycle, the rows in row order; the single row's texts for
// a group of one; one outbox file per grouped mail; seven beeps per cycle.
#include <gtest/gtest.h>
#include <sys/types.h>

#include <QCoreApplication>
#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "support/real_fixture.h"

namespace tallyvox::monitor::testing {
namespace {

using namespace std::chrono_literals;
using SteadyClock = std::chrono::steady_clock;

// Runs the test thread's event loop until `until` holds or 20 s passed.
template <typename Until>
bool SpinUntil(Until until) {
  const auto deadline = SteadyClock::now() + 20s;
  while (!until() && SteadyClock::now() < deadline) {
    QCoreApplication::processEvents();
    std::this_thread::sleep_for(1ms);
  }
  return until();
}

std::string Body(const std::string& data) {
  const size_t at = data.find("\r\n\r\n");
  return at == std::string::npos ? "" : data.substr(at + 4);
}

std::string Subject(const std::string& data) {
  const size_t at = data.find("Subject: ");
  return at == std::string::npos ? "" : data.substr(at + 9, data.find("\r\n", at) - at - 9);
}

class GroupedAlertsTest : public PeersTest {
 protected:
  // Rows 2, 5, 13, 40 on 127.0.4.x, where nobody listens on `port` until a
  // test starts a server there; quell_brindle and erols selected.
  Settings GroupSettings(int port, int parallel) {
    Settings s =
        TestSettings(MakeAuditTable(dir_), port, peers_->smtp->port(), peers_->ca.ca_cert_file());
    s.probe.connect_timeout = 1;
    s.probe.request_timeout = 1;
    s.probe.parallel = parallel;
    s.mail.accounts[1].use = true;
    s.alerts.grouping.group = true;
    for (int row : kRows) s.roster[row - 1] = {Address(row), true};
    return s;
  }
  static std::string Address(int row) { return "127.0.4." + std::to_string(row); }
  // One cycle to its end (a parallel one ends after DoPoll returns).
  static void Cycle(RealMonitor& m) {
    m.monitor().Handle([&] { m.monitor().DoPoll(); });
    ASSERT_TRUE(SpinUntil([&] { return !m.monitor().CycleRunning(); }));
    // With parallel probing the alerts go out from a worker of their own.
    bool delivered = false;
    m.assembly->dispatch().WhenDelivered([&] { delivered = true; });
    ASSERT_TRUE(SpinUntil([&] { return delivered; }));
  }
  static constexpr int kRows[] = {40, 2, 13, 5};
};

TEST_F(GroupedAlertsTest, OneMailPerAccountListsTheCyclesRowsInRowOrder) {
  MwServerProcess port_holder({"--listen", "127.0.3.1:0"});  // only lends its port
  ASSERT_TRUE(port_holder.ready()) << port_holder.Output();
  for (int parallel : {1, 4}) {
    SCOPED_TRACE("parallel " + std::to_string(parallel));
    Settings settings = GroupSettings(port_holder.port(), parallel);
    settings.alerts.policy.recovery = true;
    RealMonitor m(settings);
    m.monitor().ResetOkCounters();
    const size_t before = MailsSoFar();
    Cycle(m);
    // Seven beeps for the cycle, not seven per failed row.
    EXPECT_EQ(Count(m.log, "beep"), 7);
    const std::string down =
        "IP 127.0.4.2 Is Down!\nIP 127.0.4.5 Is Down!\n"
        "IP 127.0.4.13 Is Down!\nIP 127.0.4.40 Is Down!";
    EXPECT_EQ(m.reports.alerts, (std::vector<std::string>{"quell_brindle delivered " + down,
                                                          "erols delivered " + down}));
    auto mails = peers_->smtp->Messages(before + 2);
    ASSERT_EQ(mails.size(), before + 2);
    for (size_t i = before; i < mails.size(); ++i) {
      EXPECT_EQ(Subject(mails[i].data), "Servers Down!");
      EXPECT_EQ(Body(mails[i].data),
                "IP 127.0.4.2 Is Down!\r\nIP 127.0.4.5 Is Down!\r\n"
                "IP 127.0.4.13 Is Down!\r\nIP 127.0.4.40 Is Down!\r\n");
    }

    // Two rows answer again: their recoveries go out together.
    MwServerProcess back({"--listen", "127.0.4.5:" + std::to_string(port_holder.port()), "--listen",
                          "127.0.4.13:" + std::to_string(port_holder.port())});
    ASSERT_TRUE(back.ready()) << back.Output();
    m.reports.alerts.clear();
    Cycle(m);
    EXPECT_EQ(Count(m.log, "beep"), 14);  // the cycle's failures beep once more
    const std::string up = "IP 127.0.4.5 Is Up!\nIP 127.0.4.13 Is Up!";
    const std::string still = "IP 127.0.4.2 Is Down!\nIP 127.0.4.40 Is Down!";
    EXPECT_EQ(m.reports.alerts, (std::vector<std::string>{
                                    "quell_brindle delivered " + still, "erols delivered " + still,
                                    "quell_brindle delivered " + up, "erols delivered " + up}));
    mails = peers_->smtp->Messages(before + 6);
    ASSERT_EQ(mails.size(), before + 6);
    EXPECT_EQ(Subject(mails[before + 4].data), "Servers Up!");
    EXPECT_EQ(Body(mails[before + 5].data), "IP 127.0.4.5 Is Up!\r\nIP 127.0.4.13 Is Up!\r\n");
  }
}

TEST_F(GroupedAlertsTest, AGroupOfOneRowIsThatRowsOwnAlert) {
  // Rows 2, 13 and 40 answer; row 5 alone fails.
  MwServerProcess first({"--listen", "127.0.4.2:0"});
  ASSERT_TRUE(first.ready()) << first.Output();
  const std::string port = std::to_string(first.port());
  MwServerProcess others({"--listen", "127.0.4.13:" + port, "--listen", "127.0.4.40:" + port});
  ASSERT_TRUE(others.ready()) << others.Output();
  Settings settings = GroupSettings(first.port(), 1);
  settings.mail.accounts[1].use = false;
  RealMonitor m(settings);
  m.monitor().ResetOkCounters();
  const size_t before = MailsSoFar();
  Cycle(m);
  EXPECT_EQ(m.reports.alerts, std::vector<std::string>{"erols delivered IP 127.0.4.5 Is Down!"});
  const auto mails = peers_->smtp->Messages(before + 1);
  ASSERT_EQ(mails.size(), before + 1);
  EXPECT_EQ(Subject(mails.back().data), "Server Down!");
  EXPECT_EQ(Body(mails.back().data), "IP 127.0.4.5 Is Down!\r\n");
  ASSERT_EQ(m.reports.probes.size(), 4u);
  EXPECT_EQ(m.reports.probes[1].alert.kind, AlertState::Kind::kRaised);  // row 5
}

TEST_F(GroupedAlertsTest, AGroupedMailIsOneOutboxFile) {
  MwServerProcess port_holder({"--listen", "127.0.3.1:0"});
  ASSERT_TRUE(port_holder.ready()) << port_holder.Output();
  Settings settings = GroupSettings(port_holder.port(), 4);
  settings.mail.port = 1;  // refused: the grouped alert waits in the outbox
  settings.alerts.outbox = dir_.path() + "/outbox";
  RealMonitor m(settings);
  m.monitor().ResetOkCounters();
  Cycle(m);
  std::vector<std::string> files;
  for (const auto& entry : std::filesystem::directory_iterator(settings.alerts.outbox)) {
    if (entry.is_regular_file()) files.push_back(entry.path().string());
  }
  ASSERT_EQ(files.size(), 1u);
  const std::string file = tallyvox::testing::ReadFile(files[0]);
  EXPECT_NE(file.find("subject Servers Down!\n"), std::string::npos) << file;
  EXPECT_NE(file.find("text IP 127.0.4.2 Is Down!%0AIP 127.0.4.5 Is Down!%0A"
                      "IP 127.0.4.13 Is Down!%0AIP 127.0.4.40 Is Down!\n"),
            std::string::npos)
      << file;
  ASSERT_NE(m.assembly->dispatch().outbox(), nullptr);
  EXPECT_EQ(m.assembly->dispatch().outbox()->Size(), 1u);
}

// The group goes out group_wait_seconds after its first failure when the
// cycle takes longer: a silent row holds the parallel cycle, and its own
// failure, which comes after the wait, makes a group of its own.
TEST_F(GroupedAlertsTest, TheGroupGoesOutAfterTheWaitWhenTheCycleTakesLonger) {
  MwServerProcess silent({"--fault", "silent", "--listen", "127.0.3.9:0"});
  ASSERT_TRUE(silent.ready()) << silent.Output();
  Settings settings = GroupSettings(silent.port(), 8);
  settings.probe.request_timeout = 3;
  settings.alerts.grouping.wait_seconds = 1;
  settings.mail.accounts[1].use = false;
  settings.roster[49] = {"127.0.3.9", true};  // row 50
  RealMonitor m(settings);
  m.monitor().ResetOkCounters();
  const size_t before = MailsSoFar();
  Cycle(m);
  const std::string four =
      "IP 127.0.4.2 Is Down!\nIP 127.0.4.5 Is Down!\n"
      "IP 127.0.4.13 Is Down!\nIP 127.0.4.40 Is Down!";
  EXPECT_EQ(m.reports.alerts, (std::vector<std::string>{"erols delivered " + four,
                                                        "erols delivered IP 127.0.3.9 Is Down!"}));
  EXPECT_EQ(peers_->smtp->Messages(before + 2).size(), before + 2);
}

// A reloaded settings file turns grouping off and on again from the next
// cycle on: off, each failed row mails on its own and beeps seven times;
// on again, one grouped mail and seven beeps for the cycle.
TEST_F(GroupedAlertsTest, GroupingFollowsAReload) {
  MwServerProcess port_holder({"--listen", "127.0.3.1:0"});
  ASSERT_TRUE(port_holder.ready()) << port_holder.Output();
  for (int parallel : {1, 4}) {
    SCOPED_TRACE("parallel " + std::to_string(parallel));
    Settings grouped = GroupSettings(port_holder.port(), parallel);
    grouped.mail.accounts[1].use = false;
    RealMonitor m(grouped);
    m.monitor().ResetOkCounters();
    Settings single = grouped;
    single.alerts.grouping.group = false;
    m.assembly->Reconfigure(single);
    Cycle(m);
    EXPECT_EQ(Count(m.log, "beep"), 28);
    ASSERT_EQ(m.reports.alerts.size(), 4u);
    for (const std::string& a : m.reports.alerts) {
      EXPECT_EQ(a.find('\n'), std::string::npos) << a;
    }

    m.assembly->Reconfigure(grouped);
    m.reports.alerts.clear();
    Cycle(m);
    EXPECT_EQ(Count(m.log, "beep"), 35);
    EXPECT_EQ(m.reports.alerts,
              std::vector<std::string>{"erols delivered IP 127.0.4.2 Is Down!\nIP 127.0.4.5 Is "
                                       "Down!\nIP 127.0.4.13 Is Down!\nIP 127.0.4.40 Is Down!"});
  }
}

}  // namespace
}  // namespace tallyvox::monitor::testing

namespace tallyvox::monitor::testing {
namespace {

// With parallel probing a mail server that never answers holds no probe:
// the cycle ends while the deliveries wait on a worker of their own; their
// failures come back in order, each with its message box on the monitor's
// thread. A sequential cycle waits for them, as the window does.
TEST(DeliveryWorkerTest, DeliveriesDoNotHoldTheParallelCycle) {
  tallyvox::testing::TempDir dir;
  LoopbackListener mail_server(16);  // takes connections, never answers
  for (int parallel : {1, 4}) {
    SCOPED_TRACE("parallel " + std::to_string(parallel));
    Settings s = TestSettings(MakeAuditTable(dir), 9, mail_server.port(), "");
    s.mail.delivery_bound_ms = 1000;
    s.probe.parallel = parallel;
    s.roster[4] = {"127.0.4.5", true};  // refused
    s.roster[12] = {"127.0.4.13", true};
    RealMonitor m(s);
    m.monitor().ResetOkCounters();
    m.monitor().Handle([&] { m.monitor().DoPoll(); });
    ASSERT_TRUE(SpinUntil([&] { return !m.monitor().CycleRunning(); }));
    const size_t told_at_the_end = m.reports.alerts.size();
    SpinUntil([&] { return m.view.messages.size() >= 2; });
    EXPECT_EQ(told_at_the_end, parallel == 1 ? 2u : 0u);
    // In the order raised: the order the two probes ended in.
    std::vector<std::string> raised;
    for (const ProbeEvent& p : m.reports.probes) {
      raised.push_back("erols failed IP " + p.address + " Is Down!");
    }
    ASSERT_EQ(raised.size(), 2u);
    EXPECT_EQ(m.reports.alerts, raised);
    EXPECT_EQ(m.view.messages.size(), 2u);
  }
}

}  // namespace
}  // namespace tallyvox::monitor::testing
