// `tallyvox probe`: one probe exactly as a roster row makes it, with the
// output and exit status of a monitoring plugin (Nagios, Icinga, Zabbix,
// script exporters; the options of check_tcp, app/probe/probe_args.h):
//
//   MW OK - HOST:PORT answered in 0.004 s | time=0.004213s;W;C;0;T        exit 0
//   MW WARNING - HOST:PORT answered in 1.204 s | time=...                 exit 1
//   MW CRITICAL - HOST:PORT answered in 3.001 s | time=...                exit 2
//   MW CRITICAL - HOST:PORT: <why> (app/probe/probe_reason.h)             exit 2
//   MW UNKNOWN - <what is wrong with the arguments>                       exit 3
//
// W and C are the -w and -c thresholds (empty when not given), T the probe's
// deadline in seconds. A response time above C is CRITICAL, else above W
// WARNING.
//
// The texts in the line (the host, a server's own error text) have their
// line breaks turned into blanks, their other control bytes escaped and "|"
// written as \x7c (EscapeControls, base/text.h): the line stays one line,
// and only our own " | " starts the performance data.
//
// The probe goes through the monitor's probe channel: a fresh aim (pool,
// session, probe query, verified framing, the request and connect
// time-outs), RunProbe, ReleaseProbe. It writes no audit record and sends no
// mail. Its deadlines count from the start of the process: the connect
// time-out for its connects, and -t (by default the connect time-out plus
// the request time-out) for everything it does (host name lookup, connects,
// reads, writes): when a wait meets that, the line says "no answer within
// N s".
//
// This file and its neighbours use neither Qt, nor OpenSSL, nor an option
// library: the `tallyvox` program runs them in its own small process.
#ifndef TALLYVOX_PROBE_PROBE_COMMAND_H_
#define TALLYVOX_PROBE_PROBE_COMMAND_H_

#include <string>
#include <vector>

namespace tallyvox::app {

// Runs `tallyvox probe` with `args` (the words after "probe") and prints
// the plugin line, or the help or version for -h and -V. Returns the exit
// status (0 OK, 1 WARNING, 2 CRITICAL, 3 UNKNOWN).
int RunProbeCommand(const std::vector<std::string>& args);

// Prints "MW UNKNOWN - <what>" and returns 3.
int ProbeUsageError(const std::string& what);

}  // namespace tallyvox::app

#endif  // TALLYVOX_PROBE_PROBE_COMMAND_H_
