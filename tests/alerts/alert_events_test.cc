// The alert side's decisions and reports: which accounts an alert and the
// test mail go through for every combination of boxes, and that every
// report carries the row that raised the alert (0 for the watchdog's and
// the test mail), so that no front end has to work it out from the text.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "alerts/account_choice.h"
#include "support/alert_fakes.h"

namespace tallyvox::monitor::testing {
namespace {

using Outcome = AlertEvent::Outcome;

TEST(AccountChoiceTest, AlertsAndTheTestMailGoThroughTheAccountsTheBoxesSelect) {
  struct Case {
    std::vector<int> ticked;  // accounts 2..4 whose boxes are ticked
    std::vector<int> alert;   // the accounts an alert goes through, in order
    std::vector<int> test;    // the test mail's
  };
  const std::vector<Case> cases = {
      {{}, {}, {1}},         {{2}, {2}, {2}},
      {{3}, {}, {3}},        {{4}, {4}, {4}},
      {{2, 3}, {2}, {2, 3}}, {{2, 4}, {2, 4}, {2, 4}},
      {{3, 4}, {4}, {3, 4}}, {{2, 3, 4}, {2, 4}, {2, 3, 4}},
  };
  for (const Case& c : cases) {
    const AccountTicked ticked = [&](int account) {
      return std::find(c.ticked.begin(), c.ticked.end(), account) != c.ticked.end();
    };
    std::vector<int> alert, test;
    const std::vector<int> visited = VisitAlertAccounts(ticked, [&](int account) {
      alert.push_back(account);
      return true;
    });
    VisitTestMailAccounts(ticked, [&](int account) {
      test.push_back(account);
      return true;
    });
    EXPECT_EQ(alert, c.alert) << ::testing::PrintToString(c.ticked);
    EXPECT_EQ(visited, c.alert);
    EXPECT_EQ(TickedAlertAccounts(ticked), c.alert);
    EXPECT_EQ(test, c.test) << ::testing::PrintToString(c.ticked);
  }
}

TEST(AccountChoiceTest, EachBoxIsReadAtItsOwnStepAndAFailedStepEndsTheVisit) {
  // The operator unticks NetSMTP4's box while NetSMTP2's delivery runs.
  bool erols = true;
  const AccountTicked ticked = [&](int account) { return account == 2 || (account == 4 && erols); };
  std::vector<int> alert;
  VisitAlertAccounts(ticked, [&](int account) {
    alert.push_back(account);
    erols = false;
    return true;
  });
  EXPECT_EQ(alert, std::vector<int>{2});
  // A visit that fails (a connection that did not close) skips the rest.
  erols = true;
  alert.clear();
  EXPECT_EQ(VisitAlertAccounts(ticked,
                               [&](int account) {
                                 alert.push_back(account);
                                 return false;
                               }),
            std::vector<int>{2});
  EXPECT_EQ(alert, std::vector<int>{2});
}

// Every report names the row whose probe raised the alert, whatever its
// text: two rows at one address fail in one cycle, the watchdog alerts for
// that same address, and the test mail goes out.
TEST(AlertEventTest, EveryReportCarriesTheRowThatRaisedTheAlert) {
  AlertSettings settings;
  settings.policy.confirm = 2;
  DispatchMonitor m(settings);
  m.view.inputs.SetChecked("CheckBox108", true);  // quell_brindle (fails), then erols
  m.mail.down = {"quell_brindle"};
  for (int row : {5, 13}) {
    m.view.inputs.SetChecked(Roster::Row(row).check_box, true);
    m.view.inputs.SetText(Roster::Row(row).edit, "10.0.0.9");
  }
  m.probe.down = {"10.0.0.9"};
  m.monitor->DoPoll();  // failure 1 of 2: held back
  m.monitor->DoPoll();  // failure 2 of 2: alerts
  m.clock.AdvanceSeconds(70);
  m.monitor->DoPoll2();
  m.monitor->Button3Click();

  const std::string down = "IP 10.0.0.9 Is Down!";
  struct Expected {
    Outcome outcome;
    int row;
    std::string text, account;
  };
  const std::vector<Expected> expected = {
      {Outcome::kHeldBack, 5, down, ""},
      {Outcome::kHeldBack, 13, down, ""},
      {Outcome::kFailed, 5, down, "quell_brindle"},
      {Outcome::kDelivered, 5, down, "erols"},
      {Outcome::kFailed, 13, down, "quell_brindle"},
      {Outcome::kDelivered, 13, down, "erols"},
      {Outcome::kFailed, 0, "IP 10.0.0.9 Is Not Responding!", "quell_brindle"},
      {Outcome::kDelivered, 0, "IP 10.0.0.9 Is Not Responding!", "erols"},
      {Outcome::kFailed, 0, "IP  is Down!", "quell_brindle"},
      {Outcome::kDelivered, 0, "IP  is Down!", "erols"},
  };
  ASSERT_EQ(m.notes.events.size(), expected.size());
  for (size_t i = 0; i < expected.size(); ++i) {
    SCOPED_TRACE(i);
    const AlertEvent& e = m.notes.events[i];
    EXPECT_EQ(e.outcome, expected[i].outcome);
    EXPECT_EQ(e.row, expected[i].row);
    EXPECT_EQ(e.text, expected[i].text);
    EXPECT_EQ(e.account, expected[i].account);
    EXPECT_EQ(e.error, e.outcome == Outcome::kFailed ? "refused" : "");
  }
  EXPECT_EQ(m.view.messages, std::vector<std::string>(4, "refused"));
}

}  // namespace
}  // namespace tallyvox::monitor::testing
