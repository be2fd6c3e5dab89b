#include "ui/window_app.h"

#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <QApplication>
#include <QMessageBox>
#include <QPushButton>
#include <QSocketNotifier>
#include <clocale>
#include <cstdio>
#include <cstdlib>

#include "assembly/assembly.h"
#include "base/text.h"
#include "monitor/post_call.h"

namespace tallyvox::ui {
namespace {

using monitor::Monitor;

bool Set(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr && value[0] != '\0';
}

// SIGINT and SIGTERM, blocked in every thread and read from a signalfd on
// the GUI thread.
int BlockTerminationSignals() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  if (pthread_sigmask(SIG_BLOCK, &set, nullptr) != 0) return -1;
  return ::signalfd(-1, &set, SFD_CLOEXEC | SFD_NONBLOCK);
}

[[noreturn]] void ExitWithoutCleanUp(int code) {
  std::fflush(stdout);
  std::fflush(stderr);
  std::_Exit(code);
}

}  // namespace

void StderrStallLog::StallLog(const std::string& line) {
  std::fprintf(stderr, "tallyvox: %s\n", line.c_str());
}

WindowProgram::WindowProgram(const monitor::Settings& settings, const WindowOptions& options)
    : settings_(settings) {
  monitor::FillInputs(settings_, inputs_);
  window_ = std::make_unique<MainWindow>(inputs_, options.geometry_file);
  runner_ = std::make_unique<monitor::MonitorRunner>([this](monitor::StopSignal& stop) {
    return std::make_unique<monitor::MonitorAssembly>(settings_, *view_, stop, &observers_);
  });
  view_ = std::make_unique<WindowView>(inputs_, *window_, runner_->stop(), options.row_note);
  observers_.Add(view_.get());
  for (monitor::MonitorObserver* o : options.observers) observers_.Add(o);
  monitor::StallGuardOptions guard;
  guard.inputs = &inputs_;
  guard.listeners = {&stall_log_};
  for (monitor::StallListener* l : options.stall_listeners) guard.listeners.push_back(l);
  runner_->GuardStalls(guard);

  QObject::connect(window_->Button("Button1"), &QPushButton::clicked,
                   [this] { Press(&Monitor::Button1Click); });
  QObject::connect(window_->Button("Button2"), &QPushButton::clicked,
                   [this] { Press(&Monitor::Button2Click); });
  QObject::connect(window_->Button("Button3"), &QPushButton::clicked,
                   [this] { Press(&Monitor::Button3Click); });
  QObject::connect(window_->Button("Button4"), &QPushButton::clicked,
                   [this] { Press(&Monitor::Button4Click); });
  window_->OnShown([this] { Press(&Monitor::FormShow); });
  window_->OnClosed([] { QCoreApplication::exit(0); });
}

WindowProgram::~WindowProgram() {
  // The monitor thread posts to the window and reads the view: it ends first.
  runner_.reset();
  view_.reset();
  window_.reset();
}

void WindowProgram::Press(void (Monitor::*handler)()) {
  runner_->Post([handler](Monitor& m) { m.Handle([&m, handler] { (m.*handler)(); }); });
}

void WindowProgram::Start() {
  MainWindow* window = window_.get();
  runner_->Start([window](monitor::MonitorAssembly* assembly, const std::string& error) {
    if (assembly != nullptr) return;
    // The monitor could not be built: say why, and end when the box closes.
    monitor::PostCall(window, [window, error] {
      window->OpenBox(BoxKind::kError,
                      "Tallyvox cannot start the monitor: " +
                          QString::fromStdString(EscapeControls(error, LineBreaks::kKeep)),
                      [] { QCoreApplication::exit(kExitError); });
    });
  });
  window_->show();
}

WindowProgram::Ended WindowProgram::Exec() {
  Start();
  Ended ended;
  ended.code = QApplication::exec();
  ended.monitor_finished = Stop(kStopBound);
  return ended;
}

bool DisplayAvailable() {
  return Set("DISPLAY") || Set("WAYLAND_DISPLAY") || Set("QT_QPA_PLATFORM");
}

QString SettingsErrorText(const std::string& error, const std::string& path, bool missing) {
  const QString head = "Tallyvox cannot use its settings file.\n\n" +
                       QString::fromStdString(EscapeControls(error, LineBreaks::kKeep)) + "\n\n";
  if (!missing) {
    return head +
           "Mend the file where the message points and start Tallyvox again (or name "
           "another file with --config FILE). Every key is explained in the comments of the "
           "file \"tallyvox init FOLDER\" writes.";
  }
  return head + "To make one, run this in a terminal:\n\n    " +
         QString::fromStdString(monitor::InitCommandFor(path)) +
         "\n\nIt writes the settings, commented, and the audit table beside them. Fill in "
         "the roster's addresses, the probe port and the mail accounts, then start Tallyvox "
         "again (or name another file with --config FILE).";
}

int RunWindow(int argc, char** argv, const WindowOptions& options) {
  if (!DisplayAvailable()) {
    std::fprintf(stderr,
                 "tallyvox: no display to show the window on ($DISPLAY and $WAYLAND_DISPLAY "
                 "are not set); run \"tallyvox --headless\" to monitor without a window\n");
    return kExitUsage;
  }
  const int signal_fd = BlockTerminationSignals();
  if (signal_fd < 0) {
    std::perror("tallyvox: signalfd");
    return kExitError;
  }
  QApplication app(argc, argv);
  // Qt takes the whole locale from the environment; numbers written to the
  // audit table and the wire keep "." as their decimal point.
  std::setlocale(LC_NUMERIC, "C");

  int signal_code = 0;
  QSocketNotifier notifier(signal_fd, QSocketNotifier::Read);
  QObject::connect(&notifier, &QSocketNotifier::activated, [&] {
    signalfd_siginfo info{};
    if (::read(signal_fd, &info, sizeof info) != static_cast<ssize_t>(sizeof info)) return;
    signal_code = 128 + static_cast<int>(info.ssi_signo);
    QApplication::closeAllWindows();
    QCoreApplication::exit(signal_code);
  });

  const std::string path = options.config.empty() ? monitor::DefaultSettingsPath() : options.config;
  monitor::Settings settings;
  try {
    settings = monitor::LoadSettings(path);
  } catch (const monitor::SettingsError& e) {
    std::fprintf(stderr, "tallyvox: %s\n", e.what());
    const bool missing = dynamic_cast<const monitor::SettingsFileMissing*>(&e) != nullptr;
    QMessageBox box(QMessageBox::Critical, kBoxTitle, SettingsErrorText(e.what(), path, missing),
                    QMessageBox::Ok);
    box.setTextFormat(Qt::PlainText);
    // The operator copies the path or the command from it.
    box.setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    box.exec();
    return signal_code != 0 ? signal_code : kExitUsage;
  }
  for (const std::string& w : settings.warnings) {
    std::fprintf(stderr, "tallyvox: warning: %s\n", w.c_str());
  }
  if (options.start_observers && !options.start_observers(settings)) return kExitUsage;

  WindowProgram program(settings, options);
  WindowProgram::Ended ended = program.Exec();
  const int code = signal_code != 0 ? signal_code : ended.code;
  // A monitor thread still unwinding may touch the window: end without
  // destroying anything.
  if (!ended.monitor_finished) ExitWithoutCleanUp(code);
  return code;
}

}  // namespace tallyvox::ui
