// Arbitrary bytes read as an outbox alert file: refused with AlertFileError
// or read as an alert that writes back to the same bytes, never anything
// else, and never a read past the input.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "outbox/alert_file.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  tallyvox::monitor::QueuedAlert alert;
  try {
    alert = tallyvox::monitor::ParseAlertFile(bytes);
  } catch (const tallyvox::monitor::AlertFileError&) {
    return 0;
  }
  // What reads as an alert is exactly what the writer makes of it.
  if (tallyvox::monitor::EncodeAlertFile(alert) != bytes) std::abort();
  return 0;
}
