// The monitor's probe and cycle events: each names its row and address
// itself, comes once per row and cycle, at its place among the view's
// operations, and carries the status text and the alert decision.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "support/monitor_fakes.h"

namespace tallyvox::monitor::testing {
namespace {

// Records the events, and each probe event's place in the call log.
struct EventLog : MonitorObserver {
  explicit EventLog(CallLog& log) : log(log) {}
  void ProbeFinished(const ProbeEvent& e) override {
    probes.push_back(e);
    if (!e.answered() && !e.failed()) return;
    log.push_back("event row " + std::to_string(e.row));
  }
  void CycleFinished(const CycleEvent& e) override { cycles.push_back(e); }
  CallLog& log;
  std::vector<ProbeEvent> probes;
  std::vector<CycleEvent> cycles;
};

// A monitor over the fakes with an EventLog added.
struct ObservedMonitor : FakeMonitor {
  ObservedMonitor() { observers.Add(&events); }
  EventLog events{log};
};

TEST(ProbeEventTest, EachProbeNamesItsRowAndCarriesItsResult) {
  ObservedMonitor m;
  m.Tick({2, 5, 20});
  m.view.inputs.SetText(Roster::Row(3).edit, "10.0.0.3");  // not ticked
  m.probe.down = {"10.0.0.5", "10.0.0.20"};
  m.probe.on_run = [&](const std::string& address) {
    if (address == "10.0.0.5") m.monitor.NoteTransportError("Socket Error # 10061\r\nrefused.");
    if (address == "10.0.0.20") m.monitor.NoteTransportError("Connection lost.");
  };
  const TDateTime start = m.clock.now;
  m.monitor.DoPoll();

  std::vector<ProbeEvent> probed;
  for (const ProbeEvent& e : m.events.probes) {
    if (e.outcome != ProbeEvent::Outcome::kSkipped) probed.push_back(e);
  }
  ASSERT_EQ(probed.size(), 3u);
  struct Want {
    int row;
    ProbeEvent::Outcome outcome;
    int32_t count;
    std::string status;
    std::string reason;
    AlertState::Kind alert;
  };
  const std::vector<Want> wants = {
      {2, ProbeEvent::Outcome::kAnswered, 1, "OK 1", "", AlertState::Kind::kNone},
      {5, ProbeEvent::Outcome::kFailed, 0, "Problem " + LongTimeText(start),
       "Connection lost. (Socket Error # 10061 refused.)", AlertState::Kind::kRaised},
      // The transport's own message is not said twice; row 20 shows no time.
      {20, ProbeEvent::Outcome::kFailed, 0, "Problem", "Connection lost.",
       AlertState::Kind::kRaised},
  };
  for (size_t i = 0; i < wants.size(); ++i) {
    const Want& w = wants[i];
    const ProbeEvent& e = probed[i];
    SCOPED_TRACE(w.row);
    EXPECT_EQ(e.row, w.row);
    EXPECT_EQ(e.address, FakeMonitor::Address(w.row));
    EXPECT_EQ(e.outcome, w.outcome);
    EXPECT_EQ(e.count, w.count);
    EXPECT_EQ(e.status_text, w.status);
    EXPECT_EQ(m.view.texts[Roster::Row(w.row).label], w.status);  // one text, two readers
    EXPECT_EQ(e.reason, w.reason);
    EXPECT_EQ(e.alert.kind, w.alert);
    EXPECT_EQ(e.start, start);
  }

  // Every other row is reported passed over, with the address it holds.
  ASSERT_EQ(m.events.probes.size(), static_cast<size_t>(kRosterRows));
  EXPECT_EQ(m.events.probes[2].row, 3);
  EXPECT_EQ(m.events.probes[2].outcome, ProbeEvent::Outcome::kSkipped);
  EXPECT_EQ(m.events.probes[2].address, "10.0.0.3");

  ASSERT_EQ(m.events.cycles.size(), 1u);
  const CycleEvent& c = m.events.cycles[0];
  EXPECT_EQ(c.rows, 3);
  EXPECT_EQ(c.failed, 2);
  EXPECT_EQ(c.skipped, kRosterRows - 3);
  EXPECT_EQ(c.start, start);
  EXPECT_EQ(c.end, start);
  EXPECT_FALSE(c.ended_by_error);
}

// The event comes once, after the row's status text and before the beeps and
// the alert it decided: a console line or a tool tip made from it stands
// where the status line does.
TEST(ProbeEventTest, ComesOnceBetweenTheStatusTextAndTheAlert) {
  ObservedMonitor m;
  m.Tick({5});
  m.probe.down = {"10.0.0.5"};
  m.monitor.DoPoll();
  const CallLog& log = m.log;
  auto at = [&](const std::string& entry) {
    return std::find(log.begin(), log.end(), entry) - log.begin();
  };
  EXPECT_EQ(std::count(log.begin(), log.end(), "event row 5"), 1);
  EXPECT_EQ(at("event row 5"), at("text Label5 Problem " + LongTimeText(m.clock.now)) + 1);
  EXPECT_EQ(at("beep"), at("event row 5") + 1);
  EXPECT_LT(at("event row 5"), at("SendError IP 10.0.0.5 Is Down!"));
}

// The same row probed again at another address is reported at that address.
TEST(ProbeEventTest, AnAddressChangedBetweenCyclesIsTheOneReported) {
  ObservedMonitor m;
  m.Tick({7});
  m.monitor.DoPoll();
  m.view.inputs.SetText(Roster::Row(7).edit, "10.0.9.7");
  m.monitor.DoPoll();
  std::vector<std::string> addresses;
  for (const ProbeEvent& e : m.events.probes) {
    if (e.row == 7) addresses.push_back(e.address);
  }
  EXPECT_EQ(addresses, (std::vector<std::string>{"10.0.0.7", "10.0.9.7"}));
}

}  // namespace
}  // namespace tallyvox::monitor::testing
