// Stopping: the socket registry wakes blocked network waits, a stop ends a
// modal box's wait, and a monitor run by MonitorRunner stops within a second
// while a probe waits on a silent server or test mails on a mail server
// that never answers, without reporting a failure.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QTimer>
#include <atomic>
#include <chrono>
#include <future>
#include <stdexcept>
#include <string>
#include <thread>

#include "assembly/runner.h"
#include "net/socket_registry.h"
#include "net/stack.h"
#include "net/tcp_client.h"
#include "support/real_fixture.h"
#include "support/silent_runner.h"

namespace tallyvox::monitor::testing {
namespace {

using namespace std::chrono_literals;
using SteadyClock = std::chrono::steady_clock;

TEST(SocketRegistryTest, ShutDownAllWakesABlockedReadAndRefusesNewSockets) {
  net::SocketRegistry::Reopen();
  LoopbackListener listener(8);  // the connect completes; nothing is ever sent
  net::TNetTCPClient client;
  client.Host = "127.0.0.1";
  client.Port = listener.port();
  client.OpenConnection(2000);
  EXPECT_GE(net::SocketRegistry::Count(), 1u);
  auto read = std::async(std::launch::async, [&] {
    const auto start = SteadyClock::now();
    try {
      client.ReadLine("\n", 30000);
    } catch (const std::exception&) {
    }
    return SteadyClock::now() - start;
  });
  std::this_thread::sleep_for(200ms);
  net::SocketRegistry::ShutDownAll();
  ASSERT_EQ(read.wait_for(2s), std::future_status::ready);
  EXPECT_LT(read.get(), 2s);

  net::TNetTCPClient late;
  late.Host = "127.0.0.1";
  late.Port = listener.port();
  EXPECT_THROW(late.OpenConnection(2000), std::exception);  // no new sockets after the stop
  net::SocketRegistry::Reopen();
  EXPECT_NO_THROW(late.OpenConnection(2000));
}

TEST(StopSignalTest, AStopEndsAModalBoxsWait) {
  StopSignal stop{ShutDownSockets};
  ModalLoop box(stop);
  std::thread stopper([&] {
    std::this_thread::sleep_for(100ms);
    stop.Request();
  });
  EXPECT_THROW(box.Run(), MonitorStopped);
  stopper.join();
  net::SocketRegistry::Reopen();
}

// The box was closed before its wait began: the wait returns at once. Should it
// wait all the same, a timer records that and ends the wait with a second close,
// so the fault fails the test instead of hanging the suite.
TEST(StopSignalTest, ACloseBeforeTheWaitReturnsAtOnce) {
  StopSignal stop;
  ModalLoop box(stop);
  bool waited = false;
  QTimer rescue;
  rescue.setSingleShot(true);
  QObject::connect(&rescue, &QTimer::timeout, [&] {
    waited = true;
    box.Close();
  });
  rescue.start(2000);
  box.Close();
  const auto start = SteadyClock::now();
  box.Run();
  EXPECT_FALSE(waited) << "the wait went on after the close";
  EXPECT_LT(SteadyClock::now() - start, 1s);
}

TEST(MonitorRunnerTest, StopsWithinASecondDuringASilentProbeAndReportsNoFailure) {
  SilentRunner rig("127.0.3.1:0");
  ASSERT_TRUE(rig.server.ready()) << rig.server.Output();
  rig.settings.roster[1] = {"127.0.3.1", true};  // row 2
  rig.StartAndPoll();
  // Wait until the probe waits on the silent server.
  rig.WaitForProbes(1);
  std::this_thread::sleep_for(300ms);
  ASSERT_TRUE(rig.started);
  const auto stop_at = SteadyClock::now();
  EXPECT_TRUE(rig.runner.Stop(1s));
  EXPECT_LT(SteadyClock::now() - stop_at, 1s);
  EXPECT_TRUE(rig.runner.Finished());
  // The broken probe is no outcome: no "Problem", no beep, no box, no alert.
  for (const std::string& t : rig.view.Texts()) {
    EXPECT_EQ(t.find("Problem"), std::string::npos) << t << " " << rig.server.Output();
  }
  EXPECT_EQ(rig.view.beeps.load(), 0);
  EXPECT_EQ(rig.view.boxes.load(), 0);
  EXPECT_TRUE(rig.reports.alerts.empty());
  EXPECT_TRUE(rig.reports.probes.empty());
  // Posting after the stop does nothing.
  rig.runner.Post([](Monitor& m) { m.DoPoll(); });
}

// With parallel probing the test mail goes out from the delivery worker: a
// stop while one delivery hangs in the TLS handshake and another waits
// behind it ends within a second, and neither is reported.
TEST(MonitorRunnerTest, StopsWithinASecondDuringTestMailsOnTheDeliveryWorker) {
  LoopbackListener mail_server(8);  // takes connections, never answers
  SilentRunner rig("127.0.3.1:0");
  ASSERT_TRUE(rig.server.ready()) << rig.server.Output();
  rig.settings.probe.parallel = 4;
  rig.settings.mail.port = mail_server.port();
  rig.StartAndPoll();
  for (int i = 0; i < 2; ++i) {
    rig.runner.Post([](Monitor& m) { m.Handle([&] { m.Button3Click(); }); });
  }
  std::this_thread::sleep_for(300ms);
  ASSERT_TRUE(rig.started);
  const auto stop_at = SteadyClock::now();
  EXPECT_TRUE(rig.runner.Stop(1s));
  EXPECT_LT(SteadyClock::now() - stop_at, 1s);
  EXPECT_EQ(rig.view.boxes.load(), 0);
  EXPECT_TRUE(rig.reports.alerts.empty());
}

// Once Stop returned true, what the monitor thread did happened before what
// follows it (checked by ThreadSanitizer in make test-tsan). The test learns
// that the thread got there through a relaxed flag, which orders nothing,
// and then reads without a lock: a cycle's report from a monitor that ran
// until stopped; the error of a build that failed, after which the thread
// ended by itself before Stop was called (QThread::wait then returns
// without waiting).
TEST(MonitorRunnerTest, WhatTheMonitorThreadDidIsSeenAfterStop) {
  TempDir dir;
  const Settings settings = TestSettings(MakeAuditTable(dir), 1, 1, "");  // no row ticked
  InputStore inputs;
  FillInputs(settings, inputs);
  CountingView view(inputs);
  const auto wait_for = [](const std::atomic<bool>& flag) {
    for (int i = 0; i < 1000 && !flag.load(std::memory_order_relaxed); ++i) {
      std::this_thread::sleep_for(10ms);
    }
    return flag.load(std::memory_order_relaxed);
  };
  {
    Reports reports;
    MonitorRunner runner([&](StopSignal& stop) {
      return std::make_unique<MonitorAssembly>(settings, view, stop, &reports);
    });
    runner.Start(
        [](MonitorAssembly* a, const std::string& error) { ASSERT_NE(a, nullptr) << error; });
    std::atomic<bool> polled{false};
    runner.Post([&polled](Monitor& m) {
      m.Handle([&] { m.DoPoll(); });
      polled.store(true, std::memory_order_relaxed);
    });
    ASSERT_TRUE(wait_for(polled));
    ASSERT_TRUE(runner.Stop(1s));
    ASSERT_EQ(reports.cycles.size(), 1u);
    EXPECT_EQ(reports.cycles[0].rows, 0);
    EXPECT_FALSE(reports.cycles[0].ended_by_error) << reports.cycles[0].error;
  }
  {
    MonitorRunner runner([](StopSignal&) -> std::unique_ptr<MonitorAssembly> {
      throw std::runtime_error("DbeTable1: cannot open");
    });
    std::string error;
    std::atomic<bool> started{false};
    runner.Start([&](MonitorAssembly* a, const std::string& e) {
      EXPECT_EQ(a, nullptr);
      error = e;
      started.store(true, std::memory_order_relaxed);
    });
    ASSERT_TRUE(wait_for(started));
    std::this_thread::sleep_for(200ms);  // the thread ends meanwhile
    ASSERT_TRUE(runner.Stop(1s));
    EXPECT_EQ(error, "DbeTable1: cannot open");
  }
}

}  // namespace
}  // namespace tallyvox::monitor::testing
