// The stall guard: from a thread of its own it finds the monitor thread held
// by a mail delivery that waits on the final "." of DATA, which the window's
// watchdog cannot see, and mails once through its own mail components; it
// keeps an undelivered alert in the outbox for the monitor's retry; a long
// cycle whose probes keep starting and an open message box are no stalls;
// and a stop while the monitor and the guard both wait still ends at once.
#include <gtest/gtest.h>

#include <QTimer>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "assembly/runner.h"
#include "assembly/stall_guard.h"
#include "metrics/monitor_metrics.h"
#include "net/socket_registry.h"
#include "outbox/alert_file.h"
#include "support/app_fixture.h"
#include "support/monitor_fakes.h"

namespace tallyvox::monitor::testing {
namespace {

using namespace std::chrono_literals;
using SteadyClock = std::chrono::steady_clock;
using tallyvox::testing::ScriptedServer;
using tallyvox::testing::TestCertificate;

// What the guard reports, from its threads.
class StallRecord : public StallListener {
 public:
  void StallChecked(bool stalled, double) override {
    std::lock_guard<std::mutex> lock(mu_);
    if (stalled && !stalled_) ++found_;
    stalled_ = stalled;
  }
  void StallLog(const std::string& line) override {
    std::lock_guard<std::mutex> lock(mu_);
    log_ += line + "\n";
  }
  int Found() {
    std::lock_guard<std::mutex> lock(mu_);
    return found_;
  }
  bool Stalled() {
    std::lock_guard<std::mutex> lock(mu_);
    return stalled_;
  }
  std::string Log() {
    std::lock_guard<std::mutex> lock(mu_);
    return log_;
  }

 private:
  std::mutex mu_;
  int found_ = 0;
  bool stalled_ = false;
  std::string log_;
};

// A monitor over the fakes on the test's thread, its pulse timer running and
// a guard with `limit` watching it (no mail account ticked: it mails nothing).
struct FakeGuarded {
  explicit FakeGuarded(std::chrono::milliseconds limit) {
    m.monitor.StartPulse(PulsePeriod(limit));
    guard = std::make_unique<StallGuard>(m.monitor.Pulse(),
                                         StallGuardOptions{limit, &m.view.inputs, {&record}},
                                         MailSettings{}, nullptr, m.stop);
  }
  FakeMonitor m;
  StallRecord record;
  std::unique_ptr<StallGuard> guard;
};

TEST(StallGuardTest, AProgressingCycleAndAnOpenMessageBoxAreNoStalls) {
  const auto limit = 1000ms;
  FakeGuarded g(limit);
  // Six rows, each failing after 0.35 s: one handler of more than twice the limit.
  g.m.Tick({1, 2, 3, 4, 5, 6});
  for (int row = 1; row <= 6; ++row) g.m.probe.down.push_back(FakeMonitor::Address(row));
  g.m.probe.on_run = [](const std::string&) { std::this_thread::sleep_for(350ms); };
  const auto start = SteadyClock::now();
  g.m.monitor.Handle([&] { g.m.monitor.DoPoll(); });
  EXPECT_GT(SteadyClock::now() - start, 2 * limit);
  EXPECT_EQ(Count(g.m.log, "SendError IP 10.0.0.6 Is Down!"), 1);
  EXPECT_EQ(g.record.Found(), 0) << "the cycle: " << g.record.Log();
  // A message box the operator closes after twice the limit: its loop ticks.
  g.m.view.on_message = [](const std::string&, ModalLoop& box) {
    QTimer::singleShot(2000, [&box] { box.Close(); });
  };
  g.m.monitor.Handle([&] { g.m.view.ShowMessage("IP 10.0.0.6 Is Down!"); });
  EXPECT_EQ(g.record.Found(), 0) << "the box: " << g.record.Log();

  // The same guard finds a probe that holds the thread past the limit, once,
  // and re-arms when the thread gets on.
  g.m.Tick({7});
  g.m.view.inputs.SetChecked(Roster::Row(1).check_box, false);
  for (int row = 2; row <= 6; ++row) g.m.view.inputs.SetChecked(Roster::Row(row).check_box, false);
  g.m.probe.on_run = [](const std::string&) { std::this_thread::sleep_for(2500ms); };
  g.m.monitor.Handle([&] { g.m.monitor.DoPoll(); });
  EXPECT_TRUE(WaitUntil([&] { return !g.record.Stalled(); }, 5s));
  EXPECT_EQ(g.record.Found(), 1) << g.record.Log();
  const std::string log = g.record.Log();
  EXPECT_NE(log.find("stall guard: the monitor thread has made no progress for "),
            std::string::npos)
      << log;
  EXPECT_NE(log.find("stall guard: the monitor thread makes progress again after 2."),
            std::string::npos)
      << log;
  // No alert account ticked: nothing is sent.
  EXPECT_TRUE(WaitUntil(
      [&] { return g.record.Log().find("no alert account is selected") != std::string::npos; }, 5s))
      << g.record.Log();
}

// A monitor run by MonitorRunner, as the programs run it, with a stall guard.
class Guarded {
 public:
  Guarded(Settings settings, std::chrono::milliseconds limit, std::vector<StallListener*> listeners,
          MonitorObserver* observer)
      : settings_(std::move(settings)), view_(inputs_), runner_([this, observer](StopSignal& stop) {
          return std::make_unique<MonitorAssembly>(settings_, view_, stop, observer);
        }) {
    net::SocketRegistry::Reopen();
    FillInputs(settings_, inputs_);
    runner_.GuardStalls({limit, &inputs_, std::move(listeners)});
    runner_.Start(
        [](MonitorAssembly* a, const std::string& error) { ASSERT_NE(a, nullptr) << error; });
  }
  ~Guarded() {
    runner_.Stop(1s);
    net::SocketRegistry::Reopen();
  }
  MonitorRunner& runner() { return runner_; }

