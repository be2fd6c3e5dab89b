// The poll cycle, polling control and the watchdog over fakes of the probe
// channel, the audit log and the alert sender, with a recording view and an
// injected clock: the order of operations, the texts and colours, the
// failure rules and the re-entry decision.
#include <gtest/gtest.h>

#include <QTimer>
#include <string>
#include <vector>

#include "monitor/interval.h"
#include "monitor/time_text.h"
#include "support/monitor_fakes.h"

namespace tallyvox::monitor::testing {
namespace {

// The calls one row makes, as the fakes and the view record them.
CallLog RowCalls(int row, const std::string& time, bool first_row, bool ok, int count = 1) {
  const ServerEntry& e = Roster::Row(row);
  const std::string address = FakeMonitor::Address(row);
  CallLog calls = {
      "colour " + e.label + " red",   "text " + e.label + " Checking..." + time,
      "repaint " + e.label,           "AimProbe " + address + (first_row ? " keep" : " fresh"),
      "colour " + e.label + " black", "RecordProbe " + address,
      "RunProbe " + address};
  if (ok) {
    calls.push_back("text " + e.label + " OK " + std::to_string(count));
  } else {
    calls.push_back("text " + e.label + (e.problem_shows_time ? " Problem " + time : " Problem"));
    for (int i = 0; i < 7; ++i) calls.push_back("beep");
    calls.push_back("SendError IP " + address + " Is Down!");
  }
  if (!first_row) calls.push_back("ReleaseProbe");
  return calls;
}

TEST(PollCycleTest, OrderOfOperationsForRowOneAndTheOtherRows) {
  FakeMonitor f;
  f.Tick({1, 2, 13, 111});
  f.probe.down = {FakeMonitor::Address(13)};
  f.monitor.DoPoll();

  const std::string t = LongTimeText(f.clock.now);
  CallLog expected = {"OpenAuditTable", "PrepareCycle"};
  for (const CallLog& row : {RowCalls(1, t, true, true), RowCalls(2, t, false, true),
                             RowCalls(13, t, false, false), RowCalls(111, t, false, true)}) {
    expected.insert(expected.end(), row.begin(), row.end());
  }
  EXPECT_EQ(f.log, expected);
  EXPECT_EQ(f.monitor.LastProbedAddress(), FakeMonitor::Address(111));
  // The record carries the time of day only; LastProbeStart the whole timestamp.
  EXPECT_DOUBLE_EQ(f.audit.last_start, TimeOfDayPart(f.clock.now));
  EXPECT_DOUBLE_EQ(f.monitor.LastProbeStart(), f.clock.now);
}

TEST(PollCycleTest, CountersSharedByRows28And108AndResetByEveryPress) {
  FakeMonitor f;
  f.Tick({5, 28, 108});
  f.view.inputs.SetText("Edit122", "60000");
  f.monitor.Button1Click();  // polling on, first cycle
  EXPECT_EQ(f.view.texts["Label5"], "OK 1");
  EXPECT_EQ(f.view.texts["Label111"], "OK 1");  // row 28
  EXPECT_EQ(f.view.texts["Label112"], "OK 2");  // row 108, same counter
  f.monitor.Timer1Timer();
  EXPECT_EQ(f.view.texts["Label5"], "OK 2");
  EXPECT_EQ(f.view.texts["Label111"], "OK 3");
  EXPECT_EQ(f.view.texts["Label112"], "OK 4");
  f.monitor.Button1Click();  // polling off: counters restart, one last cycle
  EXPECT_EQ(f.view.texts["Label5"], "OK 1");
  EXPECT_EQ(f.view.texts["Label112"], "OK 2");
}

TEST(PollCycleTest, UntickedRowsAreSkippedAndKeepTheirText) {
  FakeMonitor f;
  f.Tick({3});
  f.view.SetLabelText("Label4", "Problem");
  f.view.SetLabelColour("Label4", TColour::clRed);
  f.log.clear();
  f.monitor.DoPoll();
  EXPECT_FALSE(Contains(f.log, "AimProbe 10.0.0.4"));
  EXPECT_EQ(f.view.texts["Label4"], "Problem");
  EXPECT_EQ(f.view.colours["Label4"], TColour::clRed);
  EXPECT_EQ(f.view.colours["Label3"], TColour::clBlack);
}

TEST(PollCycleTest, EmptyAddressIsProbedAsItIs) {
  FakeMonitor f;
  f.view.inputs.SetChecked("CheckBox20", true);  // row 20, no address
  f.probe.down = {""};
  f.monitor.DoPoll();
  EXPECT_EQ(Count(f.log, "AimProbe  fresh"), 1);
  EXPECT_EQ(Count(f.log, "SendError IP  Is Down!"), 1);  // two spaces
}

// Failures outside the probe leave DoPoll at once and reach the default
// handler; the row in hand keeps "Checking..." (red after a failed aim,
// black after a failed audit write) and nothing is alerted.
TEST(PollCycleTest, FailuresOutsideTheProbeEndTheCycle) {
  struct Case {
    const char* name;
    std::function<void(FakeMonitor&)> arrange;
    TColour colour;  // of row 2's label afterwards
    bool probed_row2;
  };
  const std::vector<Case> cases = {
      {"missing audit table", [](FakeMonitor& f) { f.audit.missing = true; }, TColour::clBlack,
       false},
      {"prepare fails", [](FakeMonitor& f) { f.probe.fail_prepare = true; }, TColour::clBlack,
       false},
      {"aim fails", [](FakeMonitor& f) { f.probe.fail_aim_at = FakeMonitor::Address(2); },
       TColour::clRed, false},
      {"audit write fails", [](FakeMonitor& f) { f.audit.fail_write = true; }, TColour::clBlack,
       false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FakeMonitor f;
    f.Tick({2, 3});
    f.view.SetLabelColour("Label2", TColour::clBlack);
    f.view.SetLabelText("Label2", "OK 9");
    c.arrange(f);
    f.monitor.Handle([&] { f.monitor.DoPoll(); });
    ASSERT_EQ(f.view.errors.size(), 1u);
    EXPECT_FALSE(Contains(f.log, "RunProbe"));
    EXPECT_FALSE(Contains(f.log, "AimProbe 10.0.0.3"));  // the rest of the cycle is not run
    EXPECT_FALSE(Contains(f.log, "SendError"));
    EXPECT_FALSE(Contains(f.log, "ReleaseProbe"));
    EXPECT_EQ(f.view.colours["Label2"], c.colour);
    const bool reached_row = Contains(f.log, "AimProbe 10.0.0.2");
    EXPECT_EQ(f.view.texts["Label2"].rfind(reached_row ? "Checking..." : "OK 9", 0), 0u);
    // The next tick runs a full new cycle from the start.
    f.log.clear();
    f.monitor.Handle([&] { f.monitor.Timer1Timer(); });
    EXPECT_EQ(f.log.front(), "OpenAuditTable");
  }
}

TEST(PollCycleTest, DefaultHandlerAddsAFullStop) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"abc", "abc."},
      {"Connection lost.", "Connection lost."},
      {"x!", "x!"},
      {"", ""},
      {"ends in 9", "ends in 9."},
      {"ends in -", "ends in -"},
  };
  for (const auto& [message, box] : cases) EXPECT_EQ(ErrorBoxText(message), box) << message;
}

