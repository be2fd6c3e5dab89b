// One poll cycle of the monitor over 111 ticked rows against healthy local
// servers (mwserver on 127.0.6.1-111), with a real audit table and a view
// that does nothing, versus a plain socket loop sending the same request
// bytes to the same servers (target: at most 2x), with the CPU time per probe
// (target: at most 0.1 ms). And the audit write (DbeAuditLog::RecordProbe)
// versus the least a locked record write can cost: lock the record, pwrite
// the record and the header, unlock (target: at most 2x).
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <QCoreApplication>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "assembly/assembly.h"
#include "assembly/runner.h"
#include "config/settings_file.h"
#include "plain_probe.h"
#include "support/mwserver_process.h"
#include "support/support.h"

namespace {

using namespace tallyvox;
using namespace tallyvox::monitor;

constexpr int kRows = kRosterRows;

std::string RowAddress(int row) { return "127.0.6." + std::to_string(row); }

struct Fixture {
  testing::TempDir dir;
  int port = 0;
  std::unique_ptr<testing::MwServerProcess> servers;
  Settings settings;
  InputStore inputs;
  SilentView view{inputs};  // its inputs tick every row
  StopSignal stop{ShutDownSockets};
  std::unique_ptr<MonitorAssembly> assembly;
  std::string request = bench::ProbeRequestBytes();

  Fixture() {
    servers = std::make_unique<testing::MwServerProcess>(std::vector<std::string>{
        "--quiet", "--idle-timeout", "30", "--listen", "127.0.6.1-127.0.6.111:0"});
    if (!servers->ready()) throw std::runtime_error("mwserver did not start: " + servers->Output());
    port = servers->port();
    if (testing::RunCommand(testing::BinaryDir() + "/tools/dbetool create " +
                            dir.File("config.dbf")) != 0) {
      throw std::runtime_error("dbetool create failed");
    }
    settings.probe.port = port;
    settings.audit_folder = dir.path() + "/";
    for (int row = 1; row <= kRows; ++row) settings.roster[row - 1] = {RowAddress(row), true};
    FillInputs(settings, inputs);
    assembly = std::make_unique<MonitorAssembly>(settings, view, stop);
    assembly->monitor().ResetOkCounters();
  }

  void MonitorCycle() {
    assembly->monitor().DoPoll();
    if (assembly->monitor().Counters().Value(2) < 2) throw std::runtime_error("a probe failed");
  }
  void PlainCycle() {
    for (int row = 1; row <= kRows; ++row) bench::PlainProbe(request, RowAddress(row), port);
  }
};

// Made on first use; main() destroys it before it returns, so its mwserver
// stops with the benchmark.
std::unique_ptr<Fixture>& FixtureSlot() {
  static auto* slot = new std::unique_ptr<Fixture>;
  return *slot;
}

Fixture& TheFixture() {
  if (!FixtureSlot()) FixtureSlot() = std::make_unique<Fixture>();
  return *FixtureSlot();
}

template <typename F>
void RunCycles(benchmark::State& state, F&& cycle) {
  const double cpu_start = bench::ProcessCpuSeconds();
  for (auto _ : state) {
    try {
      cycle();
    } catch (const std::exception& e) {
      state.SkipWithError(e.what());
      break;
    }
  }
  state.counters["process_cpu_us_per_probe"] = (bench::ProcessCpuSeconds() - cpu_start) * 1e6 /
                                               static_cast<double>(state.iterations() * kRows);
  state.SetItemsProcessed(state.iterations() * kRows);
}

void BM_MonitorCycle(benchmark::State& state) {
  RunCycles(state, [] { TheFixture().MonitorCycle(); });
}
BENCHMARK(BM_MonitorCycle)->Iterations(20)->UseRealTime()->Unit(benchmark::kMillisecond);

void BM_PlainSocketCycle(benchmark::State& state) {
  RunCycles(state, [] { TheFixture().PlainCycle(); });
}
BENCHMARK(BM_PlainSocketCycle)->Iterations(20)->UseRealTime()->Unit(benchmark::kMillisecond);

void BM_AuditWrite(benchmark::State& state) {
  AuditLog& audit = TheFixture().assembly->audit();
  audit.OpenAuditTable();
  double t = 0.25;
  for (auto _ : state) {
    audit.RecordProbe("127.0.6.111", t);
    t += 1e-7;
  }
}
BENCHMARK(BM_AuditWrite)->UseRealTime();

// The least a locked record write costs: the engine's record lock (an
// open-file-description lock on byte 2^48 + record number), pwrite of the
// record and of the header's update date and count, unlock.
class LockedRecordWrite {
 public:
  explicit LockedRecordWrite(const std::string& path) {
    fd_ = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
    if (fd_ < 0 || ::pread(fd_, header_, sizeof header_, 0) != sizeof header_) {
      throw std::runtime_error("cannot open " + path);
    }
    record_.assign(85, ' ');
  }
  ~LockedRecordWrite() { ::close(fd_); }
  void Write() {
    Lock(F_WRLCK);
    if (::pwrite(fd_, record_.data(), record_.size(), 97) != 85 ||
        ::pwrite(fd_, header_, sizeof header_, 0) != sizeof header_) {
      throw std::runtime_error("pwrite failed");
    }
    Lock(F_UNLCK);
  }

