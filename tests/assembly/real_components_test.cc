// The monitor over its real components against real peers: mwserver on
// loopback addresses at the probe port of the settings, an audit table in a
// temporary folder, aiosmtpd with implicit TLS and a test CA.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "dbe/dbe_engine.h"
#include "monitor/time_text.h"
#include "support/fault_env.h"
#include "support/loopback_socket.h"
#include "support/real_fixture.h"

namespace tallyvox::monitor::testing {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

class RealComponentsTest : public PeersTest {
 protected:
  // Settings with the probe port of a server on 127.0.3.x.
  Settings MakeSettings(int probe_port) {
    return TestSettings(MakeAuditTable(dir_), probe_port, peers_->smtp->port(),
                        peers_->ca.ca_cert_file());
  }
};

// The probe port of tests that probe no server.
constexpr int kUnusedProbePort = 9;

// A server that is alive but slow to accept: on 127.0.0.1 with a full accept
// queue, so handshakes go unanswered, until `after` from AcceptAfter(); from
// then on it accepts and relays each connection, one at a time, to
// 127.0.0.1:`target`.
class SlowToAccept {
 public:
  explicit SlowToAccept(int target) : target_(target) {}
  ~SlowToAccept() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
  }
  int port() const { return queue_.port(); }
  void AcceptAfter(std::chrono::milliseconds after) {
    thread_ = std::thread([this, after] { Run(after); });
  }

 private:
  bool Wait(int fd, int ms) {
    pollfd p{fd, POLLIN, 0};
    return ::poll(&p, 1, ms) == 1;
  }
  void Run(std::chrono::milliseconds after) {
    const auto release = Clock::now() + after;
    while (!stop_ && Clock::now() < release) std::this_thread::sleep_for(5ms);
    queue_.ReleaseFillers();
    while (!stop_) {
      if (!Wait(queue_.listen_fd(), 50)) continue;
      const int client = ::accept(queue_.listen_fd(), nullptr, nullptr);
      if (client >= 0) Relay(client);
    }
  }
  void Relay(int client) {
    const int server = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const sockaddr_in target = tallyvox::testing::LoopbackAddress(target_);
    bool open = ::connect(server, reinterpret_cast<const sockaddr*>(&target), sizeof target) == 0;
    while (open && !stop_) {
      pollfd fds[2] = {{client, POLLIN, 0}, {server, POLLIN, 0}};
      if (::poll(fds, 2, 50) <= 0) continue;
      for (int i = 0; i < 2 && open; ++i) {
        if (fds[i].revents == 0) continue;
        char buffer[4096];
        const ssize_t n = ::recv(fds[i].fd, buffer, sizeof buffer, 0);
        open = n > 0 && ::send(fds[1 - i].fd, buffer, static_cast<size_t>(n), MSG_NOSIGNAL) == n;
      }
    }
    ::close(server);
    ::close(client);
  }

