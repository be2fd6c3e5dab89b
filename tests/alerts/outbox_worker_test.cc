// The outbox delivered from the delivery worker (parallel probing): a retry
// holds the monitor's thread for none of its deliveries, the alerts go out
// one after another in the order raised, each file is removed only after a
// delivery that succeeded, an alert raised meanwhile goes out behind them
// in the same pass, and a failure stops the pass with its file kept.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "support/alert_fakes.h"
#include "support/outbox_files.h"
#include "support/support.h"

namespace tallyvox::monitor::testing {
namespace {

using namespace std::chrono_literals;
using tallyvox::testing::TempDir;

// The dispatch over an outbox that holds two alerts from before.
struct WorkerOutbox : WorkerDispatch {
  explicit WorkerOutbox(const std::string& folder) {
    // Two alerts that waited from before, raised at 12:00:00.
    Outbox earlier(folder, 10, [](const std::string&) {});
    earlier.Open();
    earlier.Add(QueuedAlert{clock.Now(), kDownSubject, {"erols"}, "IP 10.0.0.5 Is Down!"});
    earlier.Add(QueuedAlert{clock.Now(), kDownSubject, {"erols"}, "IP 10.0.0.13 Is Down!"});
  }
  void Start(const std::string& folder) {
    AlertSettings settings;
    settings.outbox = folder;
    WorkerDispatch::Start(settings);
  }
};

TEST(OutboxWorkerTest, ARetryDeliversOnTheWorkerInOrderAndRemovesEachFileAfterItsDelivery) {
  TempDir dir;
  const std::string folder = dir.File("outbox");
  WorkerOutbox w(folder);
  w.Start(folder);
  // The start-up retry: its first delivery waits on the worker, and this
  // thread goes on.
  ASSERT_TRUE(w.WaitForTexts(1));
  EXPECT_EQ(AlertFiles(folder).size(), 2u);
  // An alert raised meanwhile is kept and goes out behind the two.
  w.dispatch->SendError("IP 10.0.0.20 Is Down!");
  EXPECT_EQ(AlertFiles(folder).size(), 3u);
  EXPECT_EQ(w.notes.queued, std::vector<std::string>{"IP 10.0.0.20 Is Down! (3)"});

  w.mail.LetGo(1);
  ASSERT_TRUE(w.WaitForTexts(2));
  EXPECT_TRUE(SpinUntil([&] { return AlertFiles(folder).size() == 2u; }));
  EXPECT_EQ(w.mail.Texts().size(), 2u);  // the second waits: its file stays
  w.mail.LetGo(1000);
  bool delivered = false;
  w.dispatch->WhenDelivered([&] { delivered = true; });
  ASSERT_TRUE(SpinUntil([&] { return delivered; }));
  EXPECT_EQ(w.mail.Texts(), (std::vector<std::string>{"IP 10.0.0.5 Is Down! (raised 12:00:00)",
                                                      "IP 10.0.0.13 Is Down! (raised 12:00:00)",
                                                      "IP 10.0.0.20 Is Down! (raised 12:00:00)"}));
  EXPECT_TRUE(AlertFiles(folder).empty());
  EXPECT_EQ(w.notes.pending, 0);
  EXPECT_FALSE(w.dispatch->RetryScheduled());
  EXPECT_TRUE(w.view.messages.empty());  // a retry shows no box
}

TEST(OutboxWorkerTest, AFailedDeliveryStopsThePassAndKeepsTheFiles) {
  TempDir dir;
  const std::string folder = dir.File("outbox");
  WorkerOutbox w(folder);
  w.mail.SetDown(true);
  w.mail.LetGo(1000);
  w.Start(folder);
  bool delivered = false;
  ASSERT_TRUE(w.WaitForTexts(1));
  w.dispatch->WhenDelivered([&] { delivered = true; });
  ASSERT_TRUE(SpinUntil([&] { return delivered; }));
  EXPECT_EQ(w.mail.Texts().size(), 1u);  // the oldest failed: the other waits behind it
  EXPECT_EQ(AlertFiles(folder).size(), 2u);
  EXPECT_TRUE(w.dispatch->RetryScheduled());
  EXPECT_EQ(w.dispatch->RetryInterval(), AlertDispatch::kFirstRetry);

  // A new alert's pass shows its failure in a box, as without the worker.
  w.dispatch->SendError("IP 10.0.0.20 Is Down!");
  delivered = false;
  w.dispatch->WhenDelivered([&] { delivered = true; });
  ASSERT_TRUE(SpinUntil([&] { return delivered; }));
  EXPECT_EQ(w.view.messages, std::vector<std::string>{"refused"});
  EXPECT_EQ(AlertFiles(folder).size(), 3u);

  w.mail.SetDown(false);
  w.dispatch->Retry();
  delivered = false;
  w.dispatch->WhenDelivered([&] { delivered = true; });
  ASSERT_TRUE(SpinUntil([&] { return delivered; }));
  EXPECT_TRUE(AlertFiles(folder).empty());
}

}  // namespace
}  // namespace tallyvox::monitor::testing