TEST(PollingControlTest, IntervalTexts) {
  const std::vector<std::pair<std::string, int>> valid = {
      {"60000", 60000}, {"$EA60", 60000}, {" 60000", 60000},         {"+5", 5},
      {"0", 0},         {"$ea60", 60000}, {"2147483647", 2147483647}};
  for (const auto& [text, value] : valid) EXPECT_EQ(ParseInterval(text), value) << text;
  for (const std::string text :
       {"abc", "-5", "", " ", "60000 ", "$", "2147483648", "1e3", "$FFFFFFFF", "6 0"}) {
    try {
      ParseInterval(text);
      ADD_FAILURE() << "accepted '" << text << "'";
    } catch (const std::exception& e) {
      EXPECT_EQ(std::string(e.what()), "'" + text + "' is not a valid integer value");
    }
  }
}

TEST(PollingControlTest, ABadIntervalChangesNothing) {
  for (const std::string text : {"abc", "-5"}) {
    FakeMonitor f;
    f.Tick({2});
    f.view.inputs.SetText("Edit122", text);
    f.monitor.Handle([&] { f.monitor.Button1Click(); });
    ASSERT_EQ(f.view.errors,
              std::vector<std::string>{"'" + text + "' is not a valid integer value."});
    EXPECT_FALSE(f.monitor.Timer1().Enabled());
    EXPECT_FALSE(Contains(f.log, "OpenAuditTable"));
    EXPECT_FALSE(Contains(f.log, "caption"));
  }
}

