// `tallyvox serve --listen ADDRESS:PORT [--config FILE]`: the prober alone,
// for Prometheus to schedule (the exporter pattern): /probe?target=HOST[:PORT]
// (exporter/probe_exporter.h), /metrics (the build and the process) and the
// landing page, with no roster, no polling, no audit table and no mail.
//
// The settings file is optional: given with --config it must load; else
// the default file is read when it exists. It takes from it only [polling]
// probe_port (the port of a target without one), connect_timeout,
// request_timeout, and [web] users (Basic authentication of every path).
// Runs until SIGINT or SIGTERM (exit status 128 + n; the probes in flight
// are cut short at once); 3 for bad settings or an address it cannot serve.
#ifndef TALLYVOX_APP_SERVE_H_
#define TALLYVOX_APP_SERVE_H_

#include <CLI/CLI.hpp>
#include <string>

namespace tallyvox::app {

class MetricsOption;

class ServeCommand {
 public:
  // Registers the `serve` subcommand on `cli`.
  explicit ServeCommand(CLI::App& cli);
  bool Parsed() const { return command_->parsed(); }
  // Serves until a stop signal. Returns the exit status.
  int Run(MetricsOption& metrics);

 private:
  CLI::App* command_;
  std::string listen_;
  std::string config_;
};

}  // namespace tallyvox::app

#endif  // TALLYVOX_APP_SERVE_H_
