// The tallyvox program as a user runs it: `tallyvox --headless --once --json`
// against mwserver, an audit table made with dbetool (read back with
// python3-dbfread) and aiosmtpd; SIGTERM during a silent probe; a broken
// settings file; `tallyvox test-mail`.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <chrono>
#include <csignal>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "outbox/outbox_env.h"
#include "support/app_fixture.h"

namespace tallyvox::monitor::testing {
namespace {

using namespace std::chrono_literals;

TEST_F(AppTest, OnceJsonEndToEnd) {
  MwServerProcess servers({"--listen", "127.0.3.1-127.0.3.3:0"});
  ASSERT_TRUE(servers.ready()) << servers.Output();
  AppSetup a;
  a.probe_port = servers.port();
  a.rows = {{2, "127.0.3.2"}, {5, "127.0.4.5"}, {28, "127.0.3.3"}, {108, "127.0.3.3"}};
  const std::string path = WriteSettings(a);
  const size_t mails_before = MailsSoFar();

  std::string out;
  const int rc =
      RunCommand(Tallyvox() + " --headless --once --json --config " + path + " 2>/dev/null", &out,
                 std::chrono::seconds(60));
  EXPECT_EQ(rc, 1) << out;  // a row failed
  const auto lines = Lines(out);
  for (const std::string& l : lines) {
    EXPECT_EQ(l.rfind("{\"time\": \"", 0), 0u) << l;
    EXPECT_EQ(l.back(), '}') << l;
  }
  EXPECT_EQ(
      CountContaining(
          lines,
          R"("op": "text", "control": "Label2", "row": 2, "address": "127.0.3.2", "text": "OK 1")"),
      1)
      << out;
  EXPECT_EQ(
      CountContaining(
          lines,
          R"("op": "text", "control": "Label112", "row": 108, "address": "127.0.3.3", "text": "OK 2")"),
      1)
      << out;
  EXPECT_EQ(CountContaining(
                lines, R"("control": "Label5", "row": 5, "address": "127.0.4.5", "colour": "red")"),
            1)
      << out;
  // The failure's text carries the probe's reason.
  EXPECT_EQ(
      CountContaining(
          lines, R"("control": "Label5", "row": 5, "address": "127.0.4.5", "text": "Problem )"),
      1)
      << out;
  EXPECT_EQ(CountContaining(lines, R"(", "reason": "Connection lost. ()"), 1) << out;
  EXPECT_EQ(CountContaining(lines, R"("op": "text", "control": "Label18", "text": "Problem")"), 1)
      << out;
  EXPECT_EQ(CountContaining(lines, R"("op": "beep")"), 7) << out;
  EXPECT_EQ(CountContaining(lines, R"("op": "cycle", "rows": 4, "failed": 1, "seconds": )"), 1)
      << out;
  EXPECT_EQ(CountContaining(lines, R"("op": "alert", "account": "erols", "delivered": true)"), 1)
      << out;
  // The offset of the time stamps: "+HH:MM" or "-HH:MM" before the closing quote.
  const std::string first = lines.empty() ? "" : lines[0];
  ASSERT_GT(first.size(), 40u);
  EXPECT_TRUE(first[33] == '+' || first[33] == '-') << first;

  const auto mails = peers_->smtp->Messages(mails_before + 1);
  ASSERT_EQ(mails.size(), mails_before + 1);
  EXPECT_NE(mails.back().data.find("IP 127.0.4.5 Is Down!"), std::string::npos);

  std::string record;
  WriteFile(dir_.File("read.py"),
            "import dbfread, sys\n"
            "for r in dbfread.DBF(sys.argv[1], lowernames=True):\n"
            "    print(r['ipaddress'], repr(r['time']))\n");
  ASSERT_EQ(RunCommand("/usr/bin/python3 " + dir_.File("read.py") + " " + dir_.File("config.dbf"),
                       &record),
            0)
      << record;
  const auto records = Lines(record);
  ASSERT_EQ(records.size(), 1u) << record;
  EXPECT_EQ(records[0].substr(0, records[0].find(' ')), "127.0.3.3");
  const double time = std::stod(records[0].substr(records[0].find(' ') + 1));
  EXPECT_GT(time, 0.0);
  EXPECT_LT(time, 1.0);
}

// With parallel probes and grouped alerts, --once ends after the cycle's
// last result and after its grouped alert went out from the delivery worker.
TEST_F(AppTest, OnceWithParallelProbesWaitsForTheCycleAndItsGroupedAlert) {
  MwServerProcess servers({"--listen", "127.0.3.1-127.0.3.3:0"});
  ASSERT_TRUE(servers.ready()) << servers.Output();
  AppSetup a;
  a.probe_port = servers.port();
  a.parallel = 4;
  a.alerts = "group = true\n";
  a.rows = {{2, "127.0.3.2"}, {5, "127.0.4.5"}, {13, "127.0.4.13"}, {28, "127.0.3.3"}};
  const std::string path = WriteSettings(a);
  const size_t mails_before = MailsSoFar();
  std::string out;
  EXPECT_EQ(RunCommand(Tallyvox() + " --headless --once --json --config " + path + " 2>/dev/null",
                       &out, std::chrono::seconds(60)),
            1)
      << out;
  const auto lines = Lines(out);
  EXPECT_EQ(CountContaining(lines, R"("op": "cycle", "rows": 4, "failed": 2, "seconds": )"), 1)
      << out;
  EXPECT_EQ(CountContaining(lines, R"(, "parallel": 4})"), 1) << out;
  EXPECT_EQ(CountContaining(lines, R"("op": "beep")"), 7) << out;
  EXPECT_EQ(
      CountContaining(
          lines,
          R"("op": "alert", "account": "erols", "delivered": true, "text": "IP 127.0.4.5 Is Down!\nIP 127.0.4.13 Is Down!")"),
      1)
      << out;
  const auto mails = peers_->smtp->Messages(mails_before + 1);
  ASSERT_EQ(mails.size(), mails_before + 1);
  EXPECT_NE(mails.back().data.find("Subject: Servers Down!"), std::string::npos);
}

TEST_F(AppTest, OnceExitStatus) {
  MwServerProcess servers({"--listen", "127.0.3.1:0"});
  ASSERT_TRUE(servers.ready()) << servers.Output();
  AppSetup a;
  a.probe_port = servers.port();
  a.rows = {{2, "127.0.3.1"}};
  const std::string path = WriteSettings(a);
  std::string out;
  EXPECT_EQ(RunCommand(Tallyvox() + " --headless --once --config " + path, &out), 0) << out;
  EXPECT_NE(out.find("row 2 127.0.3.1: OK 1"), std::string::npos) << out;
  EXPECT_NE(out.find("cycle: 1 rows, 0 failed"), std::string::npos) << out;

  ::unlink(dir_.File("config.dbf").c_str());  // the audit table is gone
  EXPECT_EQ(RunCommand(Tallyvox() + " --headless --once --config " + path, &out), 2) << out;
  EXPECT_NE(out.find("error: DbeTable1: "), std::string::npos) << out;
}

// --log changes over two cycles (--once twice is two first results): each
// row's result once with its address, the failure with its reason; no
// "Checking..." and no cycle line.
TEST_F(AppTest, LogChangesPrintsEachRowsResultOnce) {
  MwServerProcess servers({"--listen", "127.0.3.1:0"});
  ASSERT_TRUE(servers.ready()) << servers.Output();
  AppSetup a;
  a.probe_port = servers.port();
  a.rows = {{2, "127.0.3.1"}, {5, "127.0.4.5"}};
  const std::string path = WriteSettings(a);
  std::string out;
  EXPECT_EQ(
      RunCommand(Tallyvox() + " --headless --once --log changes --config " + path + " 2>/dev/null",
                 &out, std::chrono::seconds(60)),
      1)
      << out;
  const auto lines = Lines(out);
  EXPECT_EQ(CountContaining(lines, "row 2 127.0.3.1: OK 1"), 1) << out;
  EXPECT_EQ(CountContaining(lines, "row 5 127.0.4.5: Problem "), 1) << out;
  EXPECT_EQ(CountContaining(lines, " (Connection lost. ("), 1) << out;
  EXPECT_EQ(CountContaining(lines, "Checking..."), 0) << out;
  EXPECT_EQ(CountContaining(lines, "cycle: "), 0) << out;
  EXPECT_EQ(CountContaining(lines, "Gaming (Label18): Problem"), 1) << out;

  EXPECT_EQ(RunCommand(Tallyvox() + " --headless --once --log some --config " + path, &out), 3);
  EXPECT_EQ(RunCommand(Tallyvox() + " --log changes --config " + path, &out), 3);
  EXPECT_NE(out.find("--log go with --headless"), std::string::npos) << out;
}

TEST_F(AppTest, BrokenSettingsAndArgumentsExitWith3) {
  const std::string path = dir_.File("broken.toml");
  WriteFile(path, "[polling]\ninterval = \"60000\"\nprobe_port = 70000\n");
  std::string out;
  EXPECT_EQ(RunCommand(Tallyvox() + " --headless --once --config " + path, &out), 3);
  EXPECT_NE(out.find(path + ":3:14: polling.probe_port must be from 1 to 65535, not 70000"),
            std::string::npos)
      << out;
  EXPECT_EQ(RunCommand(Tallyvox() + " --headless --once --config " + dir_.File("none.toml"), &out),
            3);
  EXPECT_EQ(RunCommand(Tallyvox() + " --headless --bogus", &out), 3);
  EXPECT_EQ(RunCommand(Tallyvox() + " --help", &out), 0);
  EXPECT_NE(out.find("--headless"), std::string::npos);
  EXPECT_EQ(RunCommand(Tallyvox() + " --version", &out), 0);
  EXPECT_NE(out.find("tallyvox 2.4"), std::string::npos);
}

// A settings file or password_file that would block the start (a FIFO no
// one writes), never end (/dev/zero), is a folder, or is far too large is
// refused at once: exit 3 within a second, the file and the reason named.
TEST_F(AppTest, HostileSettingsAndPasswordFilesAreRefusedAtOnce) {
  const std::string fifo = dir_.File("fifo");
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  const std::string folder = dir_.File("folder");
  ASSERT_EQ(::mkdir(folder.c_str(), 0700), 0);
  AppSetup a;
  a.probe_port = 9;
  const std::string good = WriteSettings(a);
  const std::string big_settings = dir_.File("big.toml");  // valid, with a long comment
  WriteFile(big_settings, tallyvox::testing::ReadFile(good) + "#" + std::string(1 << 20, 'x'));
  ::chmod(big_settings.c_str(), 0600);
  const std::string big_password = dir_.File("big.password");  // 200 KiB without a line end
  WriteFile(big_password, std::string(200 << 10, 'p'));
  ::chmod(big_password.c_str(), 0600);

  struct Case {
    std::string file;  // the settings file, or the password_file of a good one
    bool password;
    std::string why;
  };
  const std::vector<Case> cases = {
      {fifo, false, "it is a named pipe (FIFO), not a regular file"},
      {"/dev/zero", false, "it is a device, not a regular file"},
      {folder, false, "it is a folder"},
      {big_settings, false, "it is larger than 1 MiB"},
      {fifo, true, "it is a named pipe (FIFO), not a regular file"},
      {"/dev/zero", true, "it is a device, not a regular file"},
      {folder, true, "it is a folder"},
      {big_password, true, "it is larger than 4 KiB"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE((c.password ? "password_file " : "settings file ") + c.file);
    std::string config = c.file;
    std::string expected = "tallyvox: " + c.file + ":1:1: cannot read the settings file: " + c.why;
    if (c.password) {
      AppSetup with_file = a;
      with_file.erols_password_file = c.file;
      config = WriteSettings(with_file);
      expected = ": cannot read password_file " + c.file + ": " + c.why;
    }
    const auto start = std::chrono::steady_clock::now();
    ChildProcess app({Tallyvox(), "--headless", "--config", config});
    EXPECT_EQ(app.Wait(5s), 3) << app.Output();
    EXPECT_LT(std::chrono::steady_clock::now() - start, 1s + kToolTime);
    EXPECT_NE(app.Output().find(expected), std::string::npos) << app.Output();
    if (c.password) {
      EXPECT_NE(app.Output().find("tallyvox: " + config + ":"), std::string::npos);
    }
  }
}

// The command the message names makes a file the program then reads.
TEST_F(AppTest, AMissingSettingsFileNamesTheInitCommandThatMakesIt) {
  const std::string path = dir_.File("deploy/tv.toml");
  std::string out;
  EXPECT_EQ(RunCommand(Tallyvox() + " --headless --once --config " + path, &out), 3);
  const std::string command = InitCommandFor(path);
  EXPECT_EQ(command, "tallyvox init " + dir_.File("deploy") + " && mv " +
                         dir_.File("deploy/tallyvox.toml") + " " + path);
  EXPECT_NE(
      out.find("tallyvox: " + path + ": there is no settings file; \"" + command + "\" makes one"),
      std::string::npos)
      << out;
  EXPECT_EQ(RunCommand(Tallyvox() + command.substr(std::string("tallyvox").size()), &out), 0)
      << out;
  EXPECT_NE(LoadSettings(path).audit_folder.find("/deploy"), std::string::npos);
}

// The window is a program of its own: a headless process never maps the
// GUI libraries, and a tallyvox without its window program says so.
TEST_F(AppTest, TheHeadlessProgramLeavesTheWindowLibrariesToTheWindowProgram) {
  AppSetup a;
  a.probe_port = 9;
  a.rows = {{2, "127.0.3.9"}};
  ChildProcess app({Tallyvox(), "--headless", "--no-poll", "--metrics", "127.0.0.1:0", "--config",
                    WriteSettings(a)});
  ASSERT_TRUE(app.WaitForOutput("serving /metrics", 10s)) << app.Output();
  const std::string maps =
      tallyvox::testing::ReadFile("/proc/" + std::to_string(app.pid()) + "/maps");
  ASSERT_NE(maps.find("libQt6Core"), std::string::npos) << maps;
  for (const char* library : {"libQt6Widgets", "libQt6Gui", "libX11", "libfontconfig"}) {
    EXPECT_EQ(maps.find(library), std::string::npos) << library;
  }
  app.Stop();

  // The monitor program without its window program beside it.
  const std::string alone = dir_.File("alone/tallyvox-monitor");
  ::mkdir(dir_.File("alone").c_str(), 0700);
  std::string out;
  ASSERT_EQ(RunCommand("cp " + BinaryDir() + "/app/tallyvox-monitor " + alone, &out), 0) << out;
  EXPECT_EQ(RunCommand(alone + " --config " + dir_.File("none.toml"), &out), 3);
  EXPECT_NE(out.find("tallyvox: cannot start the window program (No such file or directory; "
                     "looked for " +
                     dir_.File("alone/tallyvox-window")),
            std::string::npos)
      << out;
  EXPECT_NE(out.find("tallyvox --headless runs without it"), std::string::npos) << out;

  // The front without the monitor program: it says so, and still probes.
  const std::string front = dir_.File("front/tallyvox");
  ::mkdir(dir_.File("front").c_str(), 0700);
  ASSERT_EQ(RunCommand("cp " + Tallyvox() + " " + front, &out), 0) << out;
  EXPECT_EQ(RunCommand(front + " --headless", &out), 3);
  EXPECT_NE(out.find("tallyvox: cannot start the monitor program (No such file or directory; "
                     "looked for " +
                     dir_.File("front/tallyvox-monitor")),
            std::string::npos)
      << out;
  EXPECT_EQ(RunCommand(front + " --version", &out), 0);
  EXPECT_EQ(out, "tallyvox 2.4\n");
}

TEST_F(AppTest, SigtermDuringASilentProbeEndsWithinASecond) {
  MwServerProcess silent({"--fault", "silent", "--listen", "127.0.3.1:0"});
  ASSERT_TRUE(silent.ready()) << silent.Output();
  AppSetup a;
  a.probe_port = silent.port();
  a.request_timeout = 60;
  a.rows = {{2, "127.0.3.1"}};
  const std::string path = WriteSettings(a);
  const size_t mails_before = MailsSoFar();
  ChildProcess app({Tallyvox(), "--headless", "--config", path});
  ASSERT_TRUE(app.WaitForOutput("Checking...", 10s)) << app.Output();
  ASSERT_TRUE(silent.WaitForOutput("no answer", 5s)) << silent.Output();
  const auto start = std::chrono::steady_clock::now();
  ::kill(app.pid(), SIGTERM);
  const int code = app.Wait(3s);
  EXPECT_LT(std::chrono::steady_clock::now() - start, 1s + kToolTime);
  EXPECT_EQ(code, 128 + SIGTERM) << app.Output();
  EXPECT_EQ(app.Output().find("Problem"), std::string::npos) << app.Output();
  EXPECT_EQ(MailsSoFar(), mails_before);
  // The audit table is whole: it holds the probe's record.
  std::string shown;
  EXPECT_EQ(RunCommand(BinaryDir() + "/tools/dbetool show " + dir_.File("config.dbf"), &shown), 0);
  EXPECT_NE(shown.find("ipaddress=\"127.0.3.1\""), std::string::npos) << shown;
}

// With parallel probing the test mail goes out from the delivery worker:
// the program reports and exits as with sequential probing.
TEST_F(AppTest, TestMailReportsEachAccount) {
  for (int parallel : {1, 4}) {
    SCOPED_TRACE("parallel " + std::to_string(parallel));
    AppSetup a;
    a.probe_port = 80;
    a.parallel = parallel;
    std::string out;
    const size_t mails_before = MailsSoFar();
    EXPECT_EQ(RunCommand(Tallyvox() + " test-mail --config " + WriteSettings(a), &out), 0) << out;
    EXPECT_NE(out.find("alert erols: delivered \"IP 192.0.2.1 is Down!\""), std::string::npos)
        << out;
    EXPECT_EQ(peers_->smtp->Messages(mails_before + 1).size(), mails_before + 1);

    a.erols_host = "127.0.4.25";  // refuses
    EXPECT_EQ(RunCommand(Tallyvox() + " test-mail --config " + WriteSettings(a), &out), 1) << out;
    // The failure names the account's server.
    EXPECT_NE(out.find("alert erols: FAILED \"IP 192.0.2.1 is Down!\": 127.0.4.25:" +
                       std::to_string(peers_->smtp->port()) + ": "),
              std::string::npos)
        << out;
    EXPECT_NE(out.find("message: "), std::string::npos) << out;
  }
}

// Alerts queued while the mail sink is down survive a kill -9 of the
// program; the next start delivers them, once each, in order.
TEST_F(AppTest, AlertsQueuedBeforeAKillAreDeliveredAfterARestart) {
  tallyvox::testing::RefusingPort probes;                              // every probe is refused
  tallyvox::testing::RefusingPort held("127.0.0.1", /*shared=*/true);  // the sink, down for now
  AppSetup a;
  a.probe_port = probes.port();
  a.mail_port = held.port();
  a.rows = {{5, "127.0.4.5"}, {13, "127.0.4.13"}};
  a.alerts = "outbox = \"outbox\"\n";
  const std::string path = WriteSettings(a);
  {
    ChildProcess app({Tallyvox(), "--headless", "--config", path});
    ASSERT_TRUE(app.WaitForOutput(
        "alert queued: \"IP 127.0.4.13 Is Down!\" (2 waiting in the outbox)", 30s))
        << app.Output();
    EXPECT_NE(
        app.Output().find("alert queued: \"IP 127.0.4.5 Is Down!\" (1 waiting in the outbox)"),
        std::string::npos)
        << app.Output();
    ::kill(app.pid(), SIGKILL);
    app.Wait(5s);
  }
  std::vector<std::string> files;
  OutboxEnv::Default()->ListFolder(dir_.File("outbox"), &files);
  EXPECT_EQ(files.size(), 2u);

  AiosmtpdServer sink(peers_->ca.Localhost(), kMailUser, kMailPassword, held.port());
  ChildProcess again({Tallyvox(), "--headless", "--no-poll", "--config", path});
  ASSERT_TRUE(again.WaitForOutput("outbox: delivered 2 alerts that waited; 0 waiting", 30s))
      << again.Output();
  const auto mails = sink.Messages(3, 2s);
  ASSERT_EQ(mails.size(), 2u);
  EXPECT_NE(mails[0].data.find("IP 127.0.4.5 Is Down! (raised "), std::string::npos);
  EXPECT_NE(mails[1].data.find("IP 127.0.4.13 Is Down! (raised "), std::string::npos);
  files.clear();
  OutboxEnv::Default()->ListFolder(dir_.File("outbox"), &files);
  EXPECT_TRUE(files.empty());
  ::kill(again.pid(), SIGTERM);
  EXPECT_EQ(again.Wait(5s), 128 + SIGTERM) << again.Output();
}

}  // namespace
}  // namespace tallyvox::monitor::testing
