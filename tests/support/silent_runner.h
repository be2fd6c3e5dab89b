// SilentRunner: a monitor run by MonitorRunner on a thread of its own, over
// the real components, whose ticked rows point at an mwserver that reads
// every request and never answers (--fault silent), so that each probe waits
// on its server until the monitor is stopped. For tests of a stop in the
// middle of a probe or a cycle.
//
// It provides the server, the audit table in a folder of its own, the
// settings (TestSettings against the server's port, no row ticked, a request
// time-out of 60 s so that no probe ends by itself within a test), the view
// that counts what the monitor shows, the monitor's reports and the runner.
// The test ticks rows (and sets what else it needs) in `settings` before
// StartAndPoll. The destructor stops the runner, bounded by a second, and
// reopens the socket registry that the stop shut down.
//
// Usage:
//   SilentRunner rig("127.0.5.1-127.0.5.12:0");
//   ASSERT_TRUE(rig.server.ready()) << rig.server.Output();
//   rig.settings.roster[1] = {"127.0.5.1", true};  // row 2
//   rig.StartAndPoll();
//   rig.WaitForProbes(1);
//   EXPECT_TRUE(rig.runner.Stop(std::chrono::seconds(1)));
#ifndef TALLYVOX_TESTS_SUPPORT_SILENT_RUNNER_H_
#define TALLYVOX_TESTS_SUPPORT_SILENT_RUNNER_H_

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>

#include "support/real_fixture.h"

namespace tallyvox::monitor::testing {

struct SilentRunner {
  // `listen`: the server's --listen, loopback addresses at port 0.
  explicit SilentRunner(const std::string& listen)
      : server({"--fault", "silent", "--listen", listen}),
        settings(TestSettings(MakeAuditTable(dir), server.port(), 1, "")) {
    settings.probe.request_timeout = 60;
  }
  ~SilentRunner() {
    runner.Stop(std::chrono::seconds(1));
    net::SocketRegistry::Reopen();
  }
  SilentRunner(const SilentRunner&) = delete;
  SilentRunner& operator=(const SilentRunner&) = delete;

  // Starts the monitor thread with the inputs of `settings` and presses Poll
  // on it. `started` turns true once the assembly is built; a failed build
  // fails the test. REQUIRES: called once, with `settings` complete.
  void StartAndPoll() {
    net::SocketRegistry::Reopen();
    FillInputs(settings, inputs);
    runner.Start([this](MonitorAssembly* a, const std::string& error) {
      ASSERT_NE(a, nullptr) << error;
      started = true;
    });
    runner.Post([](Monitor& m) { m.Handle([&] { m.Button1Click(); }); });
  }

  // Waits, at most 10 s, until the server has read `probes` probe requests.
  void WaitForProbes(int probes) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (std::chrono::steady_clock::now() < deadline && server.CountLines("EXECUTE") < probes) {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  }

  TempDir dir;
  MwServerProcess server;
  Settings settings;
  InputStore inputs;
  CountingView view{inputs};
  Reports reports;  // written on the monitor thread, read after it ended
  std::atomic<bool> started{false};
  MonitorRunner runner{[this](StopSignal& stop) {
    return std::make_unique<MonitorAssembly>(settings, view, stop, &reports);
  }};
};

}  // namespace tallyvox::monitor::testing

#endif  // TALLYVOX_TESTS_SUPPORT_SILENT_RUNNER_H_
