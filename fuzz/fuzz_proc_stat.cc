// Arbitrary bytes read as /proc/PID/stat: parsed or refused (nullopt), never
// a read outside the bytes; a parse is stable when the bytes are read again.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "metrics/process_metrics.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const auto first = tallyvox::metrics::ParseProcStat(text);
  const auto second = tallyvox::metrics::ParseProcStat(text);
  if (first.has_value() != second.has_value()) std::abort();
  if (first && (first->cpu_ticks != second->cpu_ticks || first->start_ticks != second->start_ticks))
    std::abort();
  return 0;
}
