// The window never freezes: while a probe waits on a server that never
// answers, the GUI thread handles a posted event within 100 ms, and closing
// the window then ends the program (its event loop, the monitor thread and
// everything the program built) within a second, without a "Problem" for
// the probe the close broke.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>

#include "ui/window_fixture.h"

namespace tallyvox::ui::testing {
namespace {

TEST_F(WindowTest, ClosingTheWindowDuringASilentProbeEndsTheProgramWithinASecond) {
  MwServerProcess silent({"--fault", "silent", "--listen", "127.0.32.2:0"});
  ASSERT_TRUE(silent.ready()) << silent.Output();
  Settings s = BaseSettings(silent.port());
  s.probe.request_timeout = 60;
  s.roster[1] = {"127.0.32.2", true};  // row 2
  WindowOptions options;
  options.geometry_file = QString::fromStdString(dir_.File("window.ini"));
  program_ = std::make_unique<WindowProgram>(s, options);

  std::chrono::milliseconds delay{-1};
  QString during_probe;
  QColor colour;
  std::chrono::steady_clock::time_point closed_at;
  QTimer::singleShot(0, [&] {
    QTest::mouseClick(window().Button("Button1"), Qt::LeftButton);
    if (!WaitFor([&] { return silent.CountLines("no answer") > 0; })) {
      window().close();
      return;
    }
    delay = LongestPostedEventDelay(&window());
    during_probe = Text("Label2");
    colour = TextColour(Label("Label2"));
    closed_at = std::chrono::steady_clock::now();
    window().close();
  });
  const WindowProgram::Ended ended = program_->Exec();
  EXPECT_EQ(ended.code, 0);
  EXPECT_TRUE(ended.monitor_finished);
  EXPECT_TRUE(Text("Label2").startsWith("Checking...")) << Text("Label2").toStdString();
  program_.reset();
  const auto ending = std::chrono::duration_cast<std::chrono::milliseconds>(
      std::chrono::steady_clock::now() - closed_at);
  std::printf(
      "[ measured ] silent probe: posted event handled within %lld ms; closed, the "
      "program ended after %lld ms\n",
      static_cast<long long>(delay.count()), static_cast<long long>(ending.count()));

  EXPECT_TRUE(during_probe.startsWith("Checking...")) << during_probe.toStdString();
  EXPECT_EQ(colour, QColor(Qt::black));  // black from the audit write on
  EXPECT_GE(delay.count(), 0) << "the silent probe never started: " << silent.Output();
  EXPECT_LT(delay, 100ms);
  EXPECT_LT(ending, 1s);
  EXPECT_EQ(count_.probes.load(), 0);  // the broken probe is no outcome
}

}  // namespace
}  // namespace tallyvox::ui::testing
