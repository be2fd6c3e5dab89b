// tallyvox: the desktop server monitor.
//
//   tallyvox [--config FILE] [--metrics ADDRESS:PORT]                    the window
//   tallyvox --headless [--config FILE] [--json] [--once] [--no-poll]
//            [--log all|changes] [--metrics ADDRESS:PORT]                (app/metrics_option.h)
//   tallyvox test-mail [--config FILE]
//   tallyvox probe HOST [-p N] [-t S] [-w S] [-c S] ...          (probe/probe_command.h)
//   tallyvox init [DIR]                                                  (app/init.h)
//   tallyvox serve --listen ADDRESS:PORT [--config FILE]                 (app/serve.h)
//
// Exit status: 0 every probed row answered (or, for test-mail, every tried
// account delivered); 1 a row failed (an account failed); 2 the cycle ended
// with an error (a missing audit table, ...); 3 bad settings or arguments;
// 128 + the signal's number after SIGINT or SIGTERM. SIGHUP reloads the
// settings file while polling runs headless (app/reload.h).
//
// This file makes two programs: tallyvox-monitor, which the small tallyvox
// front hands everything but the probe to, and which hands the window over
// to tallyvox-window (exec/companion.h) and so never loads Qt Widgets,
// and tallyvox-window (TALLYVOX_WINDOW_PROGRAM), the same front ends plus the
// window. Both run the probe too, as the front does.
#include <fcntl.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <QCoreApplication>
#include <QSocketNotifier>
#include <atomic>
#include <chrono>
#include <clocale>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "app/history_option.h"
#include "app/init.h"
#include "app/metrics_option.h"
#include "app/reload.h"
#include "app/serve.h"
#include "app/status_option.h"
#include "app/window_option.h"
#include "assembly/assembly.h"
#include "assembly/runner.h"
#include "base/open_file_limit.h"
#include "config/settings_file.h"
#include "console/console_view.h"
#include "exec/companion.h"
#include "monitor/observer.h"
#include "monitor/post_call.h"
#include "probe/probe_command.h"
#ifdef TALLYVOX_WINDOW_PROGRAM
#include "ui/window_app.h"
#endif

namespace {

using namespace tallyvox::monitor;
using namespace std::chrono_literals;

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitError = 2;
constexpr int kExitUsage = 3;
// How long the main thread waits for the monitor thread to unwind.
constexpr auto kStopBound = 800ms;

int g_signal_pipe[2] = {-1, -1};

void OnSignal(int signo) {
  const unsigned char byte = static_cast<unsigned char>(signo);
  [[maybe_unused]] ssize_t n = ::write(g_signal_pipe[1], &byte, 1);
}

bool InstallSignalPipe() {
  if (::pipe2(g_signal_pipe, O_CLOEXEC | O_NONBLOCK) != 0) return false;
  struct sigaction sa {};
  sa.sa_handler = OnSignal;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = SA_RESTART;
  return ::sigaction(SIGINT, &sa, nullptr) == 0 && ::sigaction(SIGTERM, &sa, nullptr) == 0 &&
         ::sigaction(SIGHUP, &sa, nullptr) == 0;
}

// Outcomes that decide the exit status. Written on the monitor thread, read
// there too (the status is computed before the exit is posted).
class Outcome : public MonitorObserver {
 public:
  void ProbeFinished(const ProbeEvent& e) override {
    if (e.failed()) ++failed_rows;
  }
  void CycleFinished(const CycleEvent& r) override {
    if (r.ended_by_error) cycle_error = true;
    if (on_cycle_end) std::exchange(on_cycle_end, nullptr)();
  }
  void AlertReported(const AlertEvent& e) override {
    if (e.outcome == AlertEvent::Outcome::kFailed) ++failed_alerts;
  }
  void HandlerFailed(const std::string&) override { handler_failed = true; }

  // The exit status of --once.
  int Status() const {
    return cycle_error || handler_failed ? kExitError : failed_rows > 0 ? kExitFailed : kExitOk;
  }

