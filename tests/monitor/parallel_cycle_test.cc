// The parallel poll cycle over probe channels whose probes a test releases
// one by one: results applied in the order probes end, the cycle's end at
// its last result, a cycle asked to start meanwhile skipped, a failed audit
// write that ends the starting of rows while the probes in flight still
// count, "Connect" waiting for the main channel, and work put off until the
// cycle ends. And the grouped alerts' beep: seven beeps once per cycle.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <chrono>
#include <memory>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "base/mutex.h"
#include "support/gate.h"
#include "support/monitor_fakes.h"

namespace tallyvox::monitor::testing {
namespace {

using namespace std::chrono_literals;

using tallyvox::testing::Gate;

// Aimed on the monitor's thread (logged there), run on a worker, which
// touches only what the aim left and the gate.
class GatedChannel : public ProbeChannel {
 public:
  GatedChannel(Gate& gate, CallLog& log, const std::set<std::string>& down)
      : gate_(gate), log_(log), down_(down) {}
  void PrepareCycle() override {}
  void AimProbe(const std::string& address, bool fresh) override {
    log_.push_back("AimProbe " + address + (fresh ? " fresh" : " keep"));
    aimed_ = address;
  }
  void RunProbe() override {
    if (!gate_.Wait(aimed_)) throw std::runtime_error("never opened");
    if (down_.count(aimed_) > 0) throw std::runtime_error("Connection lost.");
  }
  void ReleaseProbe() override {}

 private:
  Gate& gate_;
  CallLog& log_;
  const std::set<std::string>& down_;
  std::string aimed_;
};

class FailingAudit : public AuditLog {
 public:
  explicit FailingAudit(CallLog& log) : log_(log) {}
  void OpenAuditTable() override {}
  void RecordProbe(const std::string& address, TDateTime) override {
    log_.push_back("RecordProbe " + address);
    if (address == fail_at) throw std::runtime_error("DbeTable1: write failed");
  }
  std::string fail_at = "\x01";

 private:
  CallLog& log_;
};

struct Recorder : MonitorObserver {
  void CycleFinished(const CycleEvent& e) override { cycles.push_back(e); }
  void CycleSkipped() override { ++skipped; }
  void ProbeFinished(const ProbeEvent& e) override {
    if (e.outcome != ProbeEvent::Outcome::kSkipped) finished.push_back(e.row);
  }
  std::vector<CycleEvent> cycles;
  std::vector<int> finished;
  int skipped = 0;
};

struct ParallelMonitor : ProbeChannelSource {
  explicit ParallelMonitor(int parallel) {
    observers.Add(&recorder);
    monitor.SetParallel(parallel, this);
  }
  ~ParallelMonitor() override {
    for (int row = 1; row <= kRosterRows; ++row) gate.Open(FakeMonitor::Address(row));
    monitor.SetParallel(1, nullptr);
  }
  std::unique_ptr<ProbeChannel> NewChannel() override {
    return std::make_unique<GatedChannel>(gate, log, down);
  }
  void Tick(std::initializer_list<int> rows) {
    for (int row : rows) {
      view.inputs.SetChecked(Roster::Row(row).check_box, true);
      view.inputs.SetText(Roster::Row(row).edit, FakeMonitor::Address(row));
    }
  }
  // Lets the probe of `row` end and waits (bounded) until its result was
  // applied.
  void Release(int row) {
    const size_t before = recorder.finished.size();
    gate.Open(FakeMonitor::Address(row));
    Spin([&] { return recorder.finished.size() > before; });
  }
  template <typename Until>
  static void Spin(Until until) {
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (!until() && std::chrono::steady_clock::now() < deadline) {
      QCoreApplication::processEvents();
      std::this_thread::sleep_for(1ms);
    }
  }

