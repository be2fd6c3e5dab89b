// The systemd unit: systemd-analyze reads it without a complaint, and the
// exit status with which the program ends on SIGTERM (a `systemctl stop`)
// is one the unit counts as success.
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>

#include <sstream>
#include <string>
#include <vector>

#include "packaging/packages.h"
#include "support/support.h"

namespace tallyvox::testing {
namespace {

using namespace std::chrono_literals;

std::string UnitText() { return ReadFile(SourceDir() + "/packaging/tallyvox.service"); }

// The values of every `key=` line of the unit, split at blanks.
std::vector<std::string> UnitValues(const std::string& unit, const std::string& key) {
  std::vector<std::string> values;
  std::istringstream lines(unit);
  for (std::string line; std::getline(lines, line);) {
    if (line.rfind(key + "=", 0) != 0) continue;
    std::istringstream words(line.substr(key.size() + 1));
    for (std::string word; words >> word;) values.push_back(word);
  }
  return values;
}

TEST(Unit, SystemdAnalyzeVerifiesItClean) {
  std::string out;
  ASSERT_EQ(RunCommand("command -v systemd-analyze", &out), 0)
      << "systemd-analyze is missing (scripts/setup installs systemd)";
  // Aimed at the program of this build (verify wants the command to exist),
  // and without looking up the man page.
  std::string unit = UnitText();
  const size_t at = unit.find("/usr/bin/tallyvox ");
  ASSERT_NE(at, std::string::npos);
  unit.replace(at, 17, BinaryDir() + "/app/tallyvox");
  TempDir tmp;
  WriteFile(tmp.File("tallyvox.service"), unit);
  ASSERT_EQ(RunCommand("systemd-analyze verify --man=no " + tmp.File("tallyvox.service"), &out), 0)
      << out;
  EXPECT_EQ(out, "");  // warnings do not change its exit status
}

// The program runs with the unit's own options (its settings and metrics
// address moved into a temporary folder, polling off so that nothing is
// probed), is stopped as systemd stops it, and its exit status is among
// SuccessExitStatus: a stop is not logged as a failure.
TEST(Unit, StopBySigtermIsASuccessExit) {
  TempDir tmp;
  std::string out;
  ASSERT_EQ(RunCommand(BinaryDir() + "/app/tallyvox init " + tmp.path(), &out), 0) << out;

  std::vector<std::string> argv = UnitValues(UnitText(), "ExecStart");
  ASSERT_FALSE(argv.empty());
  argv[0] = BinaryDir() + "/app/tallyvox";
  for (size_t i = 1; i + 1 < argv.size(); ++i) {
    if (argv[i] == "--config") argv[i + 1] = tmp.File("tallyvox.toml");
    if (argv[i] == "--metrics") argv[i + 1] = "127.0.0.1:0";
  }
  argv.push_back("--no-poll");

  ChildProcess app(argv);
  ASSERT_TRUE(app.WaitForOutput("serving /metrics on", 10s)) << app.Output();
  ::kill(app.pid(), SIGTERM);
  const int status = app.Wait(5s);
  ASSERT_GE(status, 0) << app.Output();
  const std::vector<std::string> success = UnitValues(UnitText(), "SuccessExitStatus");
  EXPECT_NE(std::find(success.begin(), success.end(), std::to_string(status)), success.end())
      << "exit status " << status << " on SIGTERM is not in SuccessExitStatus";
}

}  // namespace
}  // namespace tallyvox::testing
