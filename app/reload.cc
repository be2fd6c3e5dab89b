#include "app/reload.h"

#include <cstdio>

#include "config/settings_file.h"

namespace tallyvox::app {

bool SettingsReloader::Reload() {
  monitor::Settings settings;
  try {
    settings = monitor::LoadSettings(path_);
  } catch (const monitor::SettingsError& e) {
    std::fprintf(stderr, "tallyvox: reload refused, the settings in force stay: %s\n", e.what());
    return false;
  }
  for (const std::string& w : settings.warnings) {
    std::fprintf(stderr, "tallyvox: warning: %s\n", w.c_str());
  }
  std::fprintf(stderr, "tallyvox: reloaded %s; it holds from the next cycle\n", path_.c_str());
  runner_.PostToAssembly([settings, &inputs = inputs_](monitor::MonitorAssembly& a) {
    monitor::FillInputs(settings, inputs);
    a.Reconfigure(settings);
  });
  return true;
}

}  // namespace tallyvox::app
