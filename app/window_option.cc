#include "app/window_option.h"

#include <cstdio>

#include "app/history_option.h"

namespace tallyvox::app {

bool WindowFrontEnds::Start(const monitor::Settings& settings) {
  settings_ = settings;
  status_ = std::make_unique<StatusOption>(*settings_);
  if (!status_->Start(observers_, &metrics_)) return false;
  // /probe beside /metrics, as the headless monitor serves it.
  if (metrics_.given()) {
    metrics_.EnableProbes(settings_->probe);
    metrics_.metrics()->WatchAlertmanagers(settings_->alerts.alertmanager);
  }
  if (!metrics_.Start(observers_)) return false;
  history_ = StartHistory(
      *settings_,
      [](const std::string& line) { std::fprintf(stderr, "tallyvox: %s\n", line.c_str()); },
      metrics_.metrics());
  if (history_ == nullptr) return true;
  observers_.Add(history_.get());
  history::AvailabilityCacheOptions options;
  options.database = settings_->history.database;
  availability_ = std::make_unique<history::AvailabilityCache>(std::move(options));
  return true;
}

}  // namespace tallyvox::app