  tallyvox::testing::FullAcceptQueue queue_;
  int target_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

std::string Body(const std::string& data) {
  const size_t at = data.find("\r\n\r\n");
  return at == std::string::npos ? "" : data.substr(at + 4);
}

TEST_F(RealComponentsTest, OneCycleAgainstHealthyAndRefusingServers) {
  MwServerProcess servers({"--listen", "127.0.3.1-127.0.3.111:0"});
  ASSERT_TRUE(servers.ready()) << servers.Output();
  const int port = servers.port();
  Settings settings = MakeSettings(port);
  settings.mail.accounts[1].use = true;  // quell_brindle and erols selected
  RealMonitor m(settings);
  for (int row : {1, 2, 28, 108, 111}) m.Row(row, "127.0.3." + std::to_string(row));
  m.Row(5, "127.0.4.5");  // nobody listens there: refused
  m.Row(13, "127.0.4.13");
  const size_t mails_before = MailsSoFar();

  m.monitor().FormShow();
  m.monitor().ResetOkCounters();
  m.monitor().DoPoll();

  EXPECT_EQ(m.view.texts["Label1"], "OK 1");
  EXPECT_EQ(m.view.texts["Label2"], "OK 1");
  EXPECT_EQ(m.view.texts["Label111"], "OK 1");  // row 28
  EXPECT_EQ(m.view.texts["Label112"], "OK 2");  // row 108 shares its counter
  EXPECT_EQ(m.view.texts["Label115"], "OK 1");  // row 111
  EXPECT_EQ(m.view.texts["Label5"].rfind("Problem ", 0), 0u);
  EXPECT_EQ(m.view.texts["Label5"].size(), std::string("Problem 12:00:00").size());
  EXPECT_EQ(m.view.texts["Label14"], "Problem");  // row 13: no time
  for (const char* label : {"Label1", "Label5", "Label14", "Label112"}) {
    EXPECT_EQ(m.view.colours[label], TColour::clBlack) << label;
  }
  EXPECT_EQ(Count(m.log, "beep"), 14);
  // The problem indicator shows during the first failed probe, before its row's outcome.
  const auto indicator = std::find(m.log.begin(), m.log.end(), "text Label18 Problem");
  const auto outcome = std::find_if(m.log.begin(), m.log.end(), [](const std::string& e) {
    return e.rfind("text Label5 Problem", 0) == 0;
  });
  ASSERT_NE(indicator, m.log.end());
  EXPECT_LT(indicator, outcome);
  EXPECT_EQ(m.view.messages.size(), 0u);  // every delivery succeeded

  // One mail per failed row and selected account, through quell_brindle then erols.
  EXPECT_EQ(m.reports.alerts,
            (std::vector<std::string>{"quell_brindle delivered IP 127.0.4.5 Is Down!",
                                      "erols delivered IP 127.0.4.5 Is Down!",
                                      "quell_brindle delivered IP 127.0.4.13 Is Down!",
                                      "erols delivered IP 127.0.4.13 Is Down!"}));
  const auto mails = peers_->smtp->Messages(mails_before + 4);
  ASSERT_EQ(mails.size(), mails_before + 4);
  const auto& last = mails.back();
  EXPECT_EQ(last.rcpt_tos, (std::vector<std::string>{"quell@home.example", "5550100@txt.example"}));
  EXPECT_NE(last.data.find("Subject: Server Down!"), std::string::npos);
  EXPECT_EQ(Body(last.data), "IP 127.0.4.13 Is Down!\r\n");

  // The failed probes' messages are kept for display.
  ASSERT_EQ(m.reports.probes.size(), 7u);
  EXPECT_TRUE(m.reports.probes[2].failed());
  EXPECT_EQ(m.reports.probes[2].reason.rfind("Connection lost. (", 0), 0u)
      << m.reports.probes[2].reason;
  // And so is the transport failure behind it, which that message hides.
  EXPECT_NE(m.reports.probes[2].reason.find("refused"), std::string::npos)
      << m.reports.probes[2].reason;
  EXPECT_TRUE(m.reports.probes[0].answered());
  EXPECT_EQ(m.reports.probes[0].reason, "");
  ASSERT_EQ(m.reports.cycles.size(), 1u);
  EXPECT_EQ(m.reports.cycles[0].rows, 7);
  EXPECT_EQ(m.reports.cycles[0].failed, 2);

  // A second cycle counts on.
  m.monitor().DoPoll();
  EXPECT_EQ(m.view.texts["Label1"], "OK 2");
  EXPECT_EQ(m.view.texts["Label111"], "OK 3");
  EXPECT_EQ(m.view.texts["Label112"], "OK 4");

  // The audit table holds one record: the last probed address and its start.
  const TDateTime start = m.monitor().LastProbeStart();
  m.assembly.reset();
  const auto records = AuditRecords(dir_.path());
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].substr(0, records[0].find('|')), "127.0.3.111");
  const double stored = std::strtod(records[0].c_str() + records[0].find('|') + 1, nullptr);
  EXPECT_NEAR(stored, TimeOfDayPart(start), 1e-9);
}

