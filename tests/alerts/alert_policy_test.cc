// Which failures become alert mail: the defaults (every failure, as the
// window), confirmation, reminders and recovery mail with an injected
// clock, per-row state, and the watchdog. The monitor runs over fakes and
// alerts through a real AlertDispatch without an outbox.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "monitor/alert_stats.h"
#include "support/alert_fakes.h"

namespace tallyvox::monitor::testing {
namespace {

const std::string kDown5 = "send erols Server Down! | IP 10.0.0.5 Is Down!";
const std::string kUp5 = "send erols Server Up! | IP 10.0.0.5 Is Up!";

AlertSettings Policy(int confirm, int remind_minutes, bool recovery) {
  AlertSettings s;
  s.policy = {confirm, remind_minutes, recovery};
  return s;
}

// One probe of row 5: fails or answers.
void Probe5(DispatchMonitor& m, bool fails) {
  m.probe.down =
      fails ? std::vector<std::string>{FakeMonitor::Address(5)} : std::vector<std::string>{};
  m.monitor->DoPoll();
}

TEST(AlertPolicyTest, DefaultsAlertAtEveryFailureAndStallAsTheWindowDoes) {
  DispatchMonitor m(AlertSettings{});
  m.Tick({5, 28});
  m.view.inputs.SetChecked("CheckBox108", true);
  m.probe.down = {FakeMonitor::Address(5)};
  for (int cycle = 0; cycle < 3; ++cycle) m.monitor->DoPoll();
  const std::string quell = "send quell_brindle Server Down! | IP 10.0.0.5 Is Down!";
  EXPECT_EQ(m.TakeSends(), (std::vector<std::string>{quell, kDown5, quell, kDown5, quell, kDown5}));

  // A failing account shows its box; the alert is lost, nothing waits.
  m.mail.down = {"erols"};
  m.monitor->DoPoll();
  EXPECT_EQ(m.view.messages, std::vector<std::string>{"refused"});
  m.mail.down.clear();
  // Answers send nothing.
  m.probe.down.clear();
  m.monitor->DoPoll();
  EXPECT_EQ(m.TakeSends().size(), 2u);  // the failed cycle's two deliveries only

  // Every stalled watchdog check alerts.
  m.clock.AdvanceSeconds(66);
  m.monitor->Timer2Timer();
  m.clock.AdvanceSeconds(60);
  m.monitor->Timer2Timer();
  const std::string stalled = "IP 10.0.0.28 Is Not Responding!";
  EXPECT_EQ(m.TakeSends(), (std::vector<std::string>{"send quell_brindle Server Down! | " + stalled,
                                                     "send erols Server Down! | " + stalled,
                                                     "send quell_brindle Server Down! | " + stalled,
                                                     "send erols Server Down! | " + stalled}));
  EXPECT_TRUE(m.notes.held.empty());
  EXPECT_TRUE(m.notes.queued.empty());
}

// The second account's box is read after the first delivery, whose message
// box may be open while the operator unticks it.
TEST(AlertPolicyTest, EachAccountsBoxIsReadAtItsOwnStep) {
  DispatchMonitor m(AlertSettings{});
  m.view.inputs.SetChecked("CheckBox108", true);
  m.mail.down = {"quell_brindle"};
  m.view.on_message = [&](const std::string&, ModalLoop& box) {
    m.view.inputs.SetChecked("CheckBox114", false);
    box.Close();
  };
  m.monitor->SendError("IP 10.0.0.5 Is Down!");
  EXPECT_EQ(m.TakeSends(),
            std::vector<std::string>{"send quell_brindle Server Down! | IP 10.0.0.5 Is Down!"});
}

struct ConfirmCase {
  const char* name;
  std::string probes;  // F failed, A answered, one cycle each
  std::string alerts;  // A where the probe alerted
};

TEST(AlertPolicyTest, Confirm3AlertsAtTheThirdFailureInARow) {
  const std::vector<ConfirmCase> cases = {
      {"third failure", "FFF", "..A"},
      {"an answer in between starts the count again", "FFAFFAFFF", "........A"},
      {"past the third every failure alerts", "FFFFF", "..AAA"},
      {"a new run of failures is confirmed again", "FFFAFFF", "..A...A"},
  };
  for (const ConfirmCase& c : cases) {
    SCOPED_TRACE(c.name);
    DispatchMonitor m(Policy(3, 0, false));
    m.Tick({5});
    std::string alerts;
    for (char probe : c.probes) {
      Probe5(m, probe == 'F');
      // The status line shows the outcome at once, whatever the policy.
      EXPECT_EQ(m.view.texts["Label5"].rfind(probe == 'F' ? "Problem " : "OK ", 0), 0u);
      EXPECT_EQ(Count(m.log, "beep"), probe == 'F' ? 7 : 0);
      const auto sends = m.TakeSends();
      alerts += sends.empty() ? '.' : 'A';
    }
    EXPECT_EQ(alerts, c.alerts);
  }
  DispatchMonitor m(Policy(3, 0, false));
  m.Tick({5});
  Probe5(m, true);
  Probe5(m, true);
  EXPECT_EQ(m.notes.held, (std::vector<std::string>{"5 IP 10.0.0.5 Is Down! (failure 1 of 3)",
                                                    "5 IP 10.0.0.5 Is Down! (failure 2 of 3)"}));
  EXPECT_EQ(m.stats.AlertsSuppressedTotal(), 2);
}

struct Step {
  int minute;            // after 12:00:00
  bool fails;            // or answers
  std::string expected;  // the delivery, "held <reason>", or "" for nothing
};

TEST(AlertPolicyTest, RemindersAndRecoveryFollowTheClock) {
  const TDateTime noon = EncodeDate(2025, 6, 24) + EncodeTime(12, 0, 0, 0);
  const std::vector<Step> steps = {
      {0, true, kDown5},
      {10, true, "held next reminder at 12:30:00"},
      {29, true, "held next reminder at 12:30:00"},
      {30, true, kDown5},
      {45, true, "held next reminder at 13:00:00"},
      {50, false, kUp5},
      {51, false, ""},
      {52, true, kDown5},  // a new run alerts at once
      {53, true, "held next reminder at 13:22:00"},
  };
  DispatchMonitor m(Policy(1, 30, true));
  m.Tick({5});
  for (const Step& s : steps) {
    SCOPED_TRACE(s.minute);
    m.clock.now = noon + s.minute * 60 / kSecondsPerDay;
    const size_t held_before = m.notes.held.size();
    Probe5(m, s.fails);
    const auto sends = m.TakeSends();
    if (s.expected.rfind("held ", 0) == 0) {
      EXPECT_TRUE(sends.empty());
      ASSERT_EQ(m.notes.held.size(), held_before + 1);
      EXPECT_EQ(m.notes.held.back(), "5 IP 10.0.0.5 Is Down! (" + s.expected.substr(5) + ")");
    } else {
      EXPECT_EQ(sends, s.expected.empty() ? std::vector<std::string>{}
                                          : std::vector<std::string>{s.expected});
      EXPECT_EQ(m.notes.held.size(), held_before);
    }
  }
}

TEST(AlertPolicyTest, RecoveryOnlyAfterAnAlertAndOnlyWhenAskedFor) {
  struct Case {
    const char* name;
    AlertSettings settings;
    std::string probes;
    bool up_mail;
  };
  const std::vector<Case> cases = {
      {"recovery off", Policy(1, 0, false), "FA", false},
      {"held back, never alerted", Policy(3, 0, true), "FFA", false},
      {"alerted", Policy(3, 0, true), "FFFA", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    DispatchMonitor m(c.settings);
    m.Tick({5});
    for (char probe : c.probes) Probe5(m, probe == 'F');
    EXPECT_EQ(Count(m.log, kUp5), c.up_mail ? 1 : 0);
  }
}

// Rows 28 and 108 share an OK counter; their alert states stay apart.
TEST(AlertPolicyTest, RowsSharingACounterKeepTheirOwnAlertState) {
  DispatchMonitor m(Policy(2, 0, true));
  m.Tick({28, 108});
  m.probe.down = {FakeMonitor::Address(28)};
  m.monitor->DoPoll();  // 28: failure 1 of 2; 108 answers
  m.monitor->DoPoll();  // 28 alerts: 108's answer did not reset it
  EXPECT_EQ(m.TakeSends(),
            std::vector<std::string>{"send erols Server Down! | IP 10.0.0.28 Is Down!"});
  m.probe.down = {FakeMonitor::Address(108)};
  m.monitor->DoPoll();  // 28 recovers; 108 at failure 1 of 2
  EXPECT_EQ(m.TakeSends(), std::vector<std::string>{"send erols Server Up! | IP 10.0.0.28 Is Up!"});
  EXPECT_EQ(m.view.texts["Label112"].rfind("OK ", 0), std::string::npos);  // 108 shows Problem
}

TEST(AlertPolicyTest, AChangedAddressStartsAfresh) {
  DispatchMonitor m(Policy(2, 0, true));
  m.Tick({5});
  Probe5(m, true);
  Probe5(m, true);  // 10.0.0.5 alerted
  m.view.inputs.SetText("Edit5", "10.0.0.55");
  m.probe.down = {"10.0.0.55"};
  m.monitor->DoPoll();  // the new address's first failure
  m.probe.down.clear();
  m.monitor->DoPoll();  // no recovery mail for an address that never alerted
  EXPECT_EQ(m.TakeSends(), std::vector<std::string>{kDown5});
  EXPECT_EQ(m.notes.held.back(), "5 IP 10.0.0.55 Is Down! (failure 1 of 2)");
}

TEST(AlertPolicyTest, WatchdogFollowsTheReminderRuleWithoutConfirmation) {
  DispatchMonitor m(Policy(3, 10, true));
  m.Tick({2});
  m.monitor->DoPoll();
  const std::string alert = "send erols Server Down! | IP 10.0.0.2 Is Not Responding!";
  m.clock.AdvanceSeconds(66);
  m.monitor->Timer2Timer();  // alerts at once
  m.clock.AdvanceSeconds(60);
  m.monitor->Timer2Timer();  // held back
  m.clock.AdvanceSeconds(9 * 60);
  m.monitor->Timer2Timer();  // ten minutes after the first
  EXPECT_EQ(m.TakeSends(), (std::vector<std::string>{alert, alert}));
  ASSERT_EQ(m.notes.held.size(), 1u);
  EXPECT_EQ(m.notes.held[0].rfind("0 IP 10.0.0.2 Is Not Responding! (next reminder at ", 0), 0u);

  m.monitor->DoPoll();  // probes again: the next check is calm
  m.monitor->Timer2Timer();
  m.clock.AdvanceSeconds(66);
  m.monitor->Timer2Timer();  // a new stall alerts at once; no recovery mail
  EXPECT_EQ(m.TakeSends(), std::vector<std::string>{alert});
}

}  // namespace
}  // namespace tallyvox::monitor::testing