 private:
  Settings settings_;
  InputStore inputs_;
  SilentView view_;
  MonitorRunner runner_;
};

std::string Body(const std::string& data) {
  const size_t at = data.find("\r\n\r\n");
  return at == std::string::npos ? "" : data.substr(at + 4);
}

int Occurrences(const std::string& text, const std::string& needle) {
  int n = 0;
  for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) ++n;
  return n;
}

constexpr char kHeldHost[] = "127.0.5.1";

// The suite's aiosmtpd on 127.0.0.1 is the healthy server; a scripted server
// on 127.0.5.1, at the same port (the mail port is one for all accounts),
// never answers the final "." of DATA.
class StallGuardRealTest : public PeersTest {
 protected:
  static void SetUpTestSuite() {
    PeersTest::SetUpTestSuite();
    held_cert_ = new TestCertificate(peers_->ca.Issue("held-mail", {kHeldHost}));
  }
  static void TearDownTestSuite() {
    delete held_cert_;
    held_cert_ = nullptr;
    PeersTest::TearDownTestSuite();
  }

  std::unique_ptr<ScriptedServer> HeldServer() {
    return std::make_unique<ScriptedServer>(*held_cert_, R"({"data_end": ["SILENT"]})", true,
                                            kHeldHost, peers_->smtp->port());
  }

  // Row 1 probes 127.0.4.1, where nobody listens; quell_brindle mails to the
  // healthy server, erols to the held one, which the monitor waits on for
  // erols' data_timeout_ms.
  Settings HeldSettings(int32_t data_timeout_ms) {
    Settings s =
        TestSettings(MakeAuditTable(dir_), 9, peers_->smtp->port(), peers_->ca.ca_cert_file());
    s.roster[0] = {"127.0.4.1", true};
    s.mail.accounts[1].use = true;
    s.mail.accounts[3].host = kHeldHost;
    s.mail.accounts[3].data_timeout_ms = data_timeout_ms;
    return s;
  }

