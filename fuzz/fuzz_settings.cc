// Arbitrary text read as the settings file: it is either accepted or refused
// with SettingsError, never anything else.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "config/settings_file.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  try {
    tallyvox::monitor::ParseSettings(text, "fuzz.toml");
  } catch (const tallyvox::monitor::SettingsError&) {
  }
  return 0;
}
