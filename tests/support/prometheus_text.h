// A strict reader of the Prometheus text exposition format (version 0.0.4)
// for tests of the metrics endpoint, checking what a Prometheus server and
// `promtool check metrics` hold a scrape to:
//   - "# HELP name text" and "# TYPE name type" at most once per family, the
//     TYPE before the family's first sample, types counter, gauge,
//     histogram, summary or untyped; other "#" lines are comments;
//   - samples "name{label="value",...} value [timestamp]": names
//     [a-zA-Z_:][a-zA-Z0-9_:]*, label names [a-zA-Z_][a-zA-Z0-9_]* (none
//     starting "__"), values with the escapes \\ \" \n only, numbers as Go's
//     ParseFloat reads them (NaN, +Inf, -Inf included);
//   - a family's lines together; no series twice; counters not negative and
//     named "..._total"; every line ends with "\n".
#ifndef TALLYVOX_TESTS_SUPPORT_PROMETHEUS_TEXT_H_
#define TALLYVOX_TESTS_SUPPORT_PROMETHEUS_TEXT_H_

#include <map>
#include <string>

namespace tallyvox::testing {

struct Exposition {
  // Each series as written canonically: name{a="x",b="y"} (labels in the
  // order given), and its value.
  std::map<std::string, double> samples;
  std::map<std::string, std::string> types;  // family -> type
  std::map<std::string, std::string> help;   // family -> text
};

// Parses `text`; on the first fault returns false with "line N: what" in
// *error.
bool ParseExposition(const std::string& text, Exposition* out, std::string* error);

}  // namespace tallyvox::testing

#endif  // TALLYVOX_TESTS_SUPPORT_PROMETHEUS_TEXT_H_
