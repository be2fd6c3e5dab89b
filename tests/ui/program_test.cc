// The tallyvox program with its window, as a user runs it: without a display;
// on a virtual X display (Xvfb), pressing "Poll" with the mouse and closing
// the window as a window manager's close button does, or sending SIGTERM,
// while a probe waits on a server that never answers; with a broken settings
// file.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <map>
#include <sstream>
#include <string>

#include "support/peer_port.h"
#include "support/prometheus_text.h"
#include "ui/window_fixture.h"

namespace tallyvox::ui::testing {
namespace {

using tallyvox::testing::BinaryDir;
using tallyvox::testing::ChildProcess;
using tallyvox::testing::RunCommand;
using tallyvox::testing::TempDir;
using tallyvox::testing::WriteFile;
using Clock = std::chrono::steady_clock;

std::string Tallyvox() { return BinaryDir() + "/app/tallyvox"; }

TEST(ProgramTest, WithoutADisplayItSaysSoAndExitsWith3) {
  TempDir dir;
  ChildProcess tallyvox({Tallyvox(), "--config", dir.File("none.toml")},
                        {{"DISPLAY", ""}, {"WAYLAND_DISPLAY", ""}, {"QT_QPA_PLATFORM", ""}});
  EXPECT_EQ(tallyvox.Wait(10s), 3);
  EXPECT_NE(tallyvox.Output().find("no display"), std::string::npos) << tallyvox.Output();
  EXPECT_NE(tallyvox.Output().find("tallyvox --headless"), std::string::npos) << tallyvox.Output();
}

// The box repeats the error and says what to do: for a missing file the
// init command that makes one at that path, for a broken one to mend it.
TEST(TextsTest, TheSettingsErrorBoxNamesTheFileTheLineAndHowToMakeOne) {
  struct Case {
    std::string error, path;
    bool missing;
    std::string wanted;  // the command, or the advice for a broken file
  };
  const Case cases[] = {
      {"/home/q/tallyvox.toml: there is no settings file", "/home/q/tallyvox.toml", true,
       "\n\n    tallyvox init /home/q\n\n"},
      {"/etc/tv.toml: there is no settings file", "/etc/tv.toml", true,
       "\n\n    tallyvox init /etc && mv /etc/tallyvox.toml /etc/tv.toml\n\n"},
      {"/home/q/my settings/tallyvox.toml: there is no settings file",
       "/home/q/my settings/tallyvox.toml", true,
       "\n\n    tallyvox init '/home/q/my settings'\n\n"},
      {"/home/q/tallyvox.toml:9:14: polling.probe_port must be from 1 to 65535, not 70000",
       "/home/q/tallyvox.toml", false, "Mend the file where the message points"},
  };
  for (const Case& c : cases) {
    const QString text = SettingsErrorText(c.error, c.path, c.missing);
    EXPECT_TRUE(text.contains(QString::fromStdString("\n\n" + c.error + "\n\n")))
        << text.toStdString();
    EXPECT_TRUE(text.contains(QString::fromStdString(c.wanted))) << text.toStdString();
    EXPECT_TRUE(text.contains("--config FILE")) << text.toStdString();
    EXPECT_EQ(text.contains("    tallyvox init"), c.missing) << text.toStdString();
  }
}

TEST(TextsTest, AStatusLabelsToolTipTellsTheLastProbe) {
  monitor::ProbeEvent r;
  r.row = 5;
  r.address = "192.0.2.5";
  r.start = EncodeDate(2025, 6, 24) + EncodeTime(13, 5, 9, 250);
  r.seconds = 2.5;
  r.outcome = monitor::ProbeEvent::Outcome::kFailed;
  r.reason = "Connection lost.";
  EXPECT_EQ(ProbeToolTip(r),
            "192.0.2.5\nLast probe started 13:05:09, took 2.500 s\nFailed: Connection lost.");
  r.reason = monitor::FailureReason("Connection lost.", "Socket Error # 111\nConnection refused.");
  EXPECT_EQ(ProbeToolTip(r),
            "192.0.2.5\nLast probe started 13:05:09, took 2.500 s\nFailed: Connection lost. "
            "(Socket Error # 111 Connection refused.)");
  r.outcome = monitor::ProbeEvent::Outcome::kAnswered;
  r.address = "";
  EXPECT_EQ(ProbeToolTip(r), "(no address)\nLast probe started 13:05:09, took 2.500 s");
}

// A virtual X display for as long as the object lives, and the commands a
// person would use on it. The server does not reset when its last client
// leaves (-noreset): a reset between one program's end and the next one's
// start refuses that start ("could not connect to display"). Its files are
// in a folder of this object's: xvfb-run, stopped with SIGTERM, does not
// remove a folder of its own.
class XDisplay {
 public:
  XDisplay()
      : xvfb_({"xvfb-run", "-a", "-n", std::to_string(100 + ::getpid() % 800), "-e",
               log_.File("xvfb.log"), "-f", log_.File("Xauthority"), "-s",
               "-screen 0 1140x870x24 -nolisten tcp -noreset", "sh", "-c",
               "echo \"display=$DISPLAY auth=$XAUTHORITY end\"; exec sleep 600"}) {
    if (!xvfb_.WaitForOutput(" end", 20s)) return;
    const std::string out = xvfb_.Output();
    const size_t d = out.find("display=");
    const size_t a = out.find(" auth=", d);
    const size_t e = out.find(" end", a);
    display_ = out.substr(d + 8, a - d - 8);
    auth_ = out.substr(a + 6, e - a - 6);
  }
  bool ready() const { return !display_.empty(); }
  // What xvfb-run and Xvfb said.
  std::string Output() const {
    return xvfb_.Output() + tallyvox::testing::ReadFile(log_.File("xvfb.log"));
  }
  // The environment of a program on this display. There is no session bus
  // here: without "disabled:" libdbus tries to start one for Qt and leaks on
  // the way (which LeakSanitizer reports).
  std::map<std::string, std::string> Env(const std::string& config_home) const {
    return {{"DISPLAY", display_},
            {"XAUTHORITY", auth_},
            {"QT_QPA_PLATFORM", "xcb"},
            {"WAYLAND_DISPLAY", ""},
            {"DBUS_SESSION_BUS_ADDRESS", "disabled:"},
            {"XDG_CONFIG_HOME", config_home}};
  }
  // Runs a command on this display; its output, empty when it failed.
  std::string Run(const std::string& command) const {
    std::string env;
    for (const auto& [name, value] : Env(".")) env += name + "='" + value + "' ";
    std::string out;
    const int rc = RunCommand(env + command, &out, std::chrono::seconds(20));
    return rc == 0 ? out : std::string();
  }
  // The id of the first window whose name matches `pattern`, once it shows
  // (and has had a moment to take input).
  std::string WaitForWindow(const std::string& pattern) const {
    std::string id;
    WaitFor(
        [&] {
          std::istringstream(Run("xdotool search --onlyvisible --name '" + pattern + "'")) >> id;
          return !id.empty();
        },
        20s);
    QTest::qWait(300);
    return id;
  }

