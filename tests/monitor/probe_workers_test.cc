// The workers of parallel probing on their own: channels and threads are
// made only for the probes in flight (111 allowed, 3 run: 3 of each, and
// none more when the next 3 run); quick probes run on the base threads,
// queued ahead of them, slow ones get a thread each; the results come back
// in the order the probes ended, with one wake-up for all that ended before
// they were taken, and a result kept behind a queue is not held there.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "base/mutex.h"
#include "monitor/probe_workers.h"
#include "support/gate.h"

namespace tallyvox::monitor {
namespace {

using namespace std::chrono_literals;

using tallyvox::testing::Gate;

class GatedChannel : public ProbeChannel {
 public:
  GatedChannel(Gate& gate, std::atomic<int>& running) : gate_(gate), running_(running) {}
  void PrepareCycle() override { ++prepared; }
  void AimProbe(const std::string& address, bool) override { aimed_ = address; }
  void RunProbe() override {
    ++running_;
    const bool opened = gate_.Wait(aimed_);
    --running_;
    if (!opened) throw std::runtime_error("never opened");
  }
  void ReleaseProbe() override {}
  int prepared = 0;  // used on the test's thread only

 private:
  Gate& gate_;
  std::atomic<int>& running_;
  std::string aimed_;
};

struct Source : ProbeChannelSource {
  Source(Gate& gate, std::atomic<int>& running) : gate(gate), running(running) {}
  std::unique_ptr<ProbeChannel> NewChannel() override {
    ++made;
    return std::make_unique<GatedChannel>(gate, running);
  }
  Gate& gate;
  std::atomic<int>& running;
  int made = 0;
};

struct Workers {
  explicit Workers(ProbeWorkers::Options options = {})
      : workers(
            kMaxProbes, main, source, [this] { ++wakes; }, options) {}
  Gate gate;
  std::atomic<int> running{0};  // probes inside RunProbe
  GatedChannel main{gate, running};
  Source source{gate, running};
  std::atomic<int> wakes{0};
  ProbeWorkers workers;
  static constexpr int kMaxProbes = 111;