TEST(PollingControlTest, PollTogglesTimersAndCaptionsAndStoppingRunsOneLastCycle) {
  FakeMonitor f;
  f.Tick({2});
  f.view.inputs.SetText("Edit122", "$EA60");
  f.monitor.Button1Click();
  EXPECT_EQ(f.view.captions["Button1"], "Stop Polling");
  EXPECT_TRUE(f.monitor.Timer1().Enabled());
  EXPECT_TRUE(f.monitor.Timer2().Enabled());
  EXPECT_EQ(f.monitor.Timer1().Interval(), 60000);
  EXPECT_EQ(Count(f.log, "OpenAuditTable"), 1);

  f.view.inputs.SetText("Edit122", " 60000");
  f.monitor.Button1Click();
  EXPECT_EQ(f.view.captions["Button1"], "Begin Polling");
  EXPECT_FALSE(f.monitor.Timer1().Running());
  EXPECT_FALSE(f.monitor.Timer2().Running());
  EXPECT_EQ(Count(f.log, "OpenAuditTable"), 2);  // the last cycle

  // Interval 0: enabled, but the timer never fires.
  f.view.inputs.SetText("Edit122", "0");
  f.monitor.Button1Click();
  EXPECT_TRUE(f.monitor.Timer1().Enabled());
  EXPECT_FALSE(f.monitor.Timer1().Running());
  EXPECT_TRUE(f.monitor.Timer2().Running());
}

TEST(PollingControlTest, Timer1TicksRunCycles) {
  FakeMonitor f;
  f.Tick({2});
  f.view.inputs.SetText("Edit122", "20");
  f.monitor.Button1Click();
  ASSERT_TRUE(SpinUntil([&] { return Count(f.log, "OpenAuditTable") >= 3; }));
  f.monitor.Button1Click();
  const int after_stop = Count(f.log, "OpenAuditTable");
  SpinUntil([] { return false; }, 100);
  EXPECT_EQ(Count(f.log, "OpenAuditTable"), after_stop);  // no more ticks
}

struct WatchdogCase {
  const char* name;
  double seconds;  // since the last probe started
  bool alert;
};

TEST(WatchdogTest, AlertsAfterMoreThan65Seconds) {
  const std::vector<WatchdogCase> cases = {
      {"65 s", 65.0, false}, {"65.9 s", 65.9, false}, {"66 s", 66.0, true}, {"10 min", 600, true}};
  for (const WatchdogCase& c : cases) {
    SCOPED_TRACE(c.name);
    FakeMonitor f;
    f.Tick({2});
    f.monitor.DoPoll();
    f.clock.AdvanceSeconds(c.seconds);
    f.log.clear();
    f.monitor.Timer2Timer();
    ASSERT_EQ(f.view.lists["ListBox1"].size(), 2u);
    EXPECT_EQ(f.view.lists["ListBox1"][0], LongTimeText(f.clock.now));
    EXPECT_EQ(f.view.lists["ListBox1"][1], LongTimeText(f.monitor.LastProbeStart()));
    EXPECT_EQ(Count(f.log, "SendError IP 10.0.0.2 Is Not Responding!"), c.alert ? 1 : 0);
  }
}

TEST(WatchdogTest, NoFalseAlertAcrossMidnight) {
  FakeMonitor f;
  f.Tick({2});
  f.clock.now = EncodeDate(2025, 6, 24) + EncodeTime(23, 59, 50, 0);
  f.monitor.DoPoll();
  f.clock.now = EncodeDate(2025, 6, 25) + EncodeTime(0, 0, 40, 0);  // 50 s later
  f.monitor.Timer2Timer();
  EXPECT_FALSE(Contains(f.log, "SendError"));
  EXPECT_EQ(f.view.lists["ListBox1"][0], "00:00:40");
  EXPECT_EQ(f.view.lists["ListBox1"][1], "23:59:50");
  f.clock.now = EncodeDate(2025, 6, 25) + EncodeTime(0, 0, 57, 0);  // 67 s later
  f.monitor.Timer2Timer();
  EXPECT_TRUE(Contains(f.log, "SendError IP 10.0.0.2 Is Not Responding!"));
}

TEST(WatchdogTest, NoRowTickedAlertsWithAnEmptyAddressFromTheStartUpTime) {
  FakeMonitor f;
  f.monitor.FormShow();
  f.view.inputs.SetText("Edit122", "60000");
  f.monitor.Button1Click();
  f.clock.AdvanceSeconds(60);
  f.monitor.Timer2Timer();
  EXPECT_FALSE(Contains(f.log, "SendError"));
  f.clock.AdvanceSeconds(6);
  f.monitor.Timer2Timer();
  f.clock.AdvanceSeconds(60);
  f.monitor.Timer2Timer();
  EXPECT_EQ(Count(f.log, "SendError IP  Is Not Responding!"), 2);
  EXPECT_FALSE(Contains(f.log, "text "));  // no status line changed
}