  int failed_rows = 0;
  int failed_alerts = 0;
  bool cycle_error = false;
  bool handler_failed = false;
  // Runs once when the next cycle ends (a parallel cycle ends after the
  // handler that started it).
  std::function<void()> on_cycle_end;
};

void PostExit(int code) {
  PostCall(QCoreApplication::instance(), [code] { QCoreApplication::exit(code); });
}

[[noreturn]] void ExitNow(int code) {
  std::fflush(stdout);
  std::fflush(stderr);
  std::_Exit(code);
}

enum class Mode { kPoll, kOnce, kTestMail };

struct Options {
  bool headless = false;
  bool json = false;
  bool once = false;
  bool no_poll = false;
  LogMode log = LogMode::kAll;
  std::string config;
  tallyvox::app::MetricsOption* metrics = nullptr;
};

// The start-up of each mode, on the monitor thread.
void StartUp(Mode mode, const Options& options, Outcome& outcome, MonitorAssembly* assembly,
             const std::string& error) {
  if (assembly == nullptr) {
    std::fprintf(stderr, "tallyvox: %s\n", error.c_str());
    PostExit(kExitError);
    return;
  }
  Monitor& m = assembly->monitor();
  switch (mode) {
    case Mode::kPoll:
      m.Handle([&] { m.FormShow(); });
      if (!options.no_poll) m.Handle([&] { m.Button1Click(); });
      return;
    case Mode::kOnce: {
      m.Handle([&] {
        m.FormShow();
        m.ResetOkCounters();
        m.DoPoll();
      });
      if (m.Stop().Requested()) return;
      // A parallel cycle ends after this handler, and its alerts go out
      // from the delivery worker: the exit waits for both.
      const auto exit = [&outcome, assembly] {
        assembly->dispatch().WhenDelivered([&outcome] { PostExit(outcome.Status()); });
      };
      if (m.CycleRunning()) {
        // After the handler that ends the cycle, which hands over its
        // grouped alerts last.
        outcome.on_cycle_end = [exit, assembly] { PostCall(&assembly->dispatch(), exit); };
        return;
      }
      exit();
      return;
    }
    case Mode::kTestMail:
      m.Handle([&] { m.Button3Click(); });
      if (m.Stop().Requested()) return;
      // With parallel probing the test mail goes out from the delivery
      // worker: the exit waits for its outcomes.
      assembly->dispatch().WhenDelivered([&outcome] {
        PostExit(outcome.failed_alerts > 0 || outcome.handler_failed ? kExitFailed : kExitOk);
      });
      return;
  }
}

int Run(int argc, char** argv, Mode mode, const Options& options) {
  const std::string path = options.config.empty() ? DefaultSettingsPath() : options.config;
  Settings settings;
  try {
    settings = LoadSettings(path);
  } catch (const SettingsError& e) {
    std::fprintf(stderr, "tallyvox: %s\n", e.what());
    return kExitUsage;
  }
  for (const std::string& w : settings.warnings)
    std::fprintf(stderr, "tallyvox: warning: %s\n", w.c_str());

  QCoreApplication app(argc, argv);
  // Qt takes the whole locale from the environment; numbers written to the
  // audit table and the wire keep "." as their decimal point.
  std::setlocale(LC_NUMERIC, "C");
  if (!InstallSignalPipe()) {
    std::perror("tallyvox: signal pipe");
    return kExitError;
  }

  InputStore inputs;
  FillInputs(settings, inputs);
  ConsoleView view(inputs, stdout, options.json, ::isatty(STDOUT_FILENO) == 1, options.log);
  Outcome outcome;
  ObserverList observers;
  observers.Add(&view);
  observers.Add(&outcome);
  tallyvox::app::StatusOption status(settings);
  if (!status.Start(observers, options.metrics)) return kExitUsage;
  // /probe beside /metrics, with the rows' probe settings as they were read.
  if (options.metrics != nullptr) {
    options.metrics->EnableProbes(settings.probe);
    options.metrics->metrics()->WatchAlertmanagers(settings.alerts.alertmanager);
  }
  if (options.metrics != nullptr && !options.metrics->Start(observers)) return kExitUsage;
  // Declared before the runner: it outlives the monitor thread and writes
  // what the last cycle left.
  const std::unique_ptr<tallyvox::history::HistoryWriter> history = tallyvox::app::StartHistory(
      settings, [&view](const std::string& line) { view.HistoryLog(line); },
      options.metrics != nullptr ? options.metrics->metrics() : nullptr);
  if (history != nullptr) observers.Add(history.get());

  MonitorRunner runner([&](StopSignal& stop) {
    return std::make_unique<MonitorAssembly>(settings, view, stop, &observers);
  });
  // The stall guard watches polling; the test mail reports each account
  // itself.
  if (mode != Mode::kTestMail) {
    StallGuardOptions guard;
    guard.inputs = &inputs;
    guard.listeners = {&view};
    if (options.metrics != nullptr) guard.listeners.push_back(options.metrics->stall_listener());
    runner.GuardStalls(guard);
  }

  tallyvox::app::SettingsReloader reloader(path, inputs, runner);
  QSocketNotifier notifier(g_signal_pipe[0], QSocketNotifier::Read);
  QObject::connect(&notifier, &QSocketNotifier::activated, [&] {
    unsigned char signo = 0;
    if (::read(g_signal_pipe[0], &signo, 1) != 1) return;
    if (signo == SIGHUP && mode == Mode::kPoll) {
      reloader.Reload();
      return;
    }
    const int code = 128 + signo;
    if (!runner.Stop(kStopBound)) ExitNow(code);
    QCoreApplication::exit(code);
  });

  runner.Start([&](MonitorAssembly* assembly, const std::string& error) {
    StartUp(mode, options, outcome, assembly, error);
  });
  const int code = app.exec();
  if (!runner.Stop(kStopBound)) ExitNow(code);
  return code;
}

}  // namespace