 private:
  TempDir log_;  // xvfb-run's log and the display's authority file
  ChildProcess xvfb_;
  std::string display_;
  std::string auth_;
};

// Closes `window` with xwin as a window manager's close button does; false
// when xwin failed. *sent is when xwin sent the close (the monotonic clock
// is the steady clock's).
bool CloseWindow(const XDisplay& x, const std::string& window, Clock::time_point* sent) {
  const std::string out = x.Run(BinaryDir() + "/tools/xwin close " + window);
  const std::string marker = "xwin: close sent at ";
  const size_t at = out.find(marker);
  if (at == std::string::npos) return false;
  *sent = Clock::time_point(std::chrono::nanoseconds(std::stoll(out.substr(at + marker.size()))));
  return true;
}

// Where Button1's centre is in the window, from the window's own layout.
QPoint Button1Centre() {
  monitor::InputStore inputs;
  TempDir dir;
  MainWindow w(inputs, QString::fromStdString(dir.File("window.ini")));
  QPushButton* poll = w.Button("Button1");
  return poll->mapTo(&w, poll->rect().center());
}

class XProgramTest : public PeersTest {
 protected:
  std::string WriteSettings(const std::string& text) {
    const std::string path = dir_.File("tallyvox.toml");
    WriteFile(path, text);
    ::chmod(path.c_str(), 0600);
    return path;
  }
  // Row 2 ticked with `address`; the rest unticked. With a mail port,
  // alerts go to erols on 127.0.0.1 there.
  std::string RosterSettings(int port, const std::string& address, int mail_port = 0) {
    std::ostringstream t;
    t << "[polling]\nprobe_port = " << port << "\nrequest_timeout = 60\n[audit]\nfolder = \""
      << MakeAuditTable(dir_) << "\"\n";
    if (mail_port != 0) {
      t << "[mail]\nport = " << mail_port
        << "\n[mail.accounts.erols]\nhost = \"127.0.0.1\"\nuse = true\n";
    }
    t << "[roster]\nrows = [\n";
    for (int row = 1; row <= monitor::kRosterRows; ++row) {
      t << "  { address = \"" << (row == 2 ? address : "")
        << "\", enabled = " << (row == 2 ? "true" : "false") << " },\n";
    }
    t << "]\n";
    return WriteSettings(t.str());
  }
};

// Closing the window (WM_DELETE_WINDOW, as a window manager's close button
// sends) and SIGTERM both end the program within a second while its probe
// waits on a silent server.
TEST_F(XProgramTest, TheProgramEndsWithinASecondDuringASilentProbe) {
  XDisplay x;
  ASSERT_TRUE(x.ready()) << x.Output();
  MwServerProcess silent({"--fault", "silent", "--listen", "127.0.33.2:0"});
  ASSERT_TRUE(silent.ready()) << silent.Output();
  const std::string config = RosterSettings(silent.port(), "127.0.33.2");
  const QPoint poll = Button1Centre();

  struct Case {
    const char* how;
    int status;
  };
  for (const Case& c : {Case{"close", 0}, Case{"SIGTERM", 128 + SIGTERM}}) {
    SCOPED_TRACE(c.how);
    const int probes_before = silent.CountLines("no answer");
    ChildProcess tallyvox({Tallyvox(), "--config", config}, x.Env(dir_.path()));
    const std::string window = x.WaitForWindow("^Tallyvox 2.4 DBE");
    ASSERT_FALSE(window.empty()) << tallyvox.Output() << x.Output();
    x.Run("xdotool mousemove --window " + window + " " + std::to_string(poll.x()) + " " +
          std::to_string(poll.y()) + " click 1");
    ASSERT_TRUE(WaitFor([&] { return silent.CountLines("no answer") > probes_before; }, 20s))
        << silent.Output() << tallyvox.Output();
    QTest::qWait(300);
    // Timed from the moment the close was sent or the signal raised: the
    // start of xwin itself (a Qt program) does not count.
    Clock::time_point start = Clock::now();
    if (std::string(c.how) == "close") {
      ASSERT_TRUE(CloseWindow(x, window, &start)) << tallyvox.Output();
    } else {
      ::kill(tallyvox.pid(), SIGTERM);
    }
    EXPECT_EQ(tallyvox.Wait(5s), c.status) << tallyvox.Output();
    const auto ending = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
    std::printf("[ measured ] %s during a silent probe: the program ended after %lld ms\n", c.how,
                static_cast<long long>(ending.count()));
    EXPECT_LT(ending, 1s) << tallyvox.Output();
  }
  // The window's geometry was remembered on the way out.
  EXPECT_FALSE(tallyvox::testing::ReadFile(dir_.File("tallyvox/window.conf")).empty());
}

// A message box does not hold the window: closed while the box waits, the
// program ends within a second.
TEST_F(XProgramTest, ClosingTheWindowWhileAMessageBoxIsOpenEndsTheProgram) {
  XDisplay x;
  ASSERT_TRUE(x.ready()) << x.Output();
  tallyvox::testing::RefusingPort no_mail("127.0.0.1");
  const std::string config = RosterSettings(1, "127.0.34.2", no_mail.port());  // refused
  const QPoint poll = Button1Centre();
  ChildProcess tallyvox({Tallyvox(), "--config", config}, x.Env(dir_.path()));
  const std::string window = x.WaitForWindow("^Tallyvox 2.4 DBE");
  ASSERT_FALSE(window.empty()) << tallyvox.Output();
  x.Run("xdotool mousemove --window " + window + " " + std::to_string(poll.x()) + " " +
        std::to_string(poll.y()) + " click 1");
  ASSERT_FALSE(x.WaitForWindow("^Tallyvox$").empty()) << tallyvox.Output();  // the box
  Clock::time_point start;
  ASSERT_TRUE(CloseWindow(x, window, &start)) << tallyvox.Output();
  EXPECT_EQ(tallyvox.Wait(5s), 0) << tallyvox.Output();
  const auto ending = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
  std::printf("[ measured ] close with a message box open: the program ended after %lld ms\n",
              static_cast<long long>(ending.count()));
  EXPECT_LT(ending, 1s);
}

// `tallyvox --metrics 127.0.0.1:0` with its window: scraped after a cycle
// pressed with the mouse, the numbers are the window's; a second program on
// the port in use says so and exits with 3.
TEST_F(XProgramTest, TheWindowServesMetricsWithTheMetricsOption) {
  XDisplay x;
  ASSERT_TRUE(x.ready()) << x.Output();
  MwServerProcess healthy({"--listen", "127.0.35.2:0"});
  ASSERT_TRUE(healthy.ready()) << healthy.Output();
  const std::string config = RosterSettings(healthy.port(), "127.0.35.2");
  ChildProcess tallyvox({Tallyvox(), "--config", config, "--metrics", "127.0.0.1:0"},
                        x.Env(dir_.path()));
  const std::string window = x.WaitForWindow("^Tallyvox 2.4 DBE");
  ASSERT_FALSE(window.empty()) << tallyvox.Output();
  const std::string serving = "tallyvox: serving /metrics on 127.0.0.1:";
  const int port = tallyvox::testing::ReportedPort(tallyvox.Output(), serving);
  ASSERT_GT(port, 0) << tallyvox.Output();
  const auto scrape = [port] {
    std::string body;
    RunCommand("curl -sS -f --max-time 10 http://127.0.0.1:" + std::to_string(port) + "/metrics",
               &body, 20s);
    tallyvox::testing::Exposition e;
    std::string error;
    EXPECT_TRUE(tallyvox::testing::ParseExposition(body, &e, &error)) << error << "\n" << body;
    return e;
  };
  EXPECT_EQ(scrape().samples.at("tallyvox_cycles_total"), 0);

  const QPoint poll = Button1Centre();
  x.Run("xdotool mousemove --window " + window + " " + std::to_string(poll.x()) + " " +
        std::to_string(poll.y()) + " click 1");
  tallyvox::testing::Exposition e;
  ASSERT_TRUE(WaitFor(
      [&] {
        e = scrape();
        return e.samples.count("tallyvox_cycles_total") == 1 &&
               e.samples.at("tallyvox_cycles_total") >= 1;
      },
      20s))
      << tallyvox.Output();
  EXPECT_EQ(e.samples.at("tallyvox_probe_up{row=\"2\",address=\"127.0.35.2\"}"), 1);
  EXPECT_EQ(e.samples.at("tallyvox_ok_number{row=\"2\",address=\"127.0.35.2\"}"), 1);
  EXPECT_EQ(e.samples.at("tallyvox_outbox_pending"), 0);

  ChildProcess second(
      {Tallyvox(), "--config", config, "--metrics", "127.0.0.1:" + std::to_string(port)},
      x.Env(dir_.path()));
  EXPECT_EQ(second.Wait(10s), 3) << second.Output();
  EXPECT_NE(second.Output().find("cannot serve /metrics on 127.0.0.1:" + std::to_string(port)),
            std::string::npos)
      << second.Output();

  x.Run(BinaryDir() + "/tools/xwin close " + window);
  EXPECT_EQ(tallyvox.Wait(5s), 0) << tallyvox.Output();
}

// With a [history] the window program records the probes, as the headless
// one does, and serves the status page beside /metrics, whose history API
// reads them back, and /probe.
TEST_F(XProgramTest, TheWindowRecordsTheHistoryAndServesTheStatusPage) {
  XDisplay x;
  ASSERT_TRUE(x.ready()) << x.Output();
  MwServerProcess healthy({"--listen", "127.0.35.2:0"});
  ASSERT_TRUE(healthy.ready()) << healthy.Output();
  const std::string config = RosterSettings(healthy.port(), "127.0.35.2");
  WriteSettings(tallyvox::testing::ReadFile(config) + "[history]\ndatabase = \"history.sqlite\"\n");
  ChildProcess tallyvox({Tallyvox(), "--config", config, "--metrics", "127.0.0.1:0"},
                        x.Env(dir_.path()));
  const std::string window = x.WaitForWindow("^Tallyvox 2.4 DBE");
  ASSERT_FALSE(window.empty()) << tallyvox.Output();
  const int port = tallyvox::testing::ReportedPort(
      tallyvox.Output(), "tallyvox: serving the status page on 127.0.0.1:");
  ASSERT_GT(port, 0) << tallyvox.Output();
  const QPoint poll = Button1Centre();
  x.Run("xdotool mousemove --window " + window + " " + std::to_string(poll.x()) + " " +
        std::to_string(poll.y()) + " click 1");
  const std::string api = "curl -sS --max-time 10 http://127.0.0.1:" + std::to_string(port);
  std::string history;
  EXPECT_TRUE(WaitFor(
      [&] {
        RunCommand(api + "/api/history?row=2", &history, 20s);
        return history.find("\"answered\": true") != std::string::npos;
      },
      20s))
      << history << tallyvox.Output();
  std::string status;
  RunCommand(api + "/api/status", &status, 20s);
  EXPECT_NE(status.find("{\"row\": 2, \"address\": \"127.0.35.2\", \"state\": \"up\""),
            std::string::npos)
      << status;
  EXPECT_TRUE(std::filesystem::exists(dir_.File("history.sqlite")));
  // /probe too, as the headless monitor's endpoint answers it.
  std::string probe;
  RunCommand(api + "/probe?target=127.0.35.2:" + std::to_string(healthy.port()), &probe, 20s);
  EXPECT_NE(probe.find("\nprobe_success 1\n"), std::string::npos) << probe;
  x.Run(BinaryDir() + "/tools/xwin close " + window);
  EXPECT_EQ(tallyvox.Wait(5s), 0) << tallyvox.Output();
}

// The window program raises its soft descriptor limit to the hard one as
// every program does, also when started by itself (not by tallyvox, which
// raised it before handing over).
TEST_F(XProgramTest, TheWindowProgramRaisesItsSoftOpenFileLimitToTheHardOne) {
  XDisplay x;
  ASSERT_TRUE(x.ready()) << x.Output();
  const std::string config = RosterSettings(9, "127.0.35.9");
  ChildProcess tallyvox(
      {"prlimit", "--nofile=512:4096", BinaryDir() + "/app/tallyvox-window", "--config", config},
      x.Env(dir_.path()));
  const std::string window = x.WaitForWindow("^Tallyvox 2.4 DBE");
  ASSERT_FALSE(window.empty()) << tallyvox.Output();
  const std::string proc = "/proc/" + std::to_string(tallyvox.pid());
  EXPECT_EQ(tallyvox::testing::ReadFile(proc + "/comm"), "tallyvox-window\n");
  const std::string limits = tallyvox::testing::ReadFile(proc + "/limits");
  std::istringstream in(limits.substr(limits.find("Max open files") + 14));
  std::string soft, hard;
  in >> soft >> hard;
  EXPECT_EQ(soft + " " + hard, "4096 4096") << limits;
  x.Run(BinaryDir() + "/tools/xwin close " + window);
  EXPECT_EQ(tallyvox.Wait(5s), 0) << tallyvox.Output();
}

TEST_F(XProgramTest, ABrokenSettingsFileShowsABoxAndExitsWith3) {
  XDisplay x;
  ASSERT_TRUE(x.ready()) << x.Output();
  const std::string config = WriteSettings("[polling]\ninterval = \"60000\"\nprobe_port = 70000\n");
  ChildProcess tallyvox({Tallyvox(), "--config", config}, x.Env(dir_.path()));
  const std::string box = x.WaitForWindow("^Tallyvox$");
  ASSERT_FALSE(box.empty()) << tallyvox.Output();
  EXPECT_NE(tallyvox.Output().find(config + ":3:14: polling.probe_port must be from 1 to 65535"),
            std::string::npos)
      << tallyvox.Output();
  EXPECT_TRUE(tallyvox.Running());  // the box waits for the operator
  x.Run(BinaryDir() + "/tools/xwin close " + box);
  EXPECT_EQ(tallyvox.Wait(5s), 3) << tallyvox.Output();
}

}  // namespace
}  // namespace tallyvox::ui::testing
