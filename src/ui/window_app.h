// The window program: `tallyvox [--config FILE]`.
//
// WindowProgram puts the main window and the monitor together the way the
// threads of the program demand: the monitor runs on its own thread
// (MonitorRunner) with a WindowView; the window mirrors operator input into
// the InputStore, its buttons reach the monitor's handlers as posted calls,
// in order, each under the default exception handler; showing the window
// runs FormShow; closing it ends the GUI's event loop, and then the monitor
// is stopped with a bounded wait (the stop shuts down the sockets in use and
// ends a message box's wait, so a probe or a delivery cannot hold it).
//
// The stall guard (monitor/stall_guard.h) runs beside the monitor with the
// limit of the window's watchdog; its log goes to standard error.
//
// RunWindow is the program's start-up: no display gives a message on
// standard error and status 3; a missing or broken settings file a message
// box naming the file, the line and what is wrong, and how to make one
// (status 3); SIGINT and SIGTERM close the window (status 128 + n). Other
// start-up options hook in through WindowOptions.
#ifndef TALLYVOX_UI_WINDOW_APP_H_
#define TALLYVOX_UI_WINDOW_APP_H_

#include <QString>
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "assembly/runner.h"
#include "assembly/stall_guard.h"
#include "config/settings_file.h"
#include "monitor/observer.h"
#include "monitor/view.h"
#include "ui/main_window.h"
#include "ui/window_view.h"

namespace tallyvox::ui {

inline constexpr int kExitUsage = 3;
inline constexpr int kExitError = 2;
// How long the end of the program waits for the monitor thread.
inline constexpr std::chrono::milliseconds kStopBound{800};

struct WindowOptions {
  std::string config;     // the settings file; empty: DefaultSettingsPath()
  QString geometry_file;  // see MainWindow; empty: the user's
  // More observers of the monitor (metrics, logs), called on the monitor's
  // thread. Each must outlive the program.
  std::vector<monitor::MonitorObserver*> observers;
  // More listeners of the stall guard (metrics), called on its threads.
  // Each must outlive the program.
  std::vector<monitor::StallListener*> stall_listeners;
  // RunWindow calls it once the settings are read, before the window opens:
  // it starts what the observers serve (the metrics endpoint). False ends
  // the program with status 3; it has said why on standard error.
  // It gets the settings read (a front end starts the probe history and the
  // status page from them).
  std::function<bool(const monitor::Settings&)> start_observers;
  // A line for a row's tool tip after each probe (WindowView); may be empty.
  std::function<std::string(int row)> row_note;
};

// The stall guard's log on standard error: "tallyvox: stall guard: ...".
class StderrStallLog : public monitor::StallListener {
 public:
  void StallLog(const std::string& line) override;
};

class WindowProgram {
 public:
  // REQUIRES: a QApplication exists; called on its (the GUI) thread.
  WindowProgram(const monitor::Settings& settings, const WindowOptions& options);
  // Stops the monitor first (bounded by a second).
  ~WindowProgram();
  WindowProgram(const WindowProgram&) = delete;
  WindowProgram& operator=(const WindowProgram&) = delete;

  MainWindow& window() { return *window_; }
  monitor::MonitorRunner& runner() { return *runner_; }
  monitor::InputStore& inputs() { return inputs_; }
  WindowView& view() { return *view_; }

  // Starts the monitor thread and shows the window.
  void Start();
  // Start, then the GUI's event loop until the window is closed (or
  // QCoreApplication::exit), then Stop(kStopBound). The loop's exit code,
  // and whether the monitor thread ended in time.
  struct Ended {
    int code = 0;
    bool monitor_finished = true;
  };
  Ended Exec();
  // True when the monitor thread ended within `bound`.
  bool Stop(std::chrono::milliseconds bound) { return runner_->Stop(bound); }

 private:
  void Press(void (monitor::Monitor::*handler)());

  monitor::Settings settings_;
  monitor::InputStore inputs_;
  std::unique_ptr<MainWindow> window_;
  monitor::ObserverList observers_;
  StderrStallLog stall_log_;
  std::unique_ptr<WindowView> view_;
  std::unique_ptr<monitor::MonitorRunner> runner_;
};

// True when a window can be shown: $DISPLAY, $WAYLAND_DISPLAY or
// $QT_QPA_PLATFORM is set and not empty.
bool DisplayAvailable();

// The text of the box for a settings file that cannot be used: the error
// (file, line, column, what is wrong) and what to do: for a `missing` file
// the `tallyvox init` command that makes one at `path`; for a broken one,
// mend it where the error points.
QString SettingsErrorText(const std::string& error, const std::string& path, bool missing);

// The program's start-up and event loop; returns the exit status.
int RunWindow(int argc, char** argv, const WindowOptions& options);

}  // namespace tallyvox::ui

#endif  // TALLYVOX_UI_WINDOW_APP_H_