 private:
  void Lock(short type) {
    struct flock fl {};
    fl.l_type = type;
    fl.l_whence = SEEK_SET;
    fl.l_start = (1LL << 48) + 1;
    fl.l_len = 1;
    if (::fcntl(fd_, F_OFD_SETLK, &fl) != 0) throw std::runtime_error("lock failed");
  }
  int fd_ = -1;
  char header_[8];
  std::string record_;
};

void BM_LockedRecordWrite(benchmark::State& state) {
  LockedRecordWrite w(TheFixture().dir.File("config.dbf"));
  for (auto _ : state) w.Write();
}
BENCHMARK(BM_LockedRecordWrite)->UseRealTime();

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

// Interleaved rounds, so that load from other processes hits both alike.
template <typename A, typename B>
void PrintRatio(const char* what, const char* a_name, A&& a, const char* b_name, B&& b, int rounds,
                int per_round, double per_item, const char* unit) {
  std::vector<double> a_us, b_us, a_cpu, b_cpu;
  auto round_of = [&](auto&& f, std::vector<double>& wall, std::vector<double>& cpu) {
    const auto start = std::chrono::steady_clock::now();
    const double cpu_start = bench::ProcessCpuSeconds();
    for (int i = 0; i < per_round; ++i) f();
    wall.push_back(
        std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start)
            .count() /
        per_round);
    cpu.push_back((bench::ProcessCpuSeconds() - cpu_start) * 1e6 / per_round / per_item);
  };
  for (int r = 0; r < rounds; ++r) {
    round_of(a, a_us, a_cpu);
    round_of(b, b_us, b_cpu);
  }
  const double ma = Median(a_us), mb = Median(b_us);
  std::printf(
      "%s:\n  %-22s %10.1f us, CPU %.2f us per %s\n  %-22s %10.1f us, CPU %.2f us per %s\n"
      "  ratio %.2fx (target: at most 2x) %s\n",
      what, a_name, ma, Median(a_cpu), unit, b_name, mb, Median(b_cpu), unit, ma / mb,
      ma / mb <= 2.0 ? "OK" : "ABOVE TARGET");
}

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  try {
    Fixture& f = TheFixture();
    PrintRatio(
        "one cycle of 111 rows", "monitor DoPoll", [&] { f.MonitorCycle(); }, "plain socket loop",
        [&] { f.PlainCycle(); }, 7, 3, kRows, "probe");
    AuditLog& audit = f.assembly->audit();
    LockedRecordWrite locked(f.dir.File("config.dbf"));
    PrintRatio(
        "audit write", "RecordProbe", [&] { audit.RecordProbe("127.0.6.111", 0.5); },
        "lock+pwrite+unlock", [&] { locked.Write(); }, 7, 2000, 1, "write");
    const double cpu_target_us = 100;
    std::printf("CPU per probe target: at most %.0f us\n", cpu_target_us);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "monitor_bench: %s\n", e.what());
    FixtureSlot().reset();
    return 1;
  }
  FixtureSlot().reset();
  return 0;
}