// A polling tick while a cycle waits in a message box is skipped; a watchdog
// tick still runs inside the box.
TEST(ReentryTest, CycleSkippedWhileAnotherWaitsInAMessageBox) {
  FakeMonitor f;
  f.Tick({2, 3});
  f.probe.down = {FakeMonitor::Address(2)};
  // The alert's delivery fails and its box stays open while ticks arrive.
  f.alerts.on_send = [&](const std::string& text) { f.view.ShowMessage("delivery of " + text); };
  f.clock.AdvanceSeconds(100);
  int ticks_inside = 0;
  f.view.on_message = [&](const std::string&, ModalLoop& box) {
    if (ticks_inside > 0) return box.Close();  // later boxes close at once
    QTimer::singleShot(0, &f.monitor, [&] {
      ++ticks_inside;
      f.monitor.Handle([&] { f.monitor.Timer1Timer(); });
      f.clock.AdvanceSeconds(100);
      f.monitor.Handle([&] { f.monitor.Timer2Timer(); });
      box.Close();
    });
  };
  f.monitor.DoPoll();
  EXPECT_EQ(ticks_inside, 1);
  EXPECT_EQ(Count(f.log, "OpenAuditTable"), 1);    // the tick inside the box ran no cycle
  EXPECT_EQ(f.view.lists["ListBox1"].size(), 2u);  // but the watchdog checked
  EXPECT_EQ(Count(f.log, "SendError IP 10.0.0.2 Is Not Responding!"), 1);
  // The suspended cycle resumed with row 3.
  EXPECT_EQ(f.view.texts["Label3"], "OK 1");
  EXPECT_FALSE(f.monitor.CycleRunning());
}

TEST(ConnectionTestTest, ProbesRowOneWithoutRecordCounterOrAlert) {
  FakeMonitor f;
  f.view.inputs.SetText("Edit1", "10.0.0.1");  // row 1 need not be ticked
  f.monitor.FormShow();
  const TDateTime start = f.monitor.LastProbeStart();
  f.clock.AdvanceSeconds(5);
  f.monitor.Button2Click();
  EXPECT_EQ(f.log, (CallLog{"PrepareCycle", "text Label1 Checking...", "repaint Label1",
                            "AimProbe 10.0.0.1 keep", "RunProbe 10.0.0.1", "text Label1 OK "}));
  f.probe.down = {"10.0.0.1"};
  f.log.clear();
  f.monitor.Button2Click();
  EXPECT_EQ(f.log.back(), "text Label1 Problem");
  EXPECT_FALSE(Contains(f.log, "beep"));
  EXPECT_FALSE(Contains(f.log, "SendError"));
  EXPECT_FALSE(Contains(f.log, "ReleaseProbe"));
  EXPECT_FALSE(Contains(f.log, "colour"));
  EXPECT_DOUBLE_EQ(f.monitor.LastProbeStart(), start);
  EXPECT_EQ(f.monitor.LastProbedAddress(), "");
  EXPECT_EQ(f.monitor.Counters().Value(1), 1);
}

TEST(HeartbeatTest, QueryOpenEventsDriveTimer3) {
  FakeMonitor f;
  f.monitor.Timer3Timer();
  EXPECT_TRUE(f.log.empty());  // idle
  f.monitor.qUFile7BeforeOpen();
  EXPECT_TRUE(f.monitor.Timer3().Running());
  f.monitor.Timer3Timer();
  EXPECT_EQ(f.log, (CallLog{"beep", "text Label17 12:00:00", "repaint Label17"}));
  f.monitor.qUFile7AfterOpen();
  EXPECT_FALSE(f.monitor.Timer3().Running());
  EXPECT_FALSE(f.monitor.QueryInProgress());
}

TEST(DiagnosticTest, Button4ShowsFourBoxes) {
  FakeMonitor f;
  f.monitor.FormShow();  // 12:00:00
  f.clock.AdvanceSeconds(90);
  f.monitor.Button4Click();
  ASSERT_EQ(f.view.messages.size(), 4u);
  EXPECT_EQ(f.view.messages[0].substr(0, 10), "0.00104166");
  EXPECT_EQ(f.view.messages[1], "0.5");
  EXPECT_EQ(f.view.messages[2], "12:00:00");
  EXPECT_EQ(f.view.messages[3], "90");
}

}  // namespace
}  // namespace tallyvox::monitor::testing
