// tallyvox-report: `tallyvox report`, the uptime report over the probe
// history, which tallyvox-monitor hands over to (exec/companion.h), so that
// the monitor's process never loads Qt Gui, which the charts need.
//
//   tallyvox report [--config FILE] [--since 24h|7d|30d|DATE] [--row N]
//                   [--format text|csv|json] [--chart FILE.svg|FILE.png]
//
// Exit status: 0 the report was written; 2 the history could not be read or
// the chart not written; 3 bad arguments, settings without [history].
#include <CLI/CLI.hpp>
#include <QGuiApplication>
#include <chrono>
#include <clocale>
#include <cstdio>
#include <memory>
#include <string>

#include "chart/chart.h"
#include "config/settings_file.h"
#include "history/history_db.h"
#include "report/report.h"
#include "report/report_format.h"

namespace {

using namespace tallyvox;

constexpr int kExitOk = 0;
constexpr int kExitError = 2;
constexpr int kExitUsage = 3;
// Slices of the period in a chart: one per half hour of a day's report.
constexpr int kSlices = 48;
constexpr int kDetailSlices = 144;

struct Options {
  std::string config;
  std::string since = "24h";
  int row = 0;
  std::string format = "text";
  std::string chart;
};

// Qt's own chatter (a missing XDG_RUNTIME_DIR, font lookups) is no concern
// of a report; its errors are.
void QtMessages(QtMsgType type, const QMessageLogContext&, const QString& message) {
  if (type == QtCriticalMsg || type == QtFatalMsg) {
    std::fprintf(stderr, "tallyvox report: %s\n", message.toLocal8Bit().constData());
  }
}

int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

int Run(int argc, char** argv, const Options& o) {
  const std::string path = o.config.empty() ? monitor::DefaultSettingsPath() : o.config;
  monitor::Settings settings;
  report::Format format;
  int64_t since = 0;
  const int64_t now = NowMs();
  try {
    settings = monitor::LoadSettings(path);
    if (settings.history.database.empty()) {
      std::fprintf(stderr,
                   "tallyvox report: %s has no [history]: add [history] database = "
                   "\"history.sqlite\" and let the monitor record probes\n",
                   path.c_str());
      return kExitUsage;
    }
    format = report::ParseFormat(o.format);
    since = report::ParseSince(o.since, now);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "tallyvox report: %s\n", e.what());
    return kExitUsage;
  }
  const bool detail = o.row != 0;
  try {
    history::HistoryDb db(settings.history.database, history::HistoryDb::Mode::kReadOnly);
    const report::Report r =
        report::BuildReport(db, o.row, since, now, detail ? kDetailSlices : kSlices);
    if (!o.chart.empty()) {
      // Charts are painted without a display.
      if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
      qInstallMessageHandler(QtMessages);
      QGuiApplication app(argc, argv);
      std::setlocale(LC_NUMERIC, "C");
      chart::WriteChart(r, detail, o.chart);
    }
    const std::string text = report::FormatReport(r, format, detail);
    std::fwrite(text.data(), 1, text.size(), stdout);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "tallyvox report: %s\n", e.what());
    return kExitError;
  }
  return kExitOk;
}

}  // namespace

int main(int argc, char** argv) {
  std::setlocale(LC_ALL, "");
  std::setlocale(LC_NUMERIC, "C");
  // Executed as "tallyvox report ...": the options follow the command.
  int skip = argc >= 2 && std::string(argv[1]) == "report" ? 1 : 0;
  CLI::App cli("Tallyvox " TALLYVOX_VERSION
               " report: availability, outages and response times of each row from the probe "
               "history",
               "tallyvox report");
  Options o;
  cli.add_option("--config", o.config,
                 "the settings file (default: " + monitor::DefaultSettingsPath() + ")");
  cli.add_option("--since", o.since,
                 "the period: 24h, 7d, 30d (hours, days, minutes back: 30m) or a local date "
                 "(2026-12-01, 2026-12-01T08:30); default 24h");
  cli.add_option("--row", o.row, "one row (1 to 111) in detail, with every outage")
      ->check(CLI::Range(1, 111));
  cli.add_option("--format", o.format, "text (default), csv or json");
  cli.add_option("--chart", o.chart,
                 "also draw availability and response time over the period into FILE.svg or "
                 "FILE.png");
  try {
    cli.parse(argc - skip, argv + skip);
  } catch (const CLI::Success& e) {
    return cli.exit(e);
  } catch (const CLI::ParseError& e) {
    cli.exit(e);
    return kExitUsage;
  }
  return Run(argc, argv, o);
}
