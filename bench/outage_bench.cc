// Time to detect an outage, sequential versus [polling] parallel, measured
// side by side in one run against local peers (mwserver on 127.0.7.1-111,
// blackholed servers on 127.0.8.x: listening sockets whose accept queue is
// full, so a connect hangs as to a host that drops SYNs; the aiosmtpd TLS
// sink; Debian's prometheus-blackbox-exporter), with connect_timeout = 5 and
// request_timeout = 5:
//   1. 111 rows, 10 blackholed: cycle wall time with parallel = 32 (target
//      <= connect_timeout + 1 s) against sequential (>= 50 s);
//   2. 111 rows, all blackholed, parallel = 111 with grouped alerts: when
//      every row shows "Problem" and when the first grouped mail reached the
//      sink, from the cycle's start (target connect_timeout + 2 s), and the
//      rows each mail lists (target: one mail per account, 111 rows);
//   3. 111 healthy rows: parallel = 32 cycle wall against sequential
//      (target <= 0.6x), CPU time per probe of each;
//   4. the same 111 healthy targets probed by blackbox_exporter
//      (tcp_connect, 111 concurrent GETs of /probe, timed until the last
//      returns) against Tallyvox's parallel cycle (target <= 1.0x).
// Prints the figures and the ratios; exits 0 (the figures are the report).
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QTimer>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "assembly/assembly.h"
#include "assembly/runner.h"
#include "config/settings_file.h"
#include "metrics/process_metrics.h"
#include "support/loopback_socket.h"
#include "support/mail_servers.h"
#include "support/mwserver_process.h"
#include "support/support.h"
#include "support/test_ca.h"

