#include "app/history_option.h"

#include <utility>

namespace tallyvox::app {

std::unique_ptr<history::HistoryWriter> StartHistory(const monitor::Settings& settings,
                                                     std::function<void(const std::string&)> log,
                                                     metrics::MonitorMetrics* metrics) {
  if (settings.history.database.empty()) return nullptr;
  history::HistoryWriterOptions options;
  options.database = settings.history.database;
  options.keep_days = settings.history.keep_days;
  options.log = std::move(log);
  if (metrics != nullptr) {
    metrics->CountHistoryErrors();
    options.failed = [metrics] { metrics->HistoryFailed(); };
  }
  return std::make_unique<history::HistoryWriter>(std::move(options));
}

}  // namespace tallyvox::app
