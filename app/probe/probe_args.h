// The arguments of `tallyvox probe`, read the way monitoring plugins take
// them (check_tcp's options), without an option library: the probe runs
// every minute for every host, so its process loads nothing it does not use.
//
//   tallyvox probe [HOST] [-H|--hostname HOST] [-p|--port N] [-t|--timeout S]
//                  [--request-timeout S] [--connect-timeout S]
//                  [-w|--warning S] [-c|--critical S] [-V|--version] [-h|--help]
//
// An option's value follows it as the next argument, glued to a short option
// ("-p3000") or after "=" for a long one ("--port=3000"). Errors name the
// option by its long name and list unexpected arguments in the order given.
#ifndef TALLYVOX_PROBE_PROBE_ARGS_H_
#define TALLYVOX_PROBE_PROBE_ARGS_H_

#include <optional>
#include <string>
#include <vector>

namespace tallyvox::app {

struct ProbeArgs {
  std::string host;
  int port = 80;
  // Seconds for each wait of answer bytes (the transport's RequestTimeout).
  int request_timeout = 5;
  // Seconds for the probe's connects, one deadline for all of them.
  int connect_timeout = 5;
  // Seconds for the whole probe (-t), as check_tcp's time-out: its deadline.
  // Unset: connect_timeout + request_timeout.
  std::optional<int> timeout;
  // Response-time thresholds in seconds: above them WARNING, CRITICAL.
  std::optional<double> warning;
  std::optional<double> critical;
  bool help = false;
  bool version = false;

  // The probe's deadline in seconds: `timeout`, or the two time-outs added.
  int Budget() const { return timeout ? *timeout : connect_timeout + request_timeout; }
};

// Reads `args` (the words after "probe"). Returns the error text for the
// "MW UNKNOWN" line, empty when `out` holds the arguments.
// Invariant: with -h or -V `out` is filled and the rest is not checked for
// being complete (no HOST needed).
std::string ParseProbeArgs(const std::vector<std::string>& args, ProbeArgs* out);

// The text of `tallyvox probe --help`.
std::string ProbeUsage();

}  // namespace tallyvox::app

#endif  // TALLYVOX_PROBE_PROBE_ARGS_H_
