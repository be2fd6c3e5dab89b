// The outbox in the monitor: alerts no account delivered wait on disk (made
// durable before the message box appears) and go out in the order raised,
// from the retry timer with its back-off or behind a new alert; which
// accounts a retry uses; a full disk or read-only folder; an alert raised
// inside a message box; the start-up retry. The monitor
// runs over fakes with a real AlertDispatch and a real outbox folder.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "support/alert_fakes.h"
#include "support/outbox_files.h"
#include "support/support.h"

namespace tallyvox::monitor::testing {
namespace {

using namespace std::chrono_literals;
using tallyvox::testing::ReadFile;
using tallyvox::testing::TempDir;
using tallyvox::testing::WriteFile;

std::string Send(const std::string& account, const std::string& text,
                 const std::string& subject = kDownSubject) {
  return "send " + account + " " + subject + " | " + text;
}

class AlertDispatchTest : public ::testing::Test {
 protected:
  AlertSettings Settings() {
    AlertSettings s;
    s.outbox = folder_;
    return s;
  }
  // A cycle in which `rows` fail.
  static void FailingCycle(DispatchMonitor& m, std::initializer_list<int> rows) {
    m.probe.down.clear();
    for (int row : rows) m.probe.down.push_back(FakeMonitor::Address(row));
    m.monitor->DoPoll();
  }

