// Probes per second against a local mwserver: the monitor's row sequence
// through the pool (pool Active false, transport Host, pool Transport, pool
// Active true, Execute of the probe query, pool Active false) versus a plain
// socket client that connects, sends the same request bytes, reads the
// framed answer and closes. Prints the time ratio (target: at most 2x) and
// the CPU time per probe of each.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "middleware/wire/framing.h"
#include "middleware/wire/request_stream.h"
#include "middleware/wire/transport_stream.h"
#include "mwclient/monitor_probe.h"
#include "support/mwserver_process.h"
#include "support/support.h"

namespace {

using namespace tallyvox::mw;

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

double ProcessCpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec +
         (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// The monitor's components (monitor_probe.h); the local server is not on
// port 80, so the port is set after the cycle's preparation.
struct Monitor : tallyvox::mw::testing::MonitorProbe {
  Monitor() { transport.SetPort(TheServer().port); }
  void Probe() { ProbeRow("127.0.0.1"); }
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

// The bytes of the probe request, framed as the monitor sends them.
std::string ProbeRequestBytes() {
  auto request = MakeRequestStream();
  request->SetServiceName("MW_QUERY");
  request->SetServiceVersion("MW_1.0");
  request->SetFunction("EXECUTE");
  request->SetStateID(-1);
  request->SetRequestID(0);
  request->SetData(Variant("COMMON"));
  request->Args() = {Variant("select * from ufile7"), Variant("*"), Variant("*")};
  request->SetMessageCount(1);
  request->EnsureStreamState(kMwStreamStateLast);
  std::string body = request->Buffer().ToString();
  return FormatVerifiedLength(static_cast<uint32_t>(body.size())) + body;
}

bool ReadExactly(int fd, char* out, size_t n) {
  size_t got = 0;
  while (got < n) {
    ssize_t r = ::recv(fd, out + got, n - got, 0);
    if (r <= 0) return false;
    got += static_cast<size_t>(r);
  }
  return true;
}

void PlainProbe(const std::string& bytes, int port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) throw std::runtime_error("socket failed");
  struct Closer {
    int fd;
    ~Closer() { ::close(fd); }
  } closer{fd};
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(port));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0)
    throw std::runtime_error("connect failed");
  if (::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(bytes.size()))
    throw std::runtime_error("send failed");
  char header[kMwVerifiedHeaderSize];
  uint32_t length = 0;
  if (!ReadExactly(fd, header, sizeof header) ||
      !ParseVerifiedLength(std::string_view(header, sizeof header), &length) || length > 65536)
    throw std::runtime_error("bad answer header");
  std::string body(length, '\0');
  if (!ReadExactly(fd, body.data(), length)) throw std::runtime_error("short answer");
}

void BM_PlainSocketProbe(benchmark::State& state) {
  const std::string bytes = ProbeRequestBytes();
  const int port = TheServer().port;
  RunProbes(state, [&] { PlainProbe(bytes, port); });
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
    round_of([&] { PlainProbe(bytes, port); }, plain_us, plain_cpu_us);
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
