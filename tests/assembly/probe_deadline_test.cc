// One deadline for a whole probe, connect_timeout + request_timeout from its
// start, whatever the server sends: a server that sends a valid answer a
// byte every half second, and a host name whose lookup never answers, fail
// their row within it ("Problem", "Connection lost.", the reason noted)
// while the other rows answer; the "Connect" button likewise. The monitor
// runs over its real components against mwserver and a real audit table.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "net/resolver.h"
#include "support/real_fixture.h"

namespace tallyvox::monitor::testing {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

class ProbeDeadlineTest : public ::testing::Test {
 protected:
  // Time-outs of 1 + 1 s; no account ticked, so a failed row mails nothing.
  Settings MakeSettings(int probe_port) {
    Settings s = TestSettings(MakeAuditTable(dir_), probe_port, 9, "");
    s.probe.connect_timeout = 1;
    s.probe.request_timeout = 1;
    s.mail.accounts[3].use = false;
    return s;
  }
  static std::string Label(int row) { return Roster::Row(row).label; }

  TempDir dir_;
};

// The whole probe's bound and the slack the test allows beyond it.
constexpr auto kBudget = 2s;
constexpr auto kSlack = 1s;

TEST_F(ProbeDeadlineTest, ATricklingServerIsCutOffAtTheProbeDeadline) {
  MwServerProcess healthy({"--listen", "127.0.9.1-127.0.9.3:0"});
  ASSERT_TRUE(healthy.ready()) << healthy.Output();
  const int port = healthy.port();
  MwServerProcess trickling(
      {"--fault", "trickle", "--delay", "500", "--listen", "127.0.9.4:" + std::to_string(port)});
  ASSERT_TRUE(trickling.ready()) << trickling.Output();
  RealMonitor m(MakeSettings(port));
  m.Row(2, "127.0.9.1");
  m.Row(3, "127.0.9.4");  // a byte every 0.5 s: no wait reaches the request time-out
  m.Row(4, "127.0.9.2");
  m.Row(5, "127.0.9.3");

  const auto start = Clock::now();
  m.monitor().DoPoll();
  EXPECT_LE(Clock::now() - start, kBudget + kSlack);
  EXPECT_EQ(m.view.texts[Label(2)], "OK 1");
  EXPECT_EQ(m.view.texts[Label(3)].rfind("Problem ", 0), 0u) << m.view.texts[Label(3)];
  EXPECT_EQ(m.view.texts[Label(4)], "OK 1");
  EXPECT_EQ(m.view.texts[Label(5)], "OK 1");
  ASSERT_EQ(m.reports.probes.size(), 4u);
  const ProbeEvent& cut = m.reports.probes[1];
  EXPECT_TRUE(cut.failed());
  EXPECT_EQ(cut.reason, "Connection lost. (no answer within 2 s)");
  EXPECT_GE(cut.seconds, 1.9);
  EXPECT_LE(cut.seconds, 2.5);
  EXPECT_EQ(m.reports.cycles.at(0).failed, 1);

  // The "Connect" button's probe has the same deadline.
  m.view.inputs.SetText("Edit1", "127.0.9.4");
  const auto pressed = Clock::now();
  m.monitor().Button2Click();
  EXPECT_GE(Clock::now() - pressed, 1900ms);
  EXPECT_LE(Clock::now() - pressed, kBudget + kSlack);
  EXPECT_EQ(m.view.texts["Label1"], "Problem");
}

// A resolver that never answers until the test opens it (or 20 s pass, so
// that a lookup nothing abandons fails the test instead of holding it).
class StuckResolver : public net::TNetResolver {
 public:
  std::string Lookup(const std::string&) override {
    std::unique_lock<std::mutex> lock(mu_);
    cv_.wait_for(lock, 20s, [this] { return open_; });
    throw net::ENetSocketError(net::kWsaHostNotFound);
  }
  void Open() {
    std::lock_guard<std::mutex> lock(mu_);
    open_ = true;
    cv_.notify_all();
  }

 private:
  std::mutex mu_;
  std::condition_variable cv_;
  bool open_ = false;
};

// The lookup counts inside the probe's connect time-out, and so inside its
// deadline; the lookup left behind returns later without harm.
TEST_F(ProbeDeadlineTest, AHostNameWhoseLookupNeverAnswersFailsItsRowInTime) {
  MwServerProcess healthy({"--listen", "127.0.9.5:0"});
  ASSERT_TRUE(healthy.ready()) << healthy.Output();
  auto stuck = std::make_shared<StuckResolver>();
  const auto previous = net::SetResolver(stuck);
  {
    RealMonitor m(MakeSettings(healthy.port()));
    m.Row(2, "stuck.tallyvox.test");
    m.Row(3, "127.0.9.5");
    const auto start = Clock::now();
    m.monitor().DoPoll();
    EXPECT_LE(Clock::now() - start, kBudget + kSlack);
    EXPECT_EQ(m.view.texts[Label(2)].rfind("Problem ", 0), 0u) << m.view.texts[Label(2)];
    EXPECT_EQ(m.view.texts[Label(3)], "OK 1");
    ASSERT_EQ(m.reports.probes.size(), 2u);
    EXPECT_EQ(m.reports.probes[0].reason, "Connection lost. (Connect timed out.)");
    EXPECT_GE(net::AbandonedLookups(), 1);
  }
  stuck->Open();
  const auto until = Clock::now() + 5s;
  while (net::AbandonedLookups() > 0 && Clock::now() < until) std::this_thread::sleep_for(5ms);
  EXPECT_EQ(net::AbandonedLookups(), 0);
  net::SetResolver(previous);
}

}  // namespace
}  // namespace tallyvox::monitor::testing
