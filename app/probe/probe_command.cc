#include "probe/probe_command.h"

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
#include "probe/probe_args.h"
#include "probe/probe_reason.h"

namespace tallyvox::app {
namespace {

constexpr int kPluginOk = 0;
constexpr int kPluginWarning = 1;
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

// Seconds with up to 6 decimals, trailing zeros dropped ("0.000001", "10").
std::string SecondsText(double seconds) {
  char text[64];
  std::snprintf(text, sizeof text, "%.6f", seconds);
  std::string s = text;
  while (s.back() == '0') s.pop_back();
  if (s.back() == '.') s.pop_back();
  return s;
}

std::string Threshold(const std::optional<double>& value) {
  return value ? SecondsText(*value) : "";
}

// The line for an answer after `seconds`, judged against the thresholds.
int ReportAnswer(const ProbeArgs& args, const std::string& where, double seconds) {
  int code = kPluginOk;
  const char* state = "OK";
  if (args.critical && seconds > *args.critical) {
    code = kPluginCritical;
    state = "CRITICAL";
  } else if (args.warning && seconds > *args.warning) {
    code = kPluginWarning;
    state = "WARNING";
  }
  char took[160];
  std::snprintf(took, sizeof took, " answered in %.3f s | time=%.6fs;", seconds, seconds);
  Report(std::string("MW ") + state + " - " + where + took + Threshold(args.warning) + ";" +
         Threshold(args.critical) + ";0;" + std::to_string(args.Budget()));
  return code;
}

int Probe(const ProbeArgs& args) {
  // The probe's deadlines count from the start of the process, so that a
  // slow start (a loaded machine) does not stretch the whole run.
  const auto process_start = std::chrono::steady_clock::now() - RunningFor();
  const std::string where = PluginText(args.host) + ":" + std::to_string(args.port);
  monitor::ProbeSettings settings;
  settings.port = args.port;
  settings.connect_timeout = args.connect_timeout;
  settings.request_timeout = args.request_timeout;
  monitor::MwProbeChannel channel(settings);
  // The client ends a failed exchange in "Connection lost."; the network
  // exception the transport met says why.
  NetFailure underlying;
  channel.MwTCPIPClientTransport1.OnException =
      [&underlying](mw::TMwCustomClient*, mw::TMwRequestStates, mw::TMwRequestStates&,
                    const std::exception& e) {
        underlying = {NetFailureReason(e), e.what()};
      };

  std::string error;
  auto start = std::chrono::steady_clock::now();
  try {
    channel.PrepareCycle();
    channel.AimProbe(args.host, /*fresh=*/true);
    start = std::chrono::steady_clock::now();  // timed as a roster row's probe is
    channel.RunProbe(process_start, std::chrono::seconds(args.Budget()));
  } catch (const std::exception& e) {
    error = ProbeFailureReason(e, underlying);
  } catch (...) {
    error = "Unknown exception";
  }
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  channel.ReleaseProbe();

  if (!error.empty()) {
    Report("MW CRITICAL - " + where + ": " + PluginText(error));
    return kPluginCritical;
  }
  return ReportAnswer(args, where, seconds);
}

}  // namespace

int ProbeUsageError(const std::string& what) {
  Report("MW UNKNOWN - " + PluginText(what));
  return kPluginUnknown;
}

int RunProbeCommand(const std::vector<std::string>& words) {
  ProbeArgs args;
  const std::string error = ParseProbeArgs(words, &args);
  if (!error.empty()) return ProbeUsageError(error);
  if (args.help) {
    std::fputs(ProbeUsage().c_str(), stdout);
    return kPluginOk;
  }
  if (args.version) {
    Report("tallyvox " TALLYVOX_VERSION);
    return kPluginOk;
  }
  return Probe(args);
}

}  // namespace tallyvox::app
