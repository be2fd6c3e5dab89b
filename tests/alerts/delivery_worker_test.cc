// The delivery worker (parallel probing) for what the operator starts: the
// "Email" button's test mail returns at once and goes out behind the alerts
// handed over before it, its outcomes coming back as without the worker;
// new mail settings hold from the next delivery on without waiting for the
// one under way, and are not lost when the worker goes first; turning the
// worker off neither waits for it nor drops what it was handed.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "support/alert_fakes.h"

namespace tallyvox::monitor::testing {
namespace {

using namespace std::chrono_literals;

// Holds a delivery under way on the worker and hands it new mail settings
// (another server) behind it; `switched` counts their runs.
void SwitchBehindAHeldDelivery(WorkerDispatch& w, int& switched) {
  w.dispatch->SendError("IP 10.0.0.5 Is Down!");
  ASSERT_TRUE(w.WaitForTexts(1));
  w.dispatch->BetweenDeliveries([&w, &switched] {
    w.mail.SetServer("mail.example.org:465");
    ++switched;
  });
}

TEST(DeliveryWorkerTest, TheTestMailReturnsAtOnceAndGoesOutBehindTheAlertsBeforeIt) {
  WorkerDispatch w;
  w.Start();
  w.dispatch->SendError("IP 10.0.0.5 Is Down!");
  ASSERT_TRUE(w.WaitForTexts(1));  // the alert's delivery is under way, held
  w.dispatch->SendTestMail();
  // Returned while the alert's delivery still waits: nothing tried behind it.
  EXPECT_EQ(w.mail.Texts().size(), 1u);
  EXPECT_TRUE(w.notes.events.empty());

  w.mail.SetDown(true);
  w.mail.LetGo(1000);
  ASSERT_TRUE(w.WaitUntilDelivered());
  EXPECT_EQ(w.mail.Texts(),
            (std::vector<std::string>{"IP 10.0.0.5 Is Down!", "IP 192.0.2.9 is Down!"}));
  EXPECT_EQ(w.Outcomes(), (std::vector<std::string>{
                              "erols failed IP 10.0.0.5 Is Down! @ mail.example.net:465",
                              "erols failed IP 192.0.2.9 is Down! @ mail.example.net:465"}));
  EXPECT_EQ(w.view.messages, (std::vector<std::string>{"refused", "refused"}));
}

// What a delivery from the worker comes to, shown on this thread as the
// window's delivery shows it: the event names the server, a failure opens a
// message box, and a failure to close the connection skips the accounts
// behind it and opens the error box; for the test mail it is reported as
// the failure of the button's handler, as when the handler raises it.
TEST(DeliveryWorkerTest, EachOutcomeComesBackAsOnThisThread) {
  struct Case {
    const char* name;
    bool test_mail;
    bool down;
    bool closing_fails;
    std::vector<std::string> accounts;  // tried
    std::vector<std::string> messages;
    std::vector<std::string> errors;
    std::vector<std::string> handler_failed;
  };
  const std::string closing = ErrorBoxText("closing failed");
  const std::vector<Case> cases = {
      {"alert delivered", false, false, false, {"quell_brindle", "erols"}, {}, {}, {}},
      {"alert refused",
       false,
       true,
       false,
       {"quell_brindle", "erols"},
       {"refused", "refused"},
       {},
       {}},
      {"alert, closing fails", false, false, true, {"quell_brindle"}, {}, {closing}, {}},
      {"test mail delivered", true, false, false, {"quell_brindle", "erols"}, {}, {}, {}},
      {"test mail refused",
       true,
       true,
       false,
       {"quell_brindle", "erols"},
       {"refused", "refused"},
       {},
       {}},
      {"test mail, closing fails",
       true,
       false,
       true,
       {"quell_brindle"},
       {},
       {closing},
       {"closing failed"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    WorkerDispatch w;
    w.Start();
    w.view.inputs.SetChecked(MailAccountBox(2), true);
    w.mail.SetServer("[::1]:465");
    w.mail.SetDown(c.down);
    if (c.closing_fails) w.mail.SetClosingFails({2});
    w.mail.LetGo(1000);
    if (c.test_mail) {
      w.dispatch->SendTestMail();
    } else {
      w.dispatch->SendError("IP 10.0.0.5 Is Down!");
    }
    ASSERT_TRUE(w.WaitUntilDelivered());
    EXPECT_EQ(w.mail.Accounts(), c.accounts);
    ASSERT_EQ(w.notes.events.size(), c.accounts.size());
    for (const AlertEvent& e : w.notes.events) EXPECT_EQ(e.server, "[::1]:465");
    EXPECT_EQ(w.view.messages, c.messages);
    EXPECT_EQ(w.view.errors, c.errors);
    EXPECT_EQ(w.notes.handler_failed, c.handler_failed);
  }
}

TEST(DeliveryWorkerTest, NewMailSettingsHoldFromTheNextDeliveryWithoutWaiting) {
  WorkerDispatch w;
  w.Start();
  int switched = 0;
  SwitchBehindAHeldDelivery(w, switched);
  if (::testing::Test::HasFatalFailure()) return;
  // Returned while the delivery under way still waits, which keeps what it
  // began with.
  EXPECT_EQ(w.mail.Texts().size(), 1u);
  w.dispatch->SendTestMail();
  w.mail.LetGo(1000);
  ASSERT_TRUE(w.WaitUntilDelivered());
  EXPECT_EQ(switched, 1);
  EXPECT_EQ(w.Outcomes(), (std::vector<std::string>{
                              "erols delivered IP 10.0.0.5 Is Down! @ mail.example.net:465",
                              "erols delivered IP 192.0.2.9 is Down! @ mail.example.org:465"}));
}

// The worker goes (a reload turned parallel probing off) while new settings
// wait behind a delivery: they hold for the deliveries on this thread.
TEST(DeliveryWorkerTest, NewMailSettingsStillWaitingWhenTheWorkerGoesAreNotLost) {
  {
    // Behind a held delivery: the worker goes after it, and runs them first.
    WorkerDispatch w;
    w.Start();
    int switched = 0;
    SwitchBehindAHeldDelivery(w, switched);
    if (::testing::Test::HasFatalFailure()) return;
    w.dispatch->DeliverFromWorker(false);
    w.mail.LetGo(1000);
    ASSERT_TRUE(w.WaitUntilDelivered());
    EXPECT_EQ(switched, 1);
    w.dispatch->SendTestMail();  // on this thread now
    EXPECT_EQ(switched, 1);
    ASSERT_FALSE(w.notes.events.empty());
    EXPECT_EQ(w.Outcomes().back(), "erols delivered IP 192.0.2.9 is Down! @ mail.example.org:465");
  }
  {
    // An idle worker goes at once; settings it has not run yet run here.
    WorkerDispatch w;
    w.Start();
    int switched = 0;
    w.dispatch->BetweenDeliveries([&w, &switched] {
      w.mail.SetServer("mail.example.org:465");
      ++switched;
    });
    w.dispatch->DeliverFromWorker(false);
    EXPECT_EQ(switched, 1);
    w.mail.LetGo(1000);
    w.dispatch->SendTestMail();
    ASSERT_FALSE(w.notes.events.empty());
    EXPECT_EQ(w.Outcomes().back(), "erols delivered IP 192.0.2.9 is Down! @ mail.example.org:465");
  }
}

// Turned off (a reload to one probe at a time) while a delivery hangs: this
// thread goes on at once, the worker delivers and reports what was handed
// to it, the hanging alert and the one queued behind it, and then goes.
TEST(DeliveryWorkerTest, TurnedOffTheWorkerDeliversWhatWasHandedToItWithoutWaiting) {
  WorkerDispatch w;
  w.Start();
  w.dispatch->SendError("IP 10.0.0.5 Is Down!");
  ASSERT_TRUE(w.WaitForTexts(1));  // held
  w.dispatch->SendError("IP 10.0.0.6 Is Down!");
  const auto before = std::chrono::steady_clock::now();
  w.dispatch->DeliverFromWorker(false);
  EXPECT_LT(std::chrono::steady_clock::now() - before, 5s);  // the hold lasts 10 s
  EXPECT_EQ(w.mail.Texts().size(), 1u);
  w.mail.LetGo(1000);
  ASSERT_TRUE(w.WaitUntilDelivered());
  EXPECT_EQ(w.Outcomes(), (std::vector<std::string>{
                              "erols delivered IP 10.0.0.5 Is Down! @ mail.example.net:465",
                              "erols delivered IP 10.0.0.6 Is Down! @ mail.example.net:465"}));
  // The worker is gone: the test mail is delivered before SendTestMail returns.
  w.dispatch->SendTestMail();
  EXPECT_EQ(w.Outcomes().size(), 3u);
}

}  // namespace
}  // namespace tallyvox::monitor::testing
