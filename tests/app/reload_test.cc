// SIGHUP to `tallyvox --headless`: a changed roster, mail account, audit
// folder and interval hold from the next cycle; a broken file is refused with its error
// and the settings in force stay, also when it is a FIFO or a device.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <string>

#include "support/app_fixture.h"

namespace tallyvox::monitor::testing {
namespace {

using namespace std::chrono_literals;

TEST_F(AppTest, SighupTakesTheNewSettingsFromTheNextCycleAndRefusesABrokenFile) {
  MwServerProcess servers({"--listen", "127.0.3.1-127.0.3.2:0"});
  ASSERT_TRUE(servers.ready()) << servers.Output();
  const std::string a_server = "mwserver 127.0.3.1:" + std::to_string(servers.port()) + " ";
  const std::string b_server = "mwserver 127.0.3.2:" + std::to_string(servers.port()) + " ";

  // Row 2 on server A, row 3 refused (127.0.3.9), its alert through an erols
  // host that refuses too; one cycle a minute.
  AppSetup a;
  a.probe_port = servers.port();
  a.erols_host = "127.0.4.25";
  a.rows = {{2, "127.0.3.1"}, {3, "127.0.3.9"}};
  const std::string path = WriteSettings(a);
  ChildProcess app({Tallyvox(), "--headless", "--config", path});
  ASSERT_TRUE(app.WaitForOutput("cycle: 2 rows, 1 failed", 20s)) << app.Output();
  EXPECT_NE(app.Output().find("alert erols: FAILED \"IP 127.0.3.9 Is Down!\""), std::string::npos)
      << app.Output();
  EXPECT_EQ(servers.CountLines(a_server), 1);

  // Row 2 moves to server B, erols to the working mail server, the audit
  // table to another folder, and the interval to 400 ms: the next cycle
  // comes long before a minute is up.
  const size_t mails_before = MailsSoFar();
  a.rows = {{2, "127.0.3.2"}, {3, "127.0.3.9"}};
  a.erols_host = "127.0.0.1";
  a.interval = "400";
  const std::string moved = dir_.File("moved");
  ASSERT_EQ(RunCommand("mkdir " + moved + " && " + BinaryDir() + "/tools/dbetool create " + moved +
                       "/config.dbf"),
            0);
  a.folder = moved;
  WriteSettings(a);
  ::kill(app.pid(), SIGHUP);
  ASSERT_TRUE(app.WaitForOutput("tallyvox: reloaded " + path, 5s)) << app.Output();
  ASSERT_TRUE(app.WaitForOutput("row 2 127.0.3.2: OK", 10s)) << app.Output();
  ASSERT_TRUE(app.WaitForOutput("alert erols: delivered \"IP 127.0.3.9 Is Down!\"", 10s))
      << app.Output();
  EXPECT_GT(peers_->smtp->Messages(mails_before + 1).size(), mails_before);
  EXPECT_EQ(servers.CountLines(a_server), 1);
  const auto moved_records = AuditRecords(moved);
  ASSERT_EQ(moved_records.size(), 1u);
  EXPECT_EQ(moved_records[0].rfind("127.0.3.", 0), 0u) << moved_records[0];

  // A broken file is refused, with its place and fault; cycles go on with
  // the settings in force.
  WriteFile(path, "[polling]\ninterval = \"400\"\nprobe_port = 70000\n");
  ::kill(app.pid(), SIGHUP);
  ASSERT_TRUE(app.WaitForOutput("tallyvox: reload refused, the settings in force stay: " + path +
                                    ":3:14: polling.probe_port must be from 1 to 65535, not 70000",
                                5s))
      << app.Output();
  const int b_probes = servers.CountLines(b_server);
  EXPECT_TRUE(WaitUntil([&] { return servers.CountLines(b_server) >= b_probes + 2; }, 10s))
      << servers.Output();
  EXPECT_EQ(servers.CountLines(a_server), 1);
  EXPECT_TRUE(app.Running());

  ::kill(app.pid(), SIGTERM);
  EXPECT_EQ(app.Wait(3s), 128 + SIGTERM) << app.Output();
}

// A SIGHUP onto a settings file or password_file that would block the
// reload (a FIFO no one writes) or never end (/dev/zero) is refused at once;
// a later SIGHUP onto a good file is taken, and SIGTERM still ends the
// program within a second.
TEST_F(AppTest, SighupOntoAFifoOrADeviceIsRefusedAndLaterSignalsStillWork) {
  AppSetup a;  // no row ticked: a cycle of 0 rows a minute
  a.probe_port = 9;
  const std::string path = WriteSettings(a);
  ChildProcess app({Tallyvox(), "--headless", "--config", path});
  ASSERT_TRUE(app.WaitForOutput("cycle: 0 rows", 10s)) << app.Output();
  const std::string refused = "tallyvox: reload refused, the settings in force stay: ";
  const auto fifo_in_place = [&] {
    ::unlink(path.c_str());
    ASSERT_EQ(::mkfifo(path.c_str(), 0600), 0);
  };

  fifo_in_place();
  ::kill(app.pid(), SIGHUP);
  ASSERT_TRUE(app.WaitForOutput(refused + path +
                                    ":1:1: cannot read the settings file: it is a named pipe "
                                    "(FIFO), not a regular file",
                                2s))
      << app.Output();

  ::unlink(path.c_str());
  a.erols_password_file = "/dev/zero";
  WriteSettings(a);
  ::kill(app.pid(), SIGHUP);
  ASSERT_TRUE(app.WaitForOutput(
      ": cannot read password_file /dev/zero: it is a device, not a regular file", 2s))
      << app.Output();
  EXPECT_EQ(CountContaining(Lines(app.Output()), refused + path + ":"), 2) << app.Output();

  // A good file: taken, and its interval of 300 ms holds.
  a.erols_password_file.clear();
  a.interval = "300";
  WriteSettings(a);
  ::kill(app.pid(), SIGHUP);
  ASSERT_TRUE(app.WaitForOutput("tallyvox: reloaded " + path, 2s)) << app.Output();
  const int cycles = CountContaining(Lines(app.Output()), "cycle: 0 rows");
  EXPECT_TRUE(WaitUntil(
      [&] { return CountContaining(Lines(app.Output()), "cycle: 0 rows") >= cycles + 2; }, 5s))
      << app.Output();

  fifo_in_place();
  ::kill(app.pid(), SIGHUP);
  EXPECT_TRUE(WaitUntil(
      [&] { return CountContaining(Lines(app.Output()), refused + path + ":1:1: ") == 2; }, 2s))
      << app.Output();
  const auto start = std::chrono::steady_clock::now();
  ::kill(app.pid(), SIGTERM);
  EXPECT_EQ(app.Wait(3s), 128 + SIGTERM) << app.Output();
  EXPECT_LT(std::chrono::steady_clock::now() - start, 1s + kToolTime);
}

}  // namespace
}  // namespace tallyvox::monitor::testing