namespace {

using namespace tallyvox;
using namespace tallyvox::monitor;
using SteadyClock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr int kTimeout = 5;  // connect_timeout and request_timeout, seconds
constexpr char kUser[] = "monitor@quorvant.example";
constexpr char kPassword[] = "pa55word";

double Seconds(SteadyClock::duration d) { return std::chrono::duration<double>(d).count(); }

// The times a thread of this process went to sleep (on a socket, a
// condition, a lock) so far: each costs a switch and a wake-up.
long VoluntarySwitches() {
  rusage u{};
  ::getrusage(RUSAGE_SELF, &u);
  return u.ru_nvcsw;
}

double CpuSeconds() {
  rusage u{};
  ::getrusage(RUSAGE_SELF, &u);
  return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
         static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

// CPU seconds (user + system) the process `pid` has used so far, from
// /proc/PID/stat as the metrics read it; 0 when unreadable.
double ProcessCpuSeconds(pid_t pid) {
  std::ifstream file("/proc/" + std::to_string(pid) + "/stat");
  const std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  const std::optional<metrics::ProcStat> stat = metrics::ParseProcStat(text);
  if (!stat) return 0;
  return static_cast<double>(stat->cpu_ticks) / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

std::string Healthy(int row) { return "127.0.7." + std::to_string(row); }
std::string Blackholed(int k) { return "127.0.8." + std::to_string(k); }
// Servers that answer a millisecond late, as across a local network.
std::string Distant(int row) { return "127.0.9." + std::to_string(row); }

// A socket listening on address:port whose accept queue is full and which
// never accepts: a connect to it hangs until the client gives up.
class Blackhole {
 public:
  Blackhole(const std::string& address, int port) {
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(static_cast<uint16_t>(port));
    ::inet_pton(AF_INET, address.c_str(), &sa.sin_addr);
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (::bind(fd_, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 || ::listen(fd_, 0) != 0) {
      throw std::runtime_error("cannot listen on " + address);
    }
    for (int i = 0; i < 16; ++i) {
      const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
      fillers_.push_back(fd);
      ::connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
      pollfd p{fd, POLLOUT, 0};
      if (::poll(&p, 1, 100) == 0) break;  // this handshake stays unfinished
    }
  }
  ~Blackhole() {
    for (int fd : fillers_) ::close(fd);
    ::close(fd_);
  }

 private:
  int fd_ = -1;
  std::vector<int> fillers_;
};

// Counts what the benchmark needs from the monitor's reports.
struct Watch : MonitorObserver {
  void ProbeFinished(const ProbeEvent& e) override {
    if (e.failed()) {
      ++failed;
      last_problem = SteadyClock::now();
    }
  }
  void CycleFinished(const CycleEvent& e) override {
    cycle = e;
    cycle_end = SteadyClock::now();
  }
  void AlertReported(const AlertEvent& e) override {
    if (e.outcome != AlertEvent::Outcome::kDelivered) return;
    if (mails == 0) first_mail = SteadyClock::now();
    ++mails;
    size_t lines = 1;
    for (char c : e.text) lines += c == '\n';
    mail_rows.push_back(lines);
  }
  int failed = 0;
  int mails = 0;
  std::vector<size_t> mail_rows;
  SteadyClock::time_point last_problem{};
  SteadyClock::time_point first_mail{};
  SteadyClock::time_point cycle_end{};  // when the cycle's last result was applied
  CycleEvent cycle;
};

struct Peers {
  testing::TempDir dir;
  testing::TestCA ca;
  std::unique_ptr<testing::AiosmtpdServer> smtp;
  std::unique_ptr<testing::MwServerProcess> servers;
  std::unique_ptr<testing::MwServerProcess> distant;  // --delay 1, same port
  std::vector<std::unique_ptr<Blackhole>> holes;
  int port = 0;

  Peers() {
    servers = std::make_unique<testing::MwServerProcess>(std::vector<std::string>{
        "--quiet", "--idle-timeout", "30", "--listen", "127.0.7.1-127.0.7.111:0"});
    if (!servers->ready()) throw std::runtime_error("mwserver did not start: " + servers->Output());
    port = servers->port();
    for (int k = 1; k <= 10; ++k) holes.push_back(std::make_unique<Blackhole>(Blackholed(k), port));
    distant = std::make_unique<testing::MwServerProcess>(
        std::vector<std::string>{"--quiet", "--idle-timeout", "30", "--delay", "1", "--listen",
                                 "127.0.9.1-127.0.9.111:" + std::to_string(port)});
    if (!distant->ready()) throw std::runtime_error("mwserver did not start: " + distant->Output());
    smtp = std::make_unique<testing::AiosmtpdServer>(ca.Localhost(), kUser, kPassword);
    if (testing::RunCommand(testing::BinaryDir() + "/tools/dbetool create " +
                            dir.File("config.dbf")) != 0) {
      throw std::runtime_error("dbetool create failed");
    }
  }

  Settings MakeSettings(int parallel) const {
    Settings s;
    s.path = "bench";
    s.probe.port = port;
    s.probe.connect_timeout = kTimeout;
    s.probe.request_timeout = kTimeout;
    s.probe.parallel = parallel;
    s.audit_folder = dir.path() + "/";
    s.mail.port = smtp->port();
    s.mail.from = {"Quorvant", "monitor@quorvant.example"};
    s.mail.recipient = {"Quell", "quell@home.example"};
    s.mail.phone = {"Quell Phone", "5550100@txt.example"};
    for (MailAccountSettings& a : s.mail.accounts) {
      a.host = "127.0.0.1";
      a.user = kUser;
      a.password = kPassword;
      a.ca_file = ca.ca_cert_file();
    }
    s.mail.accounts[3].use = true;  // erols
    for (int row = 1; row <= kRosterRows; ++row) s.roster[row - 1] = {Healthy(row), true};
    return s;
  }
};

struct CycleFigures {
  double wall = 0;
  double cpu = 0;
  double switches = 0;
  Watch watch;
  SteadyClock::time_point start;
};

// Handles the events of this thread (the monitor's) until `done` or the
// time is up. It sleeps while nothing happens: a timer wakes it every 50 ms
// to check the time. (processEvents with a time limit would poll, not
// wait, and its spinning thread would take a core from the probes.)
template <typename Done>
void WaitFor(Done done, std::chrono::seconds limit) {
  QTimer wake;
  wake.start(50);
  const auto give_up = SteadyClock::now() + limit;
  while (!done() && SteadyClock::now() < give_up) {
    QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
  }
}

// Runs `cycles` cycles of a monitor built from `settings` and keeps the
// figures of the last `measured`: the median of their wall times, each from
// its cycle's start to its last applied result, and the process's CPU time
// and voluntary context switches per cycle (their mean). After the last,
// waits (at most 30 s) until `mails` deliveries were reported: grouped mail
// goes out from a delivery worker of its own, after the cycle has ended.
CycleFigures RunCycles(const Settings& settings, int cycles = 1, int mails = 0, int measured = 1) {
  CycleFigures f;
  InputStore inputs;
  FillInputs(settings, inputs);
  SilentView view(inputs);
  StopSignal stop{ShutDownSockets};
  auto assembly = std::make_unique<MonitorAssembly>(settings, view, stop, &f.watch);
  Monitor& m = assembly->monitor();
  m.ResetOkCounters();
  std::vector<double> walls;
  for (int i = 0; i < cycles; ++i) {
    f.watch = Watch{};
    f.start = SteadyClock::now();
    const double cpu = CpuSeconds();
    const long switches = VoluntarySwitches();
    m.Handle([&] { m.DoPoll(); });
    WaitFor([&] { return !m.CycleRunning(); }, std::chrono::seconds(600));
    if (i < cycles - measured) continue;
    f.cpu += (CpuSeconds() - cpu) / measured;
    f.switches += static_cast<double>(VoluntarySwitches() - switches) / measured;
    walls.push_back(Seconds(f.watch.cycle_end - f.start));
  }
  std::sort(walls.begin(), walls.end());
  f.wall = walls[walls.size() / 2];
  WaitFor([&] { return f.watch.mails >= mails; }, std::chrono::seconds(30));
  return f;
}

void Print(const char* what, double value, const char* unit) {
  std::printf("  %-58s %10.3f %s\n", what, value, unit);
}

void Ratio(const char* what, double ratio, double target, bool at_most) {
  const bool met = at_most ? ratio <= target : ratio >= target;
  std::printf("  %-58s %10.2fx (target %s %.2fx: %s)\n", what, ratio, at_most ? "<=" : ">=", target,
              met ? "met" : "NOT MET");
}

void TenBlackholed(const Peers& peers) {
  std::printf("1. 111 rows, 10 blackholed (rows 10, 20, ..., 100), connect_timeout %d s\n",
              kTimeout);
  const auto with_holes = [&](int parallel) {
    Settings s = peers.MakeSettings(parallel);
    for (int k = 1; k <= 10; ++k) s.roster[k * 10 - 1] = {Blackholed(k), true};
    s.mail.accounts[3].use = false;  // no mail: only the cycle is timed
    return s;
  };
  const CycleFigures par = RunCycles(with_holes(32));
  const CycleFigures seq = RunCycles(with_holes(1));
  Print("sequential cycle wall", seq.wall, "s");
  Print("parallel = 32 cycle wall", par.wall, "s");
  std::printf("  rows failed: sequential %d, parallel %d\n", seq.watch.failed, par.watch.failed);
  Ratio("sequential / (connect_timeout x 10)", seq.wall / (10.0 * kTimeout), 1.0, false);
  Ratio("parallel / (connect_timeout + 1 s)", par.wall / (kTimeout + 1.0), 1.0, true);
}

void AllBlackholed(const Peers& peers) {
  std::printf(
      "2. 111 rows, all blackholed, parallel = 111 (one probe per row), grouped alerts "
      "(group_wait_seconds 10, more than connect_timeout: the group goes out as the cycle "
      "ends), one account ticked\n");
  Settings s = peers.MakeSettings(kMaxParallel);
  for (int row = 1; row <= kRosterRows; ++row) s.roster[row - 1] = {Blackholed(row % 10 + 1), true};
  s.alerts.grouping.group = true;
  s.alerts.grouping.wait_seconds = 10;
  const CycleFigures f = RunCycles(s, 1, 1);
  Print("every row \"Problem\" after", Seconds(f.watch.last_problem - f.start), "s");
  Print("first grouped mail at the sink after", Seconds(f.watch.first_mail - f.start), "s");
  std::printf("  rows failed %d; mails %d, listing", f.watch.failed, f.watch.mails);
  for (size_t n : f.watch.mail_rows) std::printf(" %zu", n);
  std::printf(" rows (target: 1 mail listing 111 rows: %s)\n",
              f.watch.mails == 1 && f.watch.mail_rows == std::vector<size_t>{kRosterRows}
                  ? "met"
                  : "NOT MET");
  Ratio("first mail / (connect_timeout + 2 s)",
        Seconds(f.watch.first_mail - f.start) / (kTimeout + 2.0), 1.0, true);
  Ratio("all rows Problem / (connect_timeout + 2 s)",
        Seconds(f.watch.last_problem - f.start) / (kTimeout + 2.0), 1.0, true);
}

// 111 concurrent GETs of blackbox_exporter's /probe, timed until the last
// returns; the median of `rounds`.
double BlackboxRound(int port, int target_port) {
  std::vector<std::thread> threads;
  const auto start = SteadyClock::now();
  for (int row = 1; row <= kRosterRows; ++row) {
    threads.emplace_back([=] {
      const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
      sockaddr_in sa = testing::LoopbackAddress(port);
      if (::connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0) {
        const std::string get = "GET /probe?target=" + Healthy(row) + ":" +
                                std::to_string(target_port) +
                                "&module=tcp_connect HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n";
        (void)!::write(fd, get.data(), get.size());
        char buffer[4096];
        while (::read(fd, buffer, sizeof buffer) > 0) {
        }
      }
      ::close(fd);
    });
  }
  for (auto& t : threads) t.join();
  return Seconds(SteadyClock::now() - start);
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

double Blackbox(const Peers& peers) {
  int port = 0;
  const int holder = testing::BindLoopbackSocket(-1, &port);
  ::close(holder);
  const std::string config = peers.dir.File("blackbox.yml");
  testing::WriteFile(config, "modules:\n  tcp_connect:\n    prober: tcp\n    timeout: 5s\n");
  testing::ChildProcess exporter({"/usr/bin/prometheus-blackbox-exporter",
                                  "--config.file=" + config,
                                  "--web.listen-address=127.0.0.1:" + std::to_string(port)});
  if (!exporter.WaitForOutput("Listening on", 10s)) {
    throw std::runtime_error("blackbox_exporter did not start: " + exporter.Output());
  }
  BlackboxRound(port, peers.port);  // warm-up
  std::vector<double> rounds;
  for (int i = 0; i < 5; ++i) rounds.push_back(BlackboxRound(port, peers.port));
  return Median(rounds);
}

constexpr int kWarmUp = 3;  // cycles of a monitor before its measured ones

// One cycle series of each mode per round, taking turns so that a load elsewhere
// on the machine falls on both; each the median of `measured` cycles after
// three warm-up cycles of its monitor (once the channels and workers the
// roster needs are made).
struct SideBySide {
  std::vector<double> seq_wall, par_wall, seq_cpu, par_cpu, seq_sleeps, par_sleeps;
};
SideBySide RunSideBySide(const Peers& peers, const std::function<std::string(int)>& address,
                         int rounds, int measured) {
  SideBySide r;
  const auto settings = [&](int parallel) {
    Settings s = peers.MakeSettings(parallel);
    for (int row = 1; row <= kRosterRows; ++row) s.roster[row - 1] = {address(row), true};
    return s;
  };
  for (int i = 0; i < rounds; ++i) {
    const CycleFigures s = RunCycles(settings(1), kWarmUp + measured, 0, measured);
    const CycleFigures p = RunCycles(settings(32), kWarmUp + measured, 0, measured);
    r.seq_wall.push_back(s.wall);
    r.par_wall.push_back(p.wall);
    r.seq_cpu.push_back(s.cpu / kRosterRows);
    r.par_cpu.push_back(p.cpu / kRosterRows);
    r.seq_sleeps.push_back(s.switches / kRosterRows);
    r.par_sleeps.push_back(p.switches / kRosterRows);
  }
  return r;
}

// Prints the medians of both modes' wall time and CPU per probe.
struct Medians {
  double seq_wall, par_wall, seq_cpu, par_cpu;
};
Medians PrintMedians(const SideBySide& r) {
  const Medians m{Median(r.seq_wall), Median(r.par_wall), Median(r.seq_cpu), Median(r.par_cpu)};
  Print("sequential cycle wall", m.seq_wall * 1000, "ms");
  Print("parallel = 32 cycle wall", m.par_wall * 1000, "ms");
  Print("sequential CPU per probe", m.seq_cpu * 1e6, "us");
  Print("parallel = 32 CPU per probe", m.par_cpu * 1e6, "us");
  return m;
}

// The rounds' own ratios, lowest to highest: how much the machine's other
// work moved the figures during the run.
void PrintSpread(const SideBySide& r) {
  std::vector<double> wall, cpu;
  for (size_t i = 0; i < r.seq_wall.size(); ++i) {
    wall.push_back(r.par_wall[i] / r.seq_wall[i]);
    cpu.push_back(r.par_cpu[i] / r.seq_cpu[i]);
  }
  std::sort(wall.begin(), wall.end());
  std::sort(cpu.begin(), cpu.end());
  std::printf("  %-58s %.2fx to %.2fx wall, %.2fx to %.2fx CPU per probe\n",
              "each round's parallel / sequential", wall.front(), wall.back(), cpu.front(),
              cpu.back());
}

void HealthyRows(const Peers& peers) {
  constexpr int kRounds = 7, kMeasured = 10;
  std::printf(
      "3. 111 healthy rows (%d rounds of each mode taking turns, each %d cycles after %d "
      "warm-up cycles; medians of the rounds)\n",
      kRounds, kMeasured, kWarmUp);
  // The server's CPU per probe, over every cycle of both modes (the same
  // requests either way): one cycle is too short for its clock ticks.
  const pid_t server = peers.servers->pid();
  const double server_before = ProcessCpuSeconds(server);
  const SideBySide r = RunSideBySide(peers, Healthy, kRounds, kMeasured);
  const double server_cpu = (ProcessCpuSeconds(server) - server_before) /
                            (kRounds * 2 * (kWarmUp + kMeasured) * kRosterRows);
  const auto [sw, pw, sc, pc] = PrintMedians(r);
  // No cycle can end before the CPU its probes need, Tallyvox's and the
  // server's (on this machine), has run on the cores there are.
  const long cores = std::max(1L, ::sysconf(_SC_NPROCESSORS_ONLN));
  const double floor = (pc + server_cpu) * kRosterRows / static_cast<double>(cores);
  Print("sequential: threads gone to sleep per probe", Median(r.seq_sleeps), "");
  Print("parallel = 32: threads gone to sleep per probe", Median(r.par_sleeps), "");
  Print("mwserver CPU per probe (same machine, every cycle)", server_cpu * 1e6, "us");
  std::printf("  %-58s %10.3f ms (%.2fx of sequential, %ld cores)\n",
              "floor of a cycle: both processes' CPU over the cores", floor * 1000, floor / sw,
              cores);
  Ratio("parallel / sequential wall", pw / sw, 0.6, true);
  Ratio("parallel / sequential CPU per probe", pc / sc, 1.0, true);
  PrintSpread(r);

  std::printf(
      "4. the same 111 targets: blackbox_exporter tcp_connect, 111 concurrent GETs "
      "(median of 5)\n");
  const double bb = Blackbox(peers);
  Print("blackbox_exporter, all 111 probes", bb * 1000, "ms");
  Print("Tallyvox parallel = 32 cycle", pw * 1000, "ms");
  Ratio("Tallyvox / blackbox_exporter", pw / bb, 1.0, true);
}

void DistantRows(const Peers& peers) {
  constexpr int kRounds = 3, kMeasured = 5;
  std::printf(
      "5. 111 healthy rows whose every answer comes 1 ms late, as across a local network "
      "(mwserver --delay 1; %d rounds, each %d cycles after %d warm-up cycles)\n",
      kRounds, kMeasured, kWarmUp);
  const SideBySide r = RunSideBySide(peers, Distant, kRounds, kMeasured);
  const auto [sw, pw, sc, pc] = PrintMedians(r);
  Ratio("parallel / sequential wall", pw / sw, 0.6, true);
  Ratio("parallel / sequential CPU per probe", pc / sc, 1.0, true);
  PrintSpread(r);
}

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  // Scenarios by name ("healthy", "distant", "ten", "all"); every one
  // without names.
  std::vector<std::string> names(argv + 1, argv + argc);
  const auto wanted = [&](const std::string& name) {
    return names.empty() || std::find(names.begin(), names.end(), name) != names.end();
  };
  try {
    Peers peers;
    if (wanted("healthy")) HealthyRows(peers);
    if (wanted("distant")) DistantRows(peers);
    if (wanted("ten")) TenBlackholed(peers);
    if (wanted("all")) AllBlackholed(peers);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "outage_bench: %s\n", e.what());
    return 1;
  }
  return 0;
}