// Another writer on the audit table (a second monitor, or `dbetool record` in a loop)
// holds the record for the length of one write. A probe whose audit write meets that
// lock waits for it, and every cycle probes all its rows; without the wait about every
// other cycle ended at "Record 1 is locked by another user".
TEST_F(RealComponentsTest, CyclesBesideADbetoolRecordLoopProbeAllTheirRows) {
  MwServerProcess servers({"--listen", "127.0.3.1-127.0.3.111:0"});
  ASSERT_TRUE(servers.ready()) << servers.Output();
  tallyvox::testing::FaultEnv env;  // counts the lock attempts refused to the monitor
  RealMonitor m(MakeSettings(servers.port()));
  for (int row = 1; row <= kRosterRows; ++row) m.Row(row, "127.0.3." + std::to_string(row));
  const std::string record = tallyvox::testing::BinaryDir() + "/tools/dbetool record " +
                             dir_.File("config.dbf") + " 10.9.9.9 >/dev/null 2>&1";
  std::atomic<bool> stop{false};
  std::atomic<int> writes{0};
  std::thread writer([&] {
    for (int i = 0; i < 5000 && !stop; ++i) writes += tallyvox::testing::RunCommand(record) == 0;
  });
  m.monitor().FormShow();
  m.monitor().ResetOkCounters();
  // Until the monitor met the writer's lock: within a second or so, and later on a
  // loaded machine, where the writer starts fewer processes a second.
  const uint64_t lock_byte = dbe::kDbeLockBase + 1;
  const auto deadline = Clock::now() + 15s;
  while (env.RefusedLocks(lock_byte) == 0 && m.reports.cycles.size() < 300 &&
         Clock::now() < deadline) {
    try {
      m.monitor().DoPoll();
    } catch (const std::exception&) {
      // reported as the cycle's error, checked below
    }
  }
  stop = true;
  writer.join();
  EXPECT_GE(env.RefusedLocks(lock_byte), 1)
      << "no audit write met the writer's lock in " << m.reports.cycles.size() << " cycles beside "
      << writes.load() << " writes";
  EXPECT_GT(writes.load(), 0);
  ASSERT_FALSE(m.reports.cycles.empty());
  for (const CycleEvent& cycle : m.reports.cycles) {
    EXPECT_FALSE(cycle.ended_by_error) << cycle.error;
    EXPECT_EQ(cycle.rows, kRosterRows);
    EXPECT_EQ(cycle.failed, 0);
  }
  m.assembly.reset();  // the table is closed before its Env goes
}

TEST_F(RealComponentsTest, MissingAuditTableEndsEveryCycleBeforeAnyProbe) {
  Settings settings = MakeSettings(kUnusedProbePort);
  settings.audit_table = "absent.dbf";
  RealMonitor m(settings);
  m.Row(2, "127.0.3.2");
  for (int cycle = 0; cycle < 2; ++cycle) m.monitor().Handle([&] { m.monitor().DoPoll(); });
  ASSERT_EQ(m.view.errors.size(), 2u);
  EXPECT_EQ(m.view.errors[0].rfind("DbeTable1: ", 0), 0u) << m.view.errors[0];
  EXPECT_TRUE(m.reports.probes.empty());
  EXPECT_EQ(m.view.texts.count("Label2"), 0u);
  ASSERT_EQ(m.reports.cycles.size(), 2u);
  EXPECT_TRUE(m.reports.cycles[0].ended_by_error);
}

// Each probe is bounded: a server that accepts and never answers by the
// request time-out, a host that never answers the connect by the connect
// time-out (the pool's connect and the request's share it).
TEST_F(RealComponentsTest, SilentAndBlackholedServersFailWithinTheirTimeOuts) {
  MwServerProcess silent({"--fault", "silent", "--listen", "127.0.3.1:0"});
  ASSERT_TRUE(silent.ready()) << silent.Output();
  const int port = silent.port();
  tallyvox::testing::FullAcceptQueue blackhole;
  struct Case {
    const char* name;
    std::string address;
    int port;
    int connect_timeout, request_timeout;
    std::chrono::milliseconds at_least, at_most;
  };
  const std::vector<Case> cases = {
      {"silent", "127.0.3.1", port, 30, 1, 900ms, 1s + 2s},
      {"blackholed", "127.0.0.1", blackhole.port(), 1, 30, 900ms, 1s + 700ms},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Settings settings = MakeSettings(c.port);
    settings.probe.connect_timeout = c.connect_timeout;
    settings.probe.request_timeout = c.request_timeout;
    settings.mail.accounts[3].use = false;  // no mail for this one
    RealMonitor m(settings);
    m.Row(2, c.address);
    const auto start = Clock::now();
    m.monitor().DoPoll();
    const auto took = Clock::now() - start;
    EXPECT_EQ(m.view.texts["Label2"].rfind("Problem ", 0), 0u);
    EXPECT_GE(took, c.at_least);
    EXPECT_LE(took, c.at_most);
  }
}

