// Parallel probing ([polling] parallel > 1) over the real probe channels and
// audit table against mwserver: the same rows, texts, counters, beeps,
// alerts and audit writes as a sequential cycle, only interleaved; and a
// stop during a parallel cycle ends it within a second with the table whole.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <map>
#include <memory>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "adapters/audit_log.h"
#include "adapters/probe_channel.h"
#include "support/real_fixture.h"
#include "support/silent_runner.h"

namespace tallyvox::monitor::testing {
namespace {

using namespace std::chrono_literals;
using SteadyClock = std::chrono::steady_clock;

// The audit table, every write also noted in the shared log.
class LoggedAudit : public AuditLog {
 public:
  LoggedAudit(const std::string& folder, CallLog& log)
      : real_(folder + "/", "config.dbf"), log_(log) {}
  void OpenAuditTable() override { real_.OpenAuditTable(); }
  void RecordProbe(const std::string& address, TDateTime start) override {
    log_.push_back("RecordProbe " + address);
    real_.RecordProbe(address, start);
  }

 private:
  DbeAuditLog real_;
  CallLog& log_;
};

// A monitor over real probe channels (the main one and the workers'), the
// audit table and the fake alert side, driven on the test's thread.
struct ChannelMonitor : ProbeChannelSource {
  ChannelMonitor(const ProbeSettings& probe_settings, const std::string& folder, int parallel)
      : settings(probe_settings), main(settings), audit(folder, log) {
    Bind(main);
    monitor.SetParallel(parallel, this);
  }
  ~ChannelMonitor() override { monitor.SetParallel(1, nullptr); }
  std::unique_ptr<ProbeChannel> NewChannel() override {
    auto channel = std::make_unique<MwProbeChannel>(settings);
    Bind(*channel);
    return channel;
  }
  void Bind(MwProbeChannel& channel) {
    channel.MwTCPIPClientTransport1.OnException =
        [this](mw::TMwCustomClient*, mw::TMwRequestStates, mw::TMwRequestStates&,
               const std::exception& e) { monitor.TransportFailed(e.what()); };
  }
  void Tick(int row, const std::string& address) {
    view.inputs.SetChecked(Roster::Row(row).check_box, true);
    view.inputs.SetText(Roster::Row(row).edit, address);
  }
  // One cycle, to its end: the parallel one ends after DoPoll returns, with
  // the last result posted back.
  void Cycle() {
    monitor.Handle([&] { monitor.DoPoll(); });
    const auto deadline = SteadyClock::now() + 30s;
    while (monitor.CycleRunning() && SteadyClock::now() < deadline) {
      QCoreApplication::processEvents();
      std::this_thread::sleep_for(1ms);
    }
    ASSERT_FALSE(monitor.CycleRunning());
  }

