// Running the tallyvox program in tests: its path, a settings file for a
// handful of ticked rows against local peers, and reading its output.
#ifndef TALLYVOX_TESTS_SUPPORT_APP_FIXTURE_H_
#define TALLYVOX_TESTS_SUPPORT_APP_FIXTURE_H_

#include <sys/stat.h>

#include <chrono>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "support/real_fixture.h"

namespace tallyvox::monitor::testing {

using tallyvox::testing::BinaryDir;
using tallyvox::testing::ChildProcess;
using tallyvox::testing::RunCommand;
using tallyvox::testing::WriteFile;

// ThreadSanitizer's own start and end add up to a second or so to every run
// of an instrumented program, AddressSanitizer's most of one (its shadow
// memory is mapped in both processes of the front's exec); time bounds are
// the program's, not the tool's.
// GCC names the sanitizer in a macro, clang answers __has_feature.
#if defined(__has_feature)
#define TALLYVOX_HAS_SANITIZER(name) __has_feature(name##_sanitizer)
#else
#define TALLYVOX_HAS_SANITIZER(name) 0
#endif
#if defined(__SANITIZE_THREAD__) || TALLYVOX_HAS_SANITIZER(thread)
constexpr double kToolSeconds = 1.5;
#elif defined(__SANITIZE_ADDRESS__) || TALLYVOX_HAS_SANITIZER(address)
constexpr double kToolSeconds = 1.0;
#else
constexpr double kToolSeconds = 0;
#endif
#undef TALLYVOX_HAS_SANITIZER
constexpr auto kToolTime = std::chrono::milliseconds(static_cast<int>(kToolSeconds * 1000));

inline std::string Tallyvox() { return BinaryDir() + "/app/tallyvox"; }

struct AppSetup {
  std::string interval = "60000";
  int probe_port = 0;
  int request_timeout = 2;
  std::string folder;  // the audit table's; empty: a fresh table in the test's folder
  int mail_port = 0;   // 0: the suite's mail server
  std::string ca_file;
  std::string erols_host = "127.0.0.1";
  bool erols_use = true;
  std::string erols_password_file;                // empty: the password in the file
  std::vector<std::pair<int, std::string>> rows;  // ticked rows and addresses
  std::string alerts;                             // the [alerts] table's lines
  int parallel = 1;                               // [polling] parallel; 1 leaves it out
  std::string history;                            // the [history] table's lines
};

inline std::string SettingsText(const AppSetup& a) {
  std::ostringstream t;
  t << "[polling]\ninterval = \"" << a.interval << "\"\nprobe_port = " << a.probe_port
    << "\nconnect_timeout = 2\nrequest_timeout = " << a.request_timeout << "\n"
    << (a.parallel != 1 ? "parallel = " + std::to_string(a.parallel) + "\n" : "")
    << "[audit]\nfolder = \"" << a.folder << "\"\n"
    << "[mail]\nport = " << a.mail_port << "\ntest_address = \"192.0.2.1\"\n"
    << "[mail.message]\nfrom = { name = \"Quorvant\", address = \"monitor@quorvant.example\" }\n"
    << "recipient = { name = \"Quell\", address = \"quell@home.example\" }\n"
    << "phone = { name = \"Quell Phone\", address = \"5550100@txt.example\" }\n"
    << "[mail.accounts.erols]\nhost = \"" << a.erols_host << "\"\nuser = \"" << kMailUser << "\"\n"
    << (a.erols_password_file.empty() ? "password = \"" + std::string(kMailPassword)
                                      : "password_file = \"" + a.erols_password_file)
    << "\"\nuse = " << (a.erols_use ? "true" : "false") << "\nca_file = \"" << a.ca_file
    << "\"\n[roster]\nrows = [\n";
  for (int row = 1; row <= kRosterRows; ++row) {
    std::string address = "192.0.2." + std::to_string(row);
    bool enabled = false;
    for (const auto& [r, addr] : a.rows) {
      if (r == row) {
        address = addr;
        enabled = true;
      }
    }
    t << "  { address = \"" << address << "\", enabled = " << (enabled ? "true" : "false")
      << " },\n";
  }
  t << "]\n";
  if (!a.alerts.empty()) t << "[alerts]\n" << a.alerts;
  if (!a.history.empty()) t << "[history]\n" << a.history;
  return t.str();
}

inline std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

inline int CountContaining(const std::vector<std::string>& lines, const std::string& needle) {
  int n = 0;
  for (const std::string& l : lines) n += l.find(needle) != std::string::npos;
  return n;
}

// Polls `done` every 20 ms until it holds or `timeout` passes.
template <typename Predicate>
bool WaitUntil(Predicate done, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!done()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

class AppTest : public PeersTest {
 protected:
  std::string WriteSettings(AppSetup a) {
    if (a.folder.empty()) a.folder = MakeAuditTable(dir_);
    if (a.mail_port == 0) a.mail_port = peers_->smtp->port();
    a.ca_file = peers_->ca.ca_cert_file();
    const std::string path = dir_.File("tallyvox.toml");
    WriteFile(path, SettingsText(a));
    ::chmod(path.c_str(), 0600);
    return path;
  }
};

}  // namespace tallyvox::monitor::testing

#endif  // TALLYVOX_TESTS_SUPPORT_APP_FIXTURE_H_