  ~Workers() {
    for (const std::string& a : started) gate.Open(a);
  }
  // Aims a free slot's channel at `address` and starts its probe.
  int Start(const std::string& address) {
    const int slot = workers.FreeSlot(false);
    EXPECT_GE(slot, 0);
    workers.Channel(slot).AimProbe(address, true);
    workers.Start(slot, true);
    started.push_back(address);
    return slot;
  }
  // Takes results until `n` came back (bounded), each slot freed.
  std::vector<EndedProbe> Collect(size_t n) {
    std::vector<EndedProbe> all;
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (all.size() < n && std::chrono::steady_clock::now() < deadline) {
      for (EndedProbe& e : workers.TakeResults()) {
        workers.Finished(e.slot);
        all.push_back(std::move(e));
      }
      std::this_thread::sleep_for(1ms);
    }
    return all;
  }
  // Waits (bounded) until `n` probes are inside RunProbe at once.
  bool WaitUntilRunning(int n) {
    const auto deadline = std::chrono::steady_clock::now() + 5s;
    while (running < n && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(1ms);
    }
    return running == n;
  }
  void WaitUntilKept(size_t n) {
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (workers.Kept() < n && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(1ms);
    }
    ASSERT_EQ(workers.Kept(), n);
  }
  std::vector<std::string> started;
};

TEST(ProbeWorkersTest, ChannelsAndThreadsAreMadeOnlyForTheProbesInFlight) {
  Workers w;
  w.workers.PrepareCycle();
  for (const char* a : {"10.0.0.2", "10.0.0.3", "10.0.0.4"}) w.Start(a);
  EXPECT_EQ(w.source.made, 3);
  EXPECT_EQ(w.workers.Channels(), 4);  // the main channel and three made
  EXPECT_LE(w.workers.Threads(), 3);
  EXPECT_EQ(w.workers.InFlight(), 3);
  for (const char* a : {"10.0.0.2", "10.0.0.3", "10.0.0.4"}) w.gate.Open(a);
  EXPECT_EQ(w.Collect(3).size(), 3u);

  // The next three probes run on the channels and threads made before.
  for (const char* a : {"10.0.0.5", "10.0.0.6", "10.0.0.7"}) w.Start(a);
  EXPECT_EQ(w.source.made, 3);
  EXPECT_LE(w.workers.Threads(), 3);
  for (const char* a : {"10.0.0.5", "10.0.0.6", "10.0.0.7"}) w.gate.Open(a);
  EXPECT_EQ(w.Collect(3).size(), 3u);
  // Channels made after the cycle was prepared are prepared as they are made.
  for (int slot = 1; slot < w.workers.Channels(); ++slot) {
    EXPECT_EQ(static_cast<GatedChannel&>(w.workers.Channel(slot)).prepared, 1) << slot;
  }
}

TEST(ProbeWorkersTest, ResultsComeBackInTheOrderProbesEndedWithOneWakeForThoseWaiting) {
  Workers w;
  const int first = w.Start("10.0.0.2");
  const int second = w.Start("10.0.0.3");
  const int third = w.Start("10.0.0.4");
  w.gate.Open("10.0.0.4");
  const std::vector<EndedProbe> one = w.Collect(1);
  ASSERT_EQ(one.size(), 1u);
  EXPECT_EQ(one[0].slot, third);
  EXPECT_EQ(w.wakes, 1);

  // Two end before anyone takes them: one wake-up brings both, in order.
  w.gate.Open("10.0.0.2");
  w.WaitUntilKept(1);
  w.gate.Open("10.0.0.3");
  w.WaitUntilKept(2);
  const std::vector<EndedProbe> two = w.Collect(2);
  ASSERT_EQ(two.size(), 2u);
  EXPECT_EQ(two[0].slot, first);
  EXPECT_EQ(two[1].slot, second);
  EXPECT_EQ(w.wakes, 2);
  EXPECT_EQ(w.workers.InFlight(), 0);
}

ProbeWorkers::Options Opts(int base_threads, std::chrono::microseconds slow, int low_water = -1) {
  ProbeWorkers::Options o;
  o.base_threads = base_threads;
  o.slow = slow;
  o.low_water = low_water;
  return o;
}

TEST(ProbeWorkersTest, QuickProbesRunOnTheBaseThreadsQueuedAheadOfThem) {
  Workers w(Opts(2, 3600s));  // nothing is ever slow
  std::vector<std::string> addresses;
  for (int i = 0; i < 30; ++i) {
    addresses.push_back("10.0.1." + std::to_string(i));
    w.gate.Open(addresses.back());  // each probe ends as it starts
  }
  for (const std::string& a : addresses) w.Start(a);
  EXPECT_EQ(w.Collect(30).size(), 30u);
  EXPECT_LE(w.workers.Threads(), 2);
  EXPECT_EQ(w.source.made, 30);  // a channel per probe in flight all the same
}

TEST(ProbeWorkersTest, SlowProbesGetAThreadEachSoTheQueueBehindThemDoesNotWait) {
  Workers w(Opts(1, 5ms));
  for (int i = 0; i < 6; ++i) w.Start("10.0.2." + std::to_string(i));
  // One base thread takes the first; once it is slow, the other five get
  // threads of their own rather than waiting for its end.
  ASSERT_TRUE(w.WaitUntilRunning(6)) << w.running << " running";
  EXPECT_EQ(w.workers.Threads(), 6);
  for (const std::string& a : w.started) w.gate.Open(a);
  EXPECT_EQ(w.Collect(6).size(), 6u);
}

TEST(ProbeWorkersTest, AResultKeptBehindAQueueStillWakesTheMonitor) {
  // One base thread, and a wake only with no probe queued: the first
  // probe's result is kept while two wait behind it.
  Workers w(Opts(1, 50ms, 0));
  w.gate.Open("10.0.3.1");
  w.Start("10.0.3.1");
  w.Start("10.0.3.2");
  w.Start("10.0.3.3");
  const auto deadline = std::chrono::steady_clock::now() + 5s;
  while (w.wakes == 0 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(1ms);
  }
  ASSERT_EQ(w.wakes, 1);
  const std::vector<EndedProbe> taken = w.workers.TakeResults();
  ASSERT_EQ(taken.size(), 1u);
  EXPECT_EQ(taken[0].slot, 1);
  EXPECT_FALSE(taken[0].result.failed);
  EXPECT_EQ(w.workers.InFlight(), 3);  // the slots stay busy until Finished
}

}  // namespace
}  // namespace tallyvox::monitor
