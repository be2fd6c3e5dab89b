#include "app/probe.h"

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <exception>
#include <fstream>
#include <sstream>

#include "adapters/probe_channel.h"
#include "base/text.h"
#include "net/exceptions.h"

namespace tallyvox::app {
namespace {

constexpr int kPluginOk = 0;
constexpr int kPluginCritical = 2;
constexpr int kPluginUnknown = 3;

// A text of the plugin line: one line (line breaks become blanks) without
// control bytes (written \x1b, \t, ...), and without "|", which starts the
// performance data for the monitoring system (written \x7c).
std::string PluginText(const std::string& text) {
  return EscapeControls(text, LineBreaks::kBlank, "|");
}

// How long this process has run since it started (its start time in
// /proc/self/stat, on the boot-time clock); zero when that cannot be read.
std::chrono::milliseconds RunningFor() {
  std::ifstream in("/proc/self/stat");
  std::string stat;
  std::getline(in, stat);
  const size_t paren = stat.rfind(')');  // the command name may hold anything
  if (paren == std::string::npos) return std::chrono::milliseconds(0);
  std::istringstream fields(stat.substr(paren + 1));
  std::string field;
  unsigned long long start_ticks = 0;
  for (int i = 3; i <= 22 && fields >> field; ++i) {
    if (i == 22) start_ticks = std::strtoull(field.c_str(), nullptr, 10);
  }
  timespec now{};
  const long ticks_per_second = ::sysconf(_SC_CLK_TCK);
  if (start_ticks == 0 || ticks_per_second <= 0 || ::clock_gettime(CLOCK_BOOTTIME, &now) != 0) {
    return std::chrono::milliseconds(0);
  }
  const double ran = static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9 -
                     static_cast<double>(start_ticks) / static_cast<double>(ticks_per_second);
  return std::chrono::milliseconds(ran > 0 ? static_cast<long long>(ran * 1000) : 0);
}

void Report(const std::string& line) {
  std::fputs((line + "\n").c_str(), stdout);
  std::fflush(stdout);
}

}  // namespace

ProbeCommand::ProbeCommand(CLI::App& cli) {
  command_ = cli.add_subcommand(
      "probe",
      "probe one middleware server as a roster row does (no audit record, no mail) and "
      "report like a monitoring plugin: exit 0 OK, 2 CRITICAL, 3 UNKNOWN (bad arguments)");
  command_->add_option("HOST", host_, "the server's address")->required();
  command_->add_option("-p,--port", port_, "the TCP port (default 80)")
      ->check(CLI::Range(1, 65535));
  command_
      ->add_option("-t,--timeout", request_timeout_,
                   "seconds to wait for response bytes (default 5)")
      ->check(CLI::Range(1, 3600));
  command_
      ->add_option("--connect-timeout", connect_timeout_,
                   "seconds for the probe's connects, one deadline for all (default 5)")
      ->check(CLI::Range(1, 3600));
}

int ProbeCommand::UsageError(const std::string& what) {
  Report("MW UNKNOWN - " + PluginText(what));
  return kPluginUnknown;
}

int ProbeCommand::Run() const {
  if (host_.empty()) return UsageError("HOST is empty");
  // The probe's deadlines count from the start of the process, so that a
  // slow start (a loaded machine) does not stretch the whole run.
  const auto process_start = std::chrono::steady_clock::now() - RunningFor();
  const std::string host = PluginText(host_);
  monitor::ProbeSettings settings;
  settings.port = port_;
  settings.connect_timeout = connect_timeout_;
  settings.request_timeout = request_timeout_;
  monitor::MwProbeChannel channel(settings);
  // The probe's deadline (connect time-out + request time-out) ends it as a
  // read time-out would, in "Connection lost."; the line names the deadline.
  std::string deadline_passed;
  channel.MwTCPIPClientTransport1.OnException =
      [&deadline_passed](mw::TMwCustomClient*, mw::TMwRequestStates, mw::TMwRequestStates&,
                         const std::exception& e) {
        if (dynamic_cast<const net::ENetDeadlineExpired*>(&e) != nullptr)
          deadline_passed = e.what();
      };

  std::string error;
  auto start = std::chrono::steady_clock::now();
  try {
    channel.PrepareCycle();
    channel.AimProbe(host_, /*fresh=*/true);
    start = std::chrono::steady_clock::now();  // timed as a roster row's probe is
    channel.RunProbe(process_start);
  } catch (const std::exception& e) {
    error = e.what();
  } catch (...) {
    error = "Unknown exception";
  }
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  channel.ReleaseProbe();

  if (!error.empty()) {
    Report("MW CRITICAL - " + host + ": " +
           PluginText(deadline_passed.empty() ? error : deadline_passed));
    return kPluginCritical;
  }
  char line[256];
  std::snprintf(line, sizeof line, " answered in %.3f s | time=%.6fs;;;0", seconds, seconds);
  Report("MW OK - " + host + line);
  return kPluginOk;
}

}  // namespace tallyvox::app
