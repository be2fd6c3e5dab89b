// The plugin options of `tallyvox probe` as monitoring systems' command
// templates write them (check_tcp's names), today's long options beside
// them, and the errors for bad ones.
#include "probe/probe_args.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace tallyvox::app {
namespace {

std::vector<std::string> Words(const std::string& line) {
  std::vector<std::string> words;
  size_t at = 0;
  while (at < line.size()) {
    const size_t end = line.find(' ', at);
    words.push_back(line.substr(at, end == std::string::npos ? end : end - at));
    if (end == std::string::npos) break;
    at = end + 1;
  }
  return words;
}

TEST(ProbeArgs, EveryOptionInItsShortAndLongForm) {
  struct Case {
    std::string line;
    std::string host;
    int port, request_timeout, connect_timeout, budget;
    double warning, critical;  // -1: not given
  };
  const std::vector<Case> cases = {
      {"192.0.2.1", "192.0.2.1", 80, 5, 5, 10, -1, -1},
      {"-H 192.0.2.1 -p 3000", "192.0.2.1", 3000, 5, 5, 10, -1, -1},
      {"--hostname=db.example --port=3000", "db.example", 3000, 5, 5, 10, -1, -1},
      {"-Hdb.example -p3000", "db.example", 3000, 5, 5, 10, -1, -1},
      {"--hostname db.example --port 8080", "db.example", 8080, 5, 5, 10, -1, -1},
      // -t is the whole probe's budget; the request time-out has its own name.
      {"h -t 3", "h", 80, 5, 5, 3, -1, -1},
      {"h --timeout 7 --request-timeout 2 --connect-timeout 1", "h", 80, 2, 1, 7, -1, -1},
      {"h --request-timeout 2 --connect-timeout 1", "h", 80, 2, 1, 3, -1, -1},
      {"-w 0.5 -c 2 h", "h", 80, 5, 5, 10, 0.5, 2},
      {"h --warning=0.000001 --critical 10", "h", 80, 5, 5, 10, 0.000001, 10},
      {"h -c 0", "h", 80, 5, 5, 10, -1, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    ProbeArgs a;
    ASSERT_EQ(ParseProbeArgs(Words(c.line), &a), "");
    EXPECT_EQ(a.host, c.host);
    EXPECT_EQ(a.port, c.port);
    EXPECT_EQ(a.request_timeout, c.request_timeout);
    EXPECT_EQ(a.connect_timeout, c.connect_timeout);
    EXPECT_EQ(a.Budget(), c.budget);
    EXPECT_EQ(a.warning.value_or(-1), c.warning);
    EXPECT_EQ(a.critical.value_or(-1), c.critical);
    EXPECT_FALSE(a.help || a.version);
  }
}

TEST(ProbeArgs, HelpAndVersionNeedNoHost) {
  for (const std::string line : {"-h", "--help", "-V", "--version", "-p 3000 -V"}) {
    SCOPED_TRACE(line);
    ProbeArgs a;
    EXPECT_EQ(ParseProbeArgs(Words(line), &a), "");
    EXPECT_EQ(a.help, line.find('h') != std::string::npos);
    EXPECT_EQ(a.version, line.find('V') != std::string::npos || line == "--version");
  }
}

TEST(ProbeArgs, ErrorsNameTheOptionAndListWordsInTheOrderGiven) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"", "HOST is required"},
      {"-p 3000", "HOST is required"},
      {"-H", "--hostname needs a value"},
      {"h -w", "--warning needs a value"},
      {"h -p 0", "--port: Value 0 not in range 1 to 65535"},
      {"h -p x", "--port: Value x could not be converted"},
      {"h -t 0", "--timeout: Value 0 not in range 1 to 3600"},
      {"h --request-timeout 3601", "--request-timeout: Value 3601 not in range 1 to 3600"},
      {"h -w x", "--warning: Value x could not be converted"},
      {"h -c -1", "--critical: Value -1 not in range 0 to 3600"},
      {"h -c nan", "--critical: Value nan could not be converted"},
      {"h --help=1", "--help takes no value"},
      {"h --bogus", "The following argument was not expected: --bogus"},
      // Several unexpected words, in the order they were given.
      {"h -x 1 -y 2", "The following arguments were not expected: -x 1 -y 2"},
      {"h g -w 1 -c 2 f", "The following arguments were not expected: g f"},
  };
  for (const auto& [line, want] : cases) {
    SCOPED_TRACE(line);
    ProbeArgs a;
    EXPECT_EQ(ParseProbeArgs(line.empty() ? std::vector<std::string>{} : Words(line), &a), want);
  }
}

}  // namespace
}  // namespace tallyvox::app
