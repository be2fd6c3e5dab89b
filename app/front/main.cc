// tallyvox: the program monitoring systems and operators start. It is a
// small front (exec/companion.h): a monitoring system runs
// `tallyvox probe` every minute for every host, so the probe and
// `--version` run here, in a process that loads neither Qt nor OpenSSL nor
// the settings reader; everything else (the headless monitor, the window,
// test-mail, init, --help) is the monitor program's, which replaces this
// process with the same arguments.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "exec/companion.h"
#include "probe/probe_command.h"

int main(int argc, char** argv) {
  if (argc >= 2 && std::strcmp(argv[1], "probe") == 0) {
    return tallyvox::app::RunProbeCommand(std::vector<std::string>(argv + 2, argv + argc));
  }
  if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
    std::puts("tallyvox " TALLYVOX_VERSION);
    return 0;
  }
  return tallyvox::app::ExecCompanion(tallyvox::app::kMonitorProgram, argv, "monitor program", "");
}