// A server that accepts late, within the connect time-out, answers: the
// probe's deadline does not cut short a connect that completes in time.
TEST_F(RealComponentsTest, ServerSlowToAcceptWithinTheConnectTimeOutAnswers) {
  MwServerProcess server({"--listen", "127.0.0.1:0"});
  ASSERT_TRUE(server.ready()) << server.Output();
  SlowToAccept slow(server.port());
  Settings settings = MakeSettings(slow.port());
  settings.probe.connect_timeout = 3;
  settings.mail.accounts[3].use = false;
  RealMonitor m(settings);
  m.Row(2, "127.0.0.1");
  slow.AcceptAfter(400ms);
  const auto start = Clock::now();
  m.monitor().DoPoll();
  const auto took = Clock::now() - start;
  EXPECT_EQ(m.view.texts["Label2"], "OK 1");
  EXPECT_GE(took, 700ms);  // the first handshake went unanswered
  EXPECT_LT(took, 3s);
}

// Row 1 and the connection test keep pooled connections; after Edit1 is
// edited they must not probe the old server through them.
TEST_F(RealComponentsTest, EditedRowOneAddressIsProbedAfresh) {
  MwServerProcess server({"--listen", "127.0.3.1:0"});
  ASSERT_TRUE(server.ready()) << server.Output();
  Settings settings = MakeSettings(server.port());
  settings.mail.accounts[3].use = false;
  RealMonitor m(settings);
  m.view.inputs.SetText("Edit1", "127.0.3.1");
  m.monitor().Button2Click();
  EXPECT_EQ(m.view.texts["Label1"], "OK ");
  mw::TMwClientConnectionPool& pool = m.assembly->probe().MwClientConnectionPool1;
  EXPECT_TRUE(pool.Active());
  EXPECT_EQ(pool.ConnectionCount(), 1);  // kept for the next row-1 probe

  m.view.inputs.SetText("Edit1", "127.0.4.1");  // nobody listens there
  m.monitor().Button2Click();
  EXPECT_EQ(m.view.texts["Label1"], "Problem");

  // The same in a cycle with only row 1 ticked.
  m.Row(1, "127.0.3.1");
  m.monitor().DoPoll();
  EXPECT_EQ(m.view.texts["Label1"], "OK 1");
  m.monitor().DoPoll();
  EXPECT_EQ(m.view.texts["Label1"], "OK 2");  // reusing the kept connection
  EXPECT_EQ(server.CountLines("function=\"EXECUTE\""), 3) << server.Output();
  m.view.inputs.SetText("Edit1", "127.0.4.1");
  m.monitor().DoPoll();
  EXPECT_EQ(m.view.texts["Label1"].rfind("Problem ", 0), 0u);
}

TEST_F(RealComponentsTest, ConnectionTestWritesNoRecordCountsNothingAndKeepsThePool) {
  const tallyvox::testing::RefusingPort refused("127.0.4.1");
  RealMonitor m(MakeSettings(refused.port()));
  m.view.inputs.SetText("Edit1", "127.0.4.1");  // refused: a failure sends no alert either
  const size_t mails_before = MailsSoFar();
  m.monitor().FormShow();
  const TDateTime shown = m.monitor().LastProbeStart();
  m.monitor().Button2Click();
  EXPECT_EQ(m.view.texts["Label1"], "Problem");
  EXPECT_EQ(m.view.texts["Label18"], "Problem");
  EXPECT_EQ(Count(m.log, "beep"), 0);
  EXPECT_TRUE(m.reports.alerts.empty());
  EXPECT_EQ(m.monitor().LastProbeStart(), shown);
  EXPECT_EQ(m.monitor().Counters().Value(1), 1);
  EXPECT_TRUE(m.assembly->probe().MwClientConnectionPool1.Active());
  m.assembly.reset();
  EXPECT_TRUE(AuditRecords(dir_.path()).empty());
  EXPECT_EQ(MailsSoFar(), mails_before);
}