int main(int argc, char** argv) {
  // Probes, mail, the audit table, the outbox and the metrics endpoint all
  // take descriptors: the soft limit (often 1024) goes up to the hard one.
  if (argc >= 2 && std::string(argv[1]) == "probe") {
    return tallyvox::app::RunProbeCommand(std::vector<std::string>(argv + 2, argv + argc));
  }
  // The report and its charts run in a program of their own (Qt Gui).
  if (argc >= 2 && std::string(argv[1]) == "report") {
    return tallyvox::app::ExecCompanion(tallyvox::app::kReportProgram, argv, "report program", "");
  }
  tallyvox::RaiseOpenFileLimit();
  std::setlocale(LC_ALL, "");
  std::setlocale(LC_NUMERIC, "C");

  CLI::App cli("Tallyvox " TALLYVOX_VERSION
               ": watches a roster of middleware application servers, records every probe "
               "in an audit table and mails an alert when a server is down.",
               "tallyvox");
  Options options;
  cli.add_flag("--headless", options.headless,
               "run without a window: status changes are printed on standard output");
  cli.add_option("--config", options.config,
                 "the settings file (default: " + DefaultSettingsPath() + ")");
  cli.add_flag("--json", options.json, "print one JSON object a line (with --headless)");
  cli.add_flag("--once", options.once,
               "run one poll cycle and exit: 0 all answered, 1 a row failed, 2 the cycle "
               "ended with an error, 3 bad settings (with --headless)");
  cli.add_flag("--no-poll", options.no_poll, "do not press \"Poll\" at start (with --headless)");
  CLI::Option* log =
      cli.add_option("--log", options.log,
                     "all: every status line (the default); changes: a row's line only when "
                     "it turns up or down, and alerts, errors, outbox and stall lines (with "
                     "--headless)")
          ->transform(CLI::CheckedTransformer(std::map<std::string, LogMode>{
              {"all", LogMode::kAll}, {"changes", LogMode::kChanges}}))
          ->type_name("all|changes");
  cli.set_version_flag("--version", "tallyvox " TALLYVOX_VERSION);
  CLI::App* test_mail = cli.add_subcommand(
      "test-mail",
      "send the \"Email\" button's test alert through the selected accounts; exit 0 "
      "when every tried account delivered, 1 otherwise");
  test_mail->add_option("--config", options.config, "the settings file");
  // Listed for --help; main runs the probe before the options are read.
  cli.add_subcommand("probe",
                     "probe one middleware server as a roster row does (no audit record, no "
                     "mail) and report like a monitoring plugin: exit 0 OK, 1 WARNING, "
                     "2 CRITICAL, 3 UNKNOWN (tallyvox probe --help)");
  // Listed for --help; main hands it to tallyvox-report before the options
  // are read.
  cli.add_subcommand("report",
                     "availability, outages and response times of each row from the probe "
                     "history, as text, CSV or JSON, with charts (tallyvox report --help)");
  tallyvox::app::InitCommand init(cli);
  tallyvox::app::ServeCommand serve(cli);
  tallyvox::app::MetricsOption metrics(cli);
  options.metrics = &metrics;
  try {
    cli.parse(argc, argv);
  } catch (const CLI::Success& e) {
    return cli.exit(e);
  } catch (const CLI::ParseError& e) {
    cli.exit(e);
    return kExitUsage;
  }

  if (init.Parsed()) return init.Run();
  if (serve.Parsed()) return serve.Run(metrics);

  if (test_mail->parsed()) return Run(argc, argv, Mode::kTestMail, options);
  if ((options.json || options.once || options.no_poll || log->count() > 0) && !options.headless) {
    std::fprintf(stderr, "tallyvox: --json, --once, --no-poll and --log go with --headless\n");
    return kExitUsage;
  }
  if (!options.headless) {
#ifndef TALLYVOX_WINDOW_PROGRAM
    return tallyvox::app::ExecCompanion(tallyvox::app::kWindowProgram, argv, "window program",
                                        "; tallyvox --headless runs without it");
#else
    tallyvox::ui::WindowOptions window;
    window.config = options.config;
    tallyvox::app::WindowFrontEnds front_ends(metrics);
    window.observers = {&front_ends.observers()};
    window.stall_listeners = {metrics.stall_listener()};
    window.start_observers = [&](const Settings& settings) { return front_ends.Start(settings); };
    window.row_note = [&front_ends](int row) { return front_ends.RowNote(row); };
    return tallyvox::ui::RunWindow(argc, argv, window);
#endif
  }
  return Run(argc, argv, options.once ? Mode::kOnce : Mode::kPoll, options);
}
