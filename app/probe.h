// `tallyvox probe HOST`: one probe exactly as a roster row makes it, with the
// output and exit status of a monitoring plugin (Nagios, Icinga, Zabbix,
// script exporters):
//
//   MW OK - HOST answered in 0.004 s | time=0.004s;;;0          exit 0
//   MW CRITICAL - HOST: <the probe's exception message>          exit 2
//   MW UNKNOWN - <what is wrong with the arguments>              exit 3
//
// The texts in the line (the host, the exception's message, which may be a
// server's own text) have their line breaks turned into blanks, their other
// control bytes escaped and "|" written as \x7c (EscapeControls,
// base/text.h): the line stays one line, and only our own " | " starts the
// performance data.
//
// The probe goes through the monitor's probe channel: a fresh aim (pool,
// session, probe query, verified framing, the request and connect
// time-outs), RunProbe, ReleaseProbe. It writes no audit record and sends no
// mail. The probe has the roster's deadlines, counted from the start of the
// process: the connect time-out for its connects, and the connect time-out
// plus the request time-out for everything it does (host name lookup,
// connects, reads, writes): when a wait meets that, the line says "no
// answer within N s" (CRITICAL).
#ifndef TALLYVOX_APP_PROBE_H_
#define TALLYVOX_APP_PROBE_H_

#include <CLI/CLI.hpp>
#include <string>

namespace tallyvox::app {

class ProbeCommand {
 public:
  // Registers the "probe" subcommand on `cli`.
  explicit ProbeCommand(CLI::App& cli);
  bool Parsed() const { return command_->parsed(); }
  // Probes and prints the plugin line; returns the exit status.
  int Run() const;
  // Prints a bad argument as "MW UNKNOWN - ..." and returns 3.
  static int UsageError(const std::string& what);

 private:
  CLI::App* command_;
  std::string host_;
  int port_ = 80;
  int request_timeout_ = 5;
  int connect_timeout_ = 5;
};

}  // namespace tallyvox::app

#endif  // TALLYVOX_APP_PROBE_H_
