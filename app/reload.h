// Reloading the settings file on SIGHUP (`tallyvox --headless`).
//
// Reload() re-reads the file on the calling thread. A broken file is refused
// with its error on standard error, and the settings in force stay. A good
// one is handed to the monitor thread, where it is applied between handlers,
// so that it holds from the next cycle on: the roster's boxes and addresses,
// the interval box and the accounts' boxes (the view's inputs), and the
// rest through MonitorAssembly::Reconfigure (the mail accounts, the
// interval of a running polling timer, the probe's port and time-outs, the
// audit table's place).
#ifndef TALLYVOX_APP_RELOAD_H_
#define TALLYVOX_APP_RELOAD_H_

#include <string>

#include "assembly/runner.h"
#include "monitor/view.h"

namespace tallyvox::app {

class SettingsReloader {
 public:
  // REQUIRES: both outlive the reloader.
  SettingsReloader(std::string path, monitor::InputStore& inputs, monitor::MonitorRunner& runner)
      : path_(std::move(path)), inputs_(inputs), runner_(runner) {}

  // Returns whether the file was taken.
  bool Reload();

 private:
  std::string path_;
  monitor::InputStore& inputs_;
  monitor::MonitorRunner& runner_;
};

}  // namespace tallyvox::app

#endif  // TALLYVOX_APP_RELOAD_H_
