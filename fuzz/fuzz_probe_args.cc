// Arbitrary words read as the arguments of `tallyvox probe`: each NUL byte
// ends a word. The parse either fills the arguments or gives an error text,
// never anything else, and what it fills stays within the options' ranges.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "probe/probe_args.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<std::string> words(1);
  for (size_t i = 0; i < size; ++i) {
    if (data[i] == 0) {
      words.emplace_back();
    } else {
      words.back() += static_cast<char>(data[i]);
    }
  }
  tallyvox::app::ProbeArgs args;
  const std::string error = tallyvox::app::ParseProbeArgs(words, &args);
  if (error.empty() && !args.help && !args.version) {
    if (args.host.empty() || args.port < 1 || args.port > 65535) std::abort();
    if (args.Budget() < 1) std::abort();
    if (args.warning && !(*args.warning >= 0)) std::abort();
    if (args.critical && !(*args.critical >= 0)) std::abort();
  }
  return 0;
}