  ProbeSettings settings;
  CallLog log;
  StopSignal stop;
  RecordingView view{log, stop};
  MwProbeChannel main;
  LoggedAudit audit;
  FakeAlerts alerts{log};
  SystemClock clock;
  Reports reports;
  Monitor monitor{view, main, audit, alerts, clock, stop, &reports};
};

// The log as each row saw it: the entries that name its label or address,
// times of day blanked; beeps and the indicator counted apart.
std::map<int, std::vector<std::string>> PerRow(const CallLog& log) {
  static const std::regex time(R"(\d{1,2}:\d{2}:\d{2}( ?[AP]M)?)");
  std::map<int, std::vector<std::string>> rows;
  for (const ServerEntry& e : Roster::Rows()) {
    const std::string label = " " + e.label + " ";
    for (const std::string& entry : log) {
      const bool about_label = (entry + " ").find(label) != std::string::npos;
      if (about_label) rows[e.row].push_back(std::regex_replace(entry, time, "T"));
    }
  }
  return rows;
}

std::vector<std::string> Only(const CallLog& log, const std::string& prefix) {
  std::vector<std::string> out;
  for (const std::string& e : log) {
    if (e.rfind(prefix, 0) == 0) out.push_back(e);
  }
  return out;
}

// Healthy, refusing, silent and erroring rows, more than the workers.
struct Roster4 {
  MwServerProcess healthy{{"--listen", "127.0.3.1-127.0.3.111:0"}};
  std::unique_ptr<MwServerProcess> silent;
  std::unique_ptr<MwServerProcess> erroring;
  std::map<int, std::string> rows;
  Roster4() {
    if (!healthy.ready()) return;
    const std::string port = std::to_string(healthy.port());
    silent = std::make_unique<MwServerProcess>(
        std::vector<std::string>{"--fault", "silent", "--listen", "127.0.5.1-127.0.5.3:" + port});
    erroring = std::make_unique<MwServerProcess>(
        std::vector<std::string>{"--fault", "error", "--error-text", "Table ufile7 is locked",
                                 "--listen", "127.0.6.1-127.0.6.2:" + port});
    for (int row : {1, 2, 3, 4, 9, 28, 60, 108, 111}) rows[row] = "127.0.3." + std::to_string(row);
    rows[5] = "127.0.4.5";  // nobody listens: refused
    rows[13] = "127.0.4.13";
    rows[20] = "127.0.5.1";  // silent
    rows[21] = "127.0.5.2";
    rows[70] = "127.0.5.3";
    rows[40] = "127.0.6.1";  // the server's error
    rows[99] = "127.0.6.2";
  }
  bool ready() const { return healthy.ready() && silent->ready() && erroring->ready(); }
};

TEST(ParallelProbeTest, SameRowsTextsCountersAlertsAndAuditWritesAsSequential) {
  Roster4 servers;
  ASSERT_TRUE(servers.ready()) << servers.healthy.Output();
  TempDir dir;
  ProbeSettings probe;
  probe.port = servers.healthy.port();
  probe.connect_timeout = 1;
  probe.request_timeout = 1;

  struct Run {
    CallLog log;
    std::vector<ProbeEvent> probes;
    std::vector<CycleEvent> cycles;
    std::vector<std::string> audit;
  };
  const auto run = [&](int parallel) {
    ChannelMonitor m(probe, MakeAuditTable(dir), parallel);
    for (const auto& [row, address] : servers.rows) m.Tick(row, address);
    m.monitor.ResetOkCounters();
    m.Cycle();
    m.Cycle();  // counters go on; row 1 reuses its pooled connection
    Run r{m.log, m.reports.probes, m.reports.cycles, AuditRecords(dir.path())};
    return r;
  };
  const Run sequential = run(1);
  const Run parallel = run(4);

  // Each row went through the same steps with the same texts and colours.
  const auto seq_rows = PerRow(sequential.log);
  const auto par_rows = PerRow(parallel.log);
  EXPECT_EQ(par_rows, seq_rows);
  ASSERT_EQ(seq_rows.at(5).size(), 2 * 5u);  // red, Checking, repaint, black, Problem; twice
  EXPECT_EQ(seq_rows.at(5)[4], "text Label5 Problem T");
  EXPECT_EQ(seq_rows.at(108).back(), "text Label112 OK 4");  // shares row 28's counter
  EXPECT_EQ(seq_rows.at(40).back(), "text Label42 Problem");
  // The audit writes, in row order as each probe started, the alerts and
  // the beeps, the problem indicator once per transport failure.
  EXPECT_EQ(Only(parallel.log, "RecordProbe"), Only(sequential.log, "RecordProbe"));
  EXPECT_EQ(Only(parallel.log, "RecordProbe").size(), 2 * servers.rows.size());
  auto sorted = [](std::vector<std::string> v) {
    std::sort(v.begin(), v.end());
    return v;
  };
  EXPECT_EQ(sorted(Only(parallel.log, "SendError")), sorted(Only(sequential.log, "SendError")));
  EXPECT_EQ(Only(sequential.log, "SendError").size(), 2 * 7u);
  EXPECT_EQ(Count(parallel.log, "beep"), Count(sequential.log, "beep"));
  EXPECT_EQ(Count(parallel.log, "text Label18 Problem"),
            Count(sequential.log, "text Label18 Problem"));
  EXPECT_GT(Count(sequential.log, "text Label18 Problem"), 0);
  // The probe events agree row by row (outcome, count, status, reason).
  const auto by_row = [](const std::vector<ProbeEvent>& probes) {
    std::multimap<int, std::string> out;
    for (const ProbeEvent& p : probes) {
      out.emplace(p.row, p.address + "|" + std::to_string(static_cast<int>(p.outcome)) + "|" +
                             std::to_string(p.count) + "|" + p.reason);
    }
    return out;
  };
  EXPECT_EQ(by_row(parallel.probes), by_row(sequential.probes));
  ASSERT_EQ(parallel.cycles.size(), 2u);
  ASSERT_EQ(sequential.cycles.size(), 2u);
  for (int i = 0; i < 2; ++i) {
    EXPECT_EQ(parallel.cycles[i].rows, sequential.cycles[i].rows);
    EXPECT_EQ(parallel.cycles[i].failed, sequential.cycles[i].failed);
    EXPECT_EQ(parallel.cycles[i].skipped, sequential.cycles[i].skipped);
    EXPECT_EQ(parallel.cycles[i].parallel, 4);
    EXPECT_EQ(sequential.cycles[i].parallel, 1);
  }
  EXPECT_EQ(sequential.cycles[0].failed, 7);
  // The table holds the last write whole: the last row started.
  ASSERT_EQ(parallel.audit.size(), 1u);
  EXPECT_EQ(parallel.audit[0].substr(0, parallel.audit[0].find('|')), "127.0.3.111");
}

// The "Checking..." texts a view was given.
int Checking(CountingView& view) {
  const auto texts = view.Texts();
  return static_cast<int>(std::count_if(texts.begin(), texts.end(), [](const std::string& t) {
    return t.find("Checking...") != std::string::npos;
  }));
}

TEST(ParallelProbeTest, StopDuringAParallelCycleEndsWithinASecondWithTheTableWhole) {
  SilentRunner rig("127.0.5.1-127.0.5.12:0");
  ASSERT_TRUE(rig.server.ready()) << rig.server.Output();
  rig.settings.probe.parallel = 8;
  for (int i = 0; i < 12; ++i) {
    rig.settings.roster[20 + i] = {"127.0.5." + std::to_string(i + 1), true};
  }
  rig.StartAndPoll();
  // Wait until eight probes wait on the silent servers at once.
  rig.WaitForProbes(8);
  ASSERT_EQ(Checking(rig.view), 8) << rig.server.Output();
  const auto stop_at = SteadyClock::now();
  EXPECT_TRUE(rig.runner.Stop(1s));
  EXPECT_LT(SteadyClock::now() - stop_at, 1s);
  // The broken probes are no outcome: no "Problem", no beep, no box, no alert.
  for (const std::string& t : rig.view.Texts()) {
    EXPECT_EQ(t.find("Problem"), std::string::npos) << t;
  }
  EXPECT_EQ(rig.view.beeps.load(), 0);
  EXPECT_EQ(rig.view.boxes.load(), 0);
  EXPECT_TRUE(rig.reports.probes.empty());
  EXPECT_TRUE(rig.reports.alerts.empty());
  // The table is whole: one record, the eighth probe's start.
  const auto records = AuditRecords(rig.dir.path());
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].substr(0, records[0].find('|')), "127.0.5.8");
}

}  // namespace
}  // namespace tallyvox::monitor::testing
