// Probes per second against a local mwserver: the monitor's row sequence
// through the pool (pool Active false, transport Host, pool Transport, pool
// Active true, Execute of the probe query, pool Active false) versus a plain
// socket client that connects, sends the same request bytes, reads the
// framed answer and closes. Prints the time ratio (target: at most 2x) and
// the CPU time per probe of each.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "adapters/probe_channel.h"
#include "plain_probe.h"
#include "support/mwserver_process.h"
#include "support/support.h"

namespace {

using namespace tallyvox::mw;
using tallyvox::bench::PlainProbe;
using tallyvox::bench::ProbeRequestBytes;
using tallyvox::bench::ProcessCpuSeconds;

struct Server {
  int port = 0;
  std::unique_ptr<tallyvox::testing::MwServerProcess> process;
};

// Started on first use; main() stops it before the process ends.
std::unique_ptr<Server> g_server;

Server& TheServer() {
  if (!g_server) {
    g_server = std::make_unique<Server>();
    g_server->process = std::make_unique<tallyvox::testing::MwServerProcess>(
        std::vector<std::string>{"--quiet", "--idle-timeout", "30", "--listen", "127.0.0.1:0"});
    g_server->port = g_server->process->port();
    if (!g_server->process->ready()) {
      std::string output = g_server->process->Output();
      g_server.reset();
      throw std::runtime_error("mwserver did not start: " + output);
    }
  }
  return *g_server;
}

// The monitor's components (monitor/probe_channel.h) probing one row of a
// cycle; the local server is not on port 80.
struct Monitor : tallyvox::monitor::MwProbeChannel {
  Monitor() {
    Settings().port = TheServer().port;
    PrepareCycle();
  }
  void Probe() {
    AimProbe("127.0.0.1", /*fresh=*/true);
    RunProbe();
    ReleaseProbe();
  }
};

// Runs `probe` once per iteration; a failure ends the run with its text.
template <typename F>
void RunProbes(benchmark::State& state, F&& probe) {
  const double cpu_start = ProcessCpuSeconds();
  for (auto _ : state) {
    try {
      probe();
    } catch (const std::exception& e) {
      state.SkipWithError(e.what());
      break;
    }
  }
  // CPU of the whole process (the pool's and the transports' threads too).
  state.counters["process_cpu_us_per_probe"] =
      (ProcessCpuSeconds() - cpu_start) * 1e6 / static_cast<double>(state.iterations());
  state.SetItemsProcessed(state.iterations());
}

void BM_PoolProbe(benchmark::State& state) {
  Monitor monitor;
  RunProbes(state, [&] { monitor.Probe(); });
}
BENCHMARK(BM_PoolProbe)->Iterations(1000)->UseRealTime();

void BM_PlainSocketProbe(benchmark::State& state) {
  const std::string bytes = ProbeRequestBytes();
  const int port = TheServer().port;
  RunProbes(state, [&] { PlainProbe(bytes, "127.0.0.1", port); });
}
BENCHMARK(BM_PlainSocketProbe)->Iterations(1000)->UseRealTime();

// Interleaved rounds of both clients, so that load from other processes hits
// both alike; the ratio of the medians is the figure to compare with 2x.
void PrintRatio() {
  constexpr int kRounds = 7;
  constexpr int kProbesPerRound = 200;
  Monitor monitor;
  const std::string bytes = ProbeRequestBytes();
  const int port = TheServer().port;
  std::vector<double> pool_us, plain_us, pool_cpu_us, plain_cpu_us;
  // One round of `probe`: wall and CPU microseconds per probe.
  auto round_of = [&](auto&& probe, std::vector<double>& wall_us, std::vector<double>& cpu_us) {
    const auto start = std::chrono::steady_clock::now();
    const double cpu = ProcessCpuSeconds();
    for (int i = 0; i < kProbesPerRound; ++i) probe();
    wall_us.push_back(
        std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start)
            .count() /
        kProbesPerRound);
    cpu_us.push_back((ProcessCpuSeconds() - cpu) * 1e6 / kProbesPerRound);
  };
  for (int round = 0; round < kRounds; ++round) {
    round_of([&] { monitor.Probe(); }, pool_us, pool_cpu_us);
    round_of([&] { PlainProbe(bytes, "127.0.0.1", port); }, plain_us, plain_cpu_us);
  }
  auto median = [](std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
  };
  const double pool = median(pool_us), plain = median(plain_us);
  std::printf("probe through the pool: %.1f us/probe (%.0f probes/s), CPU %.1f us/probe\n", pool,
              1e6 / pool, median(pool_cpu_us));
  std::printf("plain socket client:    %.1f us/probe (%.0f probes/s), CPU %.1f us/probe\n", plain,
              1e6 / plain, median(plain_cpu_us));
  std::printf(
      "ratio pool/plain (medians of %d interleaved rounds): %.2fx (target: at most 2x) %s\n",
      kRounds, pool / plain, pool / plain <= 2.0 ? "OK" : "ABOVE TARGET");
}

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  int status = 0;
  try {
    PrintRatio();
  } catch (const std::exception& e) {
    std::fprintf(stderr, "probe_bench: %s\n", e.what());
    status = 1;
  }
  g_server.reset();  // stops mwserver
  return status;
}
