// Arbitrary text as `tallyvox report --since` (and /api/history's since):
// read as a start before now, or refused with ReportError, never anything
// else.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "report/report.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const int64_t now = 1750000000000;
  try {
    const int64_t since =
        tallyvox::report::ParseSince(std::string(reinterpret_cast<const char*>(data), size), now);
    if (since >= now) std::abort();
  } catch (const tallyvox::report::ReportError&) {
  }
  return 0;
}