  Gate gate;
  std::set<std::string> down;
  CallLog log;
  StopSignal stop;
  RecordingView view{log, stop};
  GatedChannel main{gate, log, down};
  FailingAudit audit{log};
  FakeAlerts alerts{log};
  FakeClock clock;
  Recorder recorder;
  ObserverList observers;
  Monitor monitor{view, main, audit, alerts, clock, stop, &observers};
};

size_t IndexOf(const CallLog& log, const std::string& entry) {
  return static_cast<size_t>(std::find(log.begin(), log.end(), entry) - log.begin());
}

TEST(ParallelCycleTest, ResultsApplyAsProbesEndAndTheCycleEndsAtTheLast) {
  ParallelMonitor m(2);
  m.Tick({2, 3, 4});
  m.down = {FakeMonitor::Address(3)};
  m.monitor.ResetOkCounters();
  m.monitor.Handle([&] { m.monitor.DoPoll(); });
  // Two probes in flight; row 4 waits for a worker; the cycle runs on.
  EXPECT_TRUE(m.monitor.CycleRunning());
  EXPECT_EQ(m.monitor.ProbesInFlight(), 2);
  EXPECT_FALSE(Contains(m.log, "RecordProbe 10.0.0.4"));
  // A cycle asked to start meanwhile is skipped.
  m.monitor.Handle([&] { m.monitor.DoPoll(); });
  EXPECT_EQ(m.recorder.skipped, 1);

  m.Release(3);  // row 3 ends first; row 4 starts on its worker
  EXPECT_TRUE(Contains(m.log, "RecordProbe 10.0.0.4"));
  EXPECT_EQ(m.view.texts["Label3"], "Problem 12:00:00");
  EXPECT_EQ(m.view.texts["Label2"], "Checking...12:00:00");
  m.Release(4);
  m.Release(2);
  EXPECT_FALSE(m.monitor.CycleRunning());
  EXPECT_EQ(m.recorder.finished, (std::vector<int>{3, 4, 2}));
  EXPECT_LT(IndexOf(m.log, "text Label4 OK 1"), IndexOf(m.log, "text Label2 OK 1"));
  EXPECT_EQ(Count(m.log, "beep"), 7);
  EXPECT_EQ(Count(m.log, "SendError IP 10.0.0.3 Is Down!"), 1);
  ASSERT_EQ(m.recorder.cycles.size(), 1u);
  EXPECT_EQ(m.recorder.cycles[0].rows, 3);
  EXPECT_EQ(m.recorder.cycles[0].failed, 1);
  EXPECT_EQ(m.recorder.cycles[0].parallel, 2);
  EXPECT_EQ(m.monitor.ProbesInFlight(), 0);
  // The audit writes went in row order, as each probe started.
  EXPECT_LT(IndexOf(m.log, "RecordProbe 10.0.0.2"), IndexOf(m.log, "RecordProbe 10.0.0.3"));
}

TEST(ParallelCycleTest, AFailedAuditWriteStartsNoMoreRowsAndTheProbesInFlightStillCount) {
  ParallelMonitor m(2);
  m.Tick({2, 3, 4, 5});
  m.audit.fail_at = FakeMonitor::Address(4);
  m.monitor.ResetOkCounters();
  m.monitor.Handle([&] { m.monitor.DoPoll(); });
  m.Release(2);  // row 4 starts, and its audit write fails
  EXPECT_EQ(m.view.errors, std::vector<std::string>{"DbeTable1: write failed."});
  EXPECT_EQ(m.view.texts["Label4"], "Checking...12:00:00");
  EXPECT_TRUE(m.monitor.CycleRunning());  // row 3 is still in flight
  m.Release(3);
  EXPECT_FALSE(m.monitor.CycleRunning());
  EXPECT_EQ(m.view.texts["Label3"], "OK 1");
  EXPECT_FALSE(Contains(m.log, "RecordProbe 10.0.0.5"));
  ASSERT_EQ(m.recorder.cycles.size(), 1u);
  EXPECT_TRUE(m.recorder.cycles[0].ended_by_error);
  EXPECT_EQ(m.recorder.cycles[0].rows, 2);
}

TEST(ParallelCycleTest, ConnectWaitsForTheMainChannelAndWorkWaitsForTheCycle) {
  ParallelMonitor m(2);
  m.Tick({2, 3});
  // "Connect" probes row 1's address, ticked or not.
  m.view.inputs.SetText(Roster::Row(1).edit, FakeMonitor::Address(1));
  m.gate.Open(FakeMonitor::Address(1));
  m.monitor.ResetOkCounters();
  m.monitor.Handle([&] { m.monitor.DoPoll(); });
  bool worked = false;
  m.monitor.WhenIdle([&] { worked = true; });
  EXPECT_FALSE(worked);
  // Both workers are busy, the main channel's (slot 0) with row 3.
  m.monitor.Handle([&] { m.monitor.Button2Click(); });
  EXPECT_FALSE(Contains(m.log, "AimProbe 10.0.0.1 keep"));
  m.Release(3);
  EXPECT_TRUE(Contains(m.log, "AimProbe 10.0.0.1 keep"));
  EXPECT_EQ(m.view.texts["Label1"], "OK ");
  EXPECT_FALSE(worked);
  m.Release(2);
  EXPECT_TRUE(worked);
}

// With grouped alerts a cycle beeps seven times at its first failure, not
// seven times per failed row.
TEST(GroupBeepTest, SevenBeepsOncePerCycle) {
  for (bool grouped : {false, true}) {
    FakeMonitor f;
    f.monitor.SetGroupBeeps(grouped);
    f.Tick({2, 3, 4});
    f.probe.down = {FakeMonitor::Address(2), FakeMonitor::Address(4)};
    f.monitor.ResetOkCounters();
    f.monitor.DoPoll();
    EXPECT_EQ(Count(f.log, "beep"), grouped ? 7 : 14);
    f.monitor.DoPoll();
    EXPECT_EQ(Count(f.log, "beep"), grouped ? 14 : 28);
    EXPECT_EQ(Count(f.log, "SendError IP 10.0.0.2 Is Down!"), 2);
  }
}

}  // namespace
}  // namespace tallyvox::monitor::testing