  TempDir dir_;
  std::string folder_ = dir_.File("outbox");
};

TEST_F(AlertDispatchTest, AlertsWaitWhileMailIsDownAndARetryDeliversThemOnceInOrder) {
  DispatchMonitor m(Settings());
  m.StartUp();
  m.Tick({5, 13});
  m.mail.down = {"erols"};
  std::vector<size_t> files_when_box_shown;
  m.view.on_message = [&](const std::string&, ModalLoop& box) {
    files_when_box_shown.push_back(AlertFiles(folder_).size());
    box.Close();
  };
  FailingCycle(m, {5, 13});
  // Each alert was on disk before its box; the second attempt was the
  // oldest alert's, which waits in front of it.
  EXPECT_EQ(files_when_box_shown, (std::vector<size_t>{1, 2}));
  EXPECT_EQ(m.TakeSends(),
            (std::vector<std::string>{Send("erols", "IP 10.0.0.5 Is Down!"),
                                      Send("erols", "IP 10.0.0.5 Is Down! (raised 12:00:00)")}));
  EXPECT_EQ(m.notes.queued,
            (std::vector<std::string>{"IP 10.0.0.5 Is Down! (1)", "IP 10.0.0.13 Is Down! (2)"}));
  EXPECT_EQ(m.stats.OutboxPending(), 2);
  EXPECT_TRUE(m.dispatch->RetryScheduled());
  EXPECT_EQ(m.dispatch->RetryInterval(), AlertDispatch::kFirstRetry);
  EXPECT_TRUE(m.notes.Logged("outbox: 1 alert waiting; next try at 12:01:00"));

  m.mail.down.clear();
  m.clock.AdvanceSeconds(60);
  m.dispatch->Retry();
  EXPECT_EQ(m.TakeSends(),
            (std::vector<std::string>{Send("erols", "IP 10.0.0.5 Is Down! (raised 12:00:00)"),
                                      Send("erols", "IP 10.0.0.13 Is Down! (raised 12:00:00)")}));
  EXPECT_EQ(m.view.messages.size(), 2u);  // a retry shows no box
  EXPECT_TRUE(AlertFiles(folder_).empty());
  EXPECT_EQ(m.stats.OutboxPending(), 0);
  EXPECT_FALSE(m.dispatch->RetryScheduled());
  EXPECT_TRUE(m.notes.Logged("outbox: delivered 2 alerts that waited; 0 waiting"));
  m.dispatch->Retry();
  EXPECT_TRUE(m.TakeSends().empty());  // exactly once
}

TEST_F(AlertDispatchTest, ANewAlertGoesOutAfterTheOnesWaiting) {
  DispatchMonitor m(Settings());
  m.StartUp();
  m.Tick({5, 13, 20});
  m.mail.down = {"erols"};
  FailingCycle(m, {5, 13});
  m.TakeSends();
  m.mail.down.clear();
  m.clock.AdvanceSeconds(10);
  FailingCycle(m, {20});
  EXPECT_EQ(m.TakeSends(),
            (std::vector<std::string>{Send("erols", "IP 10.0.0.5 Is Down! (raised 12:00:00)"),
                                      Send("erols", "IP 10.0.0.13 Is Down! (raised 12:00:00)"),
                                      Send("erols", "IP 10.0.0.20 Is Down!")}));
  EXPECT_TRUE(AlertFiles(folder_).empty());
  EXPECT_FALSE(m.dispatch->RetryScheduled());
}

TEST_F(AlertDispatchTest, RetriesBackOffFromOneTo30Minutes) {
  DispatchMonitor m(Settings());
  m.StartUp();
  m.Tick({5});
  m.mail.down = {"erols"};
  FailingCycle(m, {5});
  std::vector<int> minutes = {static_cast<int>(m.dispatch->RetryInterval() / 1min)};
  for (int i = 0; i < 6; ++i) {
    m.dispatch->Retry();
    minutes.push_back(static_cast<int>(m.dispatch->RetryInterval() / 1min));
  }
  EXPECT_EQ(minutes, (std::vector<int>{1, 2, 4, 8, 16, 30, 30}));
  FailingCycle(m, {5});  // a new alert does not put the due retry off
  EXPECT_EQ(m.dispatch->RetryInterval(), 30min);
  EXPECT_TRUE(m.dispatch->RetryScheduled());

  m.mail.down.clear();
  m.dispatch->Retry();
  EXPECT_FALSE(m.dispatch->RetryScheduled());
  m.mail.down = {"erols"};
  FailingCycle(m, {5});  // after the outbox emptied, the back-off starts again
  EXPECT_EQ(m.dispatch->RetryInterval(), 1min);
}

// A retry delivers through the accounts recorded with the alert whose boxes
// are ticked now; when none of them is, through those selected now; while
// none is selected, the alert waits.
TEST_F(AlertDispatchTest, ARetryUsesTheRecordedAccountsStillSelected) {
  struct Case {
    const char* name;
    bool raised108, raised114;  // boxes when the alert was raised
    bool now108, now114;        // boxes at the retry
    std::vector<std::string> accounts;
  };
  const std::vector<Case> cases = {
      {"both recorded, one still ticked", true, true, false, true, {"erols"}},
      {"recorded one unticked, another ticked", true, false, false, true, {"erols"}},
      {"only the recorded one of two ticked", false, true, true, true, {"erols"}},
      {"both recorded and ticked", true, true, true, true, {"quell_brindle", "erols"}},
      {"none ticked: it waits", false, true, false, false, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    AlertSettings s;
    s.outbox = dir.File("outbox");
    DispatchMonitor m(s);
    m.StartUp();
    m.Tick({5});
    m.view.inputs.SetChecked("CheckBox108", c.raised108);
    m.view.inputs.SetChecked("CheckBox114", c.raised114);
    m.mail.down = {"erols", "quell_brindle"};
    FailingCycle(m, {5});
    m.TakeSends();
    m.mail.down.clear();
    m.view.inputs.SetChecked("CheckBox108", c.now108);
    m.view.inputs.SetChecked("CheckBox114", c.now114);
    m.dispatch->Retry();
    std::vector<std::string> sends;
    for (const std::string& a : c.accounts) {
      sends.push_back(Send(a, "IP 10.0.0.5 Is Down! (raised 12:00:00)"));
    }
    EXPECT_EQ(m.TakeSends(), sends);
    EXPECT_EQ(AlertFiles(s.outbox).size(), sends.empty() ? 1u : 0u);
    if (sends.empty()) {
      EXPECT_TRUE(m.notes.Logged("outbox: no alert account is selected; 1 alert wait"));
    }
  }
}

// A full disk or a read-only folder: the alert goes out as without an
// outbox, a message box says so once, the log every time, and polling goes
// on; once the outbox works again, a new fault gets its box again.
TEST_F(AlertDispatchTest, AnOutboxThatCannotBeWrittenIsReportedAndPollingGoesOn) {
  struct Case {
    const char* name;
    FaultOutboxEnv::Op op;
    int err;
    std::string message;
    bool at_start_up;  // the start-up retry finds the fault
  };
  const std::vector<Case> cases = {
      {"disk full", FaultOutboxEnv::kWrite, ENOSPC,
       ": cannot write 00000000000000000001.alert: No space left on device", false},
      {"read-only folder", FaultOutboxEnv::kMakeFolder, EROFS,
       ": cannot make the folder: Read-only file system", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    AlertSettings s;
    s.outbox = dir.File("outbox");
    FaultOutboxEnv env;
    env.Fail(c.op, c.err);
    DispatchMonitor m(s, &env);
    m.StartUp();
    m.Tick({5, 13, 20});
    m.mail.down = {"erols"};
    FailingCycle(m, {5, 13});
    const std::string trouble = "outbox " + s.outbox + c.message;
    const std::string box =
        trouble + ". Until this is mended, an alert that no mail account delivers is lost.";
    const std::vector<std::string> boxes =
        c.at_start_up ? std::vector<std::string>{box, "refused", "refused"}
                      : std::vector<std::string>{"refused", box, "refused"};
    EXPECT_EQ(m.view.messages, boxes);
    EXPECT_EQ(Count(m.notes.log, trouble + "; the alert is sent without the outbox"), 2);
    EXPECT_EQ(m.TakeSends(), (std::vector<std::string>{Send("erols", "IP 10.0.0.5 Is Down!"),
                                                       Send("erols", "IP 10.0.0.13 Is Down!")}));
    EXPECT_EQ(m.view.texts[Roster::Row(20).label], "OK 1");  // the cycle went on
    FailingCycle(m, {});
    EXPECT_EQ(m.view.texts[Roster::Row(20).label], "OK 2");  // and polling does
    EXPECT_TRUE(AlertFiles(s.outbox).empty());

    env.Heal();
    FailingCycle(m, {5});
    EXPECT_EQ(AlertFiles(s.outbox).size(), 1u);  // kept again
    env.Fail(c.op == FaultOutboxEnv::kMakeFolder ? FaultOutboxEnv::kWrite : c.op, c.err);
    m.view.messages.clear();
    FailingCycle(m, {13});
    ASSERT_EQ(m.view.messages.size(), 2u);  // the alert's delivery, then the outbox's box
    EXPECT_EQ(m.view.messages[1].rfind("outbox " + s.outbox + ": cannot write ", 0), 0u);
  }
}

// While a delivery waits in a message box, an alert raised inside it (a
// watchdog tick) is only written down; it goes out after the alerts before it.
TEST_F(AlertDispatchTest, AnAlertRaisedInsideAMessageBoxWaitsBehindTheDeliveryUnderWay) {
  DispatchMonitor m(Settings());
  m.StartUp();
  m.Tick({5});
  m.mail.down = {"erols"};
  bool nested = false;
  m.view.on_message = [&](const std::string&, ModalLoop& box) {
    if (!nested) {
      nested = true;
      m.clock.AdvanceSeconds(66);
      m.monitor->Timer2Timer();
    }
    box.Close();
  };
  FailingCycle(m, {5});
  EXPECT_EQ(m.TakeSends(), std::vector<std::string>{Send("erols", "IP 10.0.0.5 Is Down!")});
  EXPECT_EQ(m.notes.queued, (std::vector<std::string>{"IP 10.0.0.5 Is Not Responding! (2)",
                                                      "IP 10.0.0.5 Is Down! (2)"}));
  m.mail.down.clear();
  m.dispatch->Retry();
  EXPECT_EQ(m.TakeSends(),
            (std::vector<std::string>{Send("erols", "IP 10.0.0.5 Is Down! (raised 12:00:00)"),
                                      Send("erols",
                                           "IP 10.0.0.5 Is Not Responding! (raised "
                                           "12:01:06)")}));
}

TEST_F(AlertDispatchTest, RecoveryMailWaitsWithTheAlertsAndKeepsItsSubject) {
  AlertSettings s = Settings();
  s.policy.recovery = true;
  DispatchMonitor m(s);
  m.StartUp();
  m.Tick({5});
  m.mail.down = {"erols"};
  FailingCycle(m, {5});
  m.clock.AdvanceSeconds(60);
  FailingCycle(m, {});  // answers: "Is Up!" waits behind "Is Down!"
  m.TakeSends();
  m.mail.down.clear();
  m.clock = FakeClock{};
  m.clock.now += 1;  // the next day
  m.dispatch->Retry();
  const auto sends = m.TakeSends();
  EXPECT_EQ(sends,
            (std::vector<std::string>{
                Send("erols", "IP 10.0.0.5 Is Down! (raised 2025-06-24 12:00:00)"),
                Send("erols", "IP 10.0.0.5 Is Up! (raised 2025-06-24 12:01:00)", kUpSubject)}));
}

// At start-up the retry delivers what waited from before, after moving a
// corrupt and a foreign file aside.
TEST_F(AlertDispatchTest, StartUpDeliversWhatWaitedAndMovesCorruptFilesAside) {
  {
    Outbox outbox(folder_, 10, nullptr);
    outbox.Open();
    const TDateTime t = EncodeDate(2025, 6, 24) + EncodeTime(11, 0, 0, 0);
    for (const char* text :
         {"IP 10.0.0.1 Is Down!", "IP 10.0.0.2 Is Down!", "IP 10.0.0.3 Is Down!"}) {
      outbox.Add({t, kDownSubject, {"erols"}, text});
    }
  }
  WriteFile(folder_ + "/00000000000000000002.alert", "tallyvox-alert 1\nraised garbage\n");
  WriteFile(folder_ + "/readme", "foreign");
  DispatchMonitor m(Settings());
  EXPECT_TRUE(m.mail.delivered.empty());  // nothing before the event loop runs
  m.StartUp();
  EXPECT_EQ(m.TakeSends(),
            (std::vector<std::string>{Send("erols", "IP 10.0.0.1 Is Down! (raised 11:00:00)"),
                                      Send("erols", "IP 10.0.0.3 Is Down! (raised 11:00:00)")}));
  EXPECT_TRUE(AlertFiles(folder_).empty());
  EXPECT_EQ(AlertFiles(folder_ + "/aside"), std::vector<std::string>{"00000000000000000002.alert"});
  EXPECT_TRUE(m.notes.Logged("moved 00000000000000000002.alert aside to " + folder_ +
                             "/aside/00000000000000000002.alert: corrupt: "));
  EXPECT_TRUE(
      m.notes.Logged("moved readme aside to " + folder_ + "/aside/readme: not an alert file"));
}

}  // namespace
}  // namespace tallyvox::monitor::testing