  // Messages to the healthy server since `first` whose body is `body`.
  int Received(size_t first, const std::string& body) {
    const auto mails = peers_->smtp->Messages(0, 0ms);
    int n = 0;
    for (size_t i = first; i < mails.size(); ++i) n += Body(mails[i].data) == body + "\r\n";
    return n;
  }

  static inline TestCertificate* held_cert_ = nullptr;
};

double Value(const metrics::MonitorMetrics& m, const char* name) {
  return m.store().Value(name, {}, -1);
}

TEST_F(StallGuardRealTest, AlertArrivesOnceWhileADeliveryWaitsOnTheFinalDot) {
  const auto held_server = HeldServer();
  const size_t first = MailsSoFar();
  metrics::MonitorMetrics metrics;
  StallRecord record;
  const auto limit = 1500ms;
  Guarded m(HeldSettings(5000), limit, {&metrics, &record}, &metrics);
  EXPECT_EQ(Value(metrics, "tallyvox_monitor_stalled"), 0);
  m.runner().Post([](Monitor& monitor) { monitor.Handle([&] { monitor.DoPoll(); }); });

  // Row 1 fails; its alert goes out through quell_brindle, then the monitor
  // thread waits on the held server's answer to the final ".".
  ASSERT_TRUE(held_server->WaitForReceived("\r\n.\r\n", 15s)) << held_server->Received();
  const auto held = SteadyClock::now();
  // The guard finds the stall: the metric reads 1 meanwhile.
  EXPECT_TRUE(WaitUntil([&] { return Value(metrics, "tallyvox_monitor_stalled") == 1; }, 10s))
      << record.Log();
  EXPECT_GT(Value(metrics, "tallyvox_monitor_stalled_seconds"), 1.4);
  // Its alert reaches the healthy server within the limit + 10 s.
  const std::string alert = "IP 127.0.4.1 Is Not Responding!";
  EXPECT_TRUE(WaitUntil([&] { return Received(first, alert) == 1; }, 10s)) << record.Log();
  EXPECT_LT(SteadyClock::now() - held, limit + 10s);

  // The monitor's wait ends after erols' data_timeout_ms (5 s): it gets on,
  // the guard re-arms and the metric reads 0 again.
  EXPECT_TRUE(WaitUntil([&] { return Value(metrics, "tallyvox_monitor_stalled") == 0; }, 15s))
      << record.Log();
  EXPECT_EQ(Value(metrics, "tallyvox_monitor_stalled_seconds"), 0);
  EXPECT_GT(SteadyClock::now() - held, 4s);
  std::this_thread::sleep_for(2 * limit);
  EXPECT_EQ(Received(first, alert), 1);  // once for the stall
  EXPECT_EQ(Received(first, "IP 127.0.4.1 Is Down!"), 1);
  EXPECT_EQ(record.Found(), 1);
  const std::string log = record.Log();
  EXPECT_NE(log.find("stall guard: alert quell_brindle: delivered \"" + alert + "\""),
            std::string::npos)
      << log;
  EXPECT_NE(log.find("stall guard: the monitor thread makes progress again after "),
            std::string::npos)
      << log;
  // The guard's delivery counts with the monitor's.
  EXPECT_EQ(metrics.store().Value("tallyvox_alerts_sent_total", {{"account", "quell_brindle"}}), 2);
}

// Only erols, the held account, is ticked: the guard's own delivery waits on
// the final "." as well. A stop still ends both at once: the guard's
// delivery, and its watch, which does not wait for its next check (the limit
// is longer than the second a stop may take).
TEST_F(StallGuardRealTest, AStopWhileTheMonitorAndTheGuardWaitEndsWithinASecond) {
  const auto held_server = HeldServer();
  Settings settings = HeldSettings(kMailDeliveryBoundMs);
  settings.mail.accounts[1].use = false;
  StallRecord record;
  Guarded m(settings, 3000ms, {&record}, nullptr);
  m.runner().Post([](Monitor& monitor) { monitor.Handle([&] { monitor.DoPoll(); }); });
  ASSERT_TRUE(
      WaitUntil([&] { return Occurrences(held_server->Received(), "\r\n.\r\n") == 2; }, 15s))
      << record.Log();
  std::this_thread::sleep_for(200ms);
  const auto stop_at = SteadyClock::now();
  EXPECT_TRUE(m.runner().Stop(1s));
  EXPECT_LT(SteadyClock::now() - stop_at, 1s);
  EXPECT_EQ(record.Found(), 1);
}

// Reports, thread-safe, what the outbox holds after each change.
struct PendingCount : MonitorObserver {
  void OutboxChanged(int pending) override { last = pending; }
  std::atomic<int> last{-1};
};

// The monitor thread held by the test mail (which does not go through the
// outbox) on sorrel_brindle, the guard's alert finds no account that takes
// it (quell_brindle's server refuses): it is kept in the outbox, and the
// monitor, once it gets on, counts it and schedules its retry.
TEST_F(StallGuardRealTest, AnAlertNoAccountDeliveredWaitsInTheOutboxForTheRetry) {
  const auto held_server = HeldServer();
  Settings settings = HeldSettings(3000);
  settings.mail.accounts[1].host = "127.0.6.1";           // nobody listens there
  settings.mail.accounts[2] = settings.mail.accounts[3];  // sorrel_brindle: held
  settings.mail.accounts[3].use = false;
  settings.alerts.outbox = dir_.File("outbox");
  StallRecord record;
  PendingCount pending;
  std::atomic<bool> idle{false};  // set by posted calls: declared before the monitor
  std::atomic<int> scheduled{-1};
  Guarded m(settings, 1500ms, {&record}, &pending);
  // The start-up retry has opened the outbox and found it empty: no retry is
  // due when the stall comes.
  ASSERT_TRUE(WaitUntil(
      [&] {
        m.runner().PostToAssembly([&idle](MonitorAssembly& a) {
          idle = a.dispatch().outbox()->IsOpen() && !a.dispatch().RetryScheduled();
        });
        return idle.load();
      },
      10s));
  m.runner().Post([](Monitor& monitor) { monitor.Handle([&] { monitor.Button3Click(); }); });

  ASSERT_TRUE(WaitUntil([&] { return pending.last == 1; }, 15s)) << record.Log();
  EXPECT_TRUE(held_server->WaitForReceived("is Down!", 0ms));  // the test mail held it
  std::vector<std::string> files;
  for (const auto& e : std::filesystem::directory_iterator(settings.alerts.outbox)) {
    if (e.path().extension() == ".alert") files.push_back(e.path());
  }
  ASSERT_EQ(files.size(), 1u) << record.Log();
  const QueuedAlert alert = ParseAlertFile(tallyvox::testing::ReadFile(files[0]));
  EXPECT_EQ(alert.text, "IP  Is Not Responding!");  // no probe yet: no address
  EXPECT_EQ(alert.subject, kDownSubject);
  EXPECT_EQ(alert.accounts, std::vector<std::string>{"quell_brindle"});
  m.runner().PostToAssembly(
      [&scheduled](MonitorAssembly& a) { scheduled = a.dispatch().RetryScheduled(); });
  EXPECT_TRUE(WaitUntil([&] { return scheduled != -1; }, 5s));
  EXPECT_EQ(scheduled, 1);
  const std::string log = record.Log();
  // The failure names the account's server.
  EXPECT_NE(log.find("stall guard: alert quell_brindle: FAILED \"IP  Is Not Responding!\": "
                     "127.0.6.1:" +
                     std::to_string(settings.mail.port) + ": "),
            std::string::npos)
      << log;
  EXPECT_NE(log.find("alert queued in the outbox"), std::string::npos) << log;
}

}  // namespace
}  // namespace tallyvox::monitor::testing