struct DispatchCase {
  const char* name;
  bool box108, box109, box114;
  std::string unreachable;              // account name whose host refuses
  std::vector<std::string> send_error;  // outcomes of SendError
  std::vector<std::string> email;       // outcomes of the "Email" button
  size_t boxes;                         // message boxes shown in all
};

TEST_F(RealComponentsTest, AlertDispatchThroughTheSelectedAccounts) {
  const std::string down = "IP 192.0.2.9 Is Down!";
  const std::string test = "IP 192.0.2.1 is Down!";
  const std::vector<DispatchCase> cases = {
      {"default selection",
       false,
       false,
       true,
       "",
       {"erols delivered " + down},
       {"erols delivered " + test},
       0},
      {"first unreachable, second delivers",
       true,
       false,
       true,
       "quell_brindle",
       {"quell_brindle failed " + down, "erols delivered " + down},
       {"quell_brindle failed " + test, "erols delivered " + test},
       2},
      {"only CheckBox109", false, true, false, "", {}, {"sorrel_brindle delivered " + test}, 0},
      {"none", false, false, false, "", {}, {"fallback delivered " + test}, 0},
      {"all three",
       true,
       true,
       true,
       "",
       {"quell_brindle delivered " + down, "erols delivered " + down},
       {"quell_brindle delivered " + test, "sorrel_brindle delivered " + test,
        "erols delivered " + test},
       0},
      {"fallback unreachable", false, false, false, "fallback", {}, {"fallback failed " + test}, 1},
  };
  for (const DispatchCase& c : cases) {
    SCOPED_TRACE(c.name);
    Settings settings = MakeSettings(kUnusedProbePort);
    for (int account = 1; account <= kMailAccounts; ++account) {
      if (c.unreachable == MailAccountName(account)) {
        settings.mail.accounts[static_cast<size_t>(account - 1)].host = "127.0.4.25";
      }
    }
    RealMonitor m(settings);
    m.view.inputs.SetChecked("CheckBox108", c.box108);
    m.view.inputs.SetChecked("CheckBox109", c.box109);
    m.view.inputs.SetChecked("CheckBox114", c.box114);
    const size_t mails_before = MailsSoFar();
    m.monitor().SendError(down);
    EXPECT_EQ(m.reports.alerts, c.send_error);
    m.reports.alerts.clear();
    m.monitor().Button3Click();
    EXPECT_EQ(m.reports.alerts, c.email);
    EXPECT_EQ(m.view.messages.size(), c.boxes);
    for (const std::string& box : m.view.messages) {
      EXPECT_NE(box.find("refused"), std::string::npos) << box;
    }
    size_t delivered = 0;
    for (const auto& list : {c.send_error, c.email}) {
      for (const std::string& o : list) delivered += o.find(" delivered ") != std::string::npos;
    }
    EXPECT_EQ(peers_->smtp->Messages(mails_before + delivered).size(), mails_before + delivered);
  }
}

TEST_F(RealComponentsTest, WatchdogAlertArrivesByMail) {
  RealMonitor m(MakeSettings(kUnusedProbePort));
  FakeClock clock;
  // The assembly with an injected clock.
  m.assembly.reset();
  m.assembly = std::make_unique<MonitorAssembly>(m.settings, m.view, m.stop, &m.reports, &clock);
  m.monitor().FormShow();
  clock.AdvanceSeconds(66);
  const size_t mails_before = MailsSoFar();
  m.monitor().Timer2Timer();
  const auto mails = peers_->smtp->Messages(mails_before + 1);
  ASSERT_EQ(mails.size(), mails_before + 1);
  EXPECT_NE(mails.back().data.find("Subject: Server Down!"), std::string::npos);
  EXPECT_EQ(Body(mails.back().data), "IP  Is Not Responding!\r\n");
}

}  // namespace
}  // namespace tallyvox::monitor::testing
