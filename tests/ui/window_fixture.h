// The window tests' fixture: a WindowProgram over the real components (the
// middleware client, an audit table made with dbetool, the mail accounts on
// a local TLS SMTP server) on the offscreen platform, driven the way an
// operator drives it, with clicks and key presses.
#ifndef TALLYVOX_TESTS_UI_WINDOW_FIXTURE_H_
#define TALLYVOX_TESTS_UI_WINDOW_FIXTURE_H_

#include <QCheckBox>
#include <QEventLoop>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QMetaObject>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "net/socket_registry.h"
#include "support/real_fixture.h"
#include "ui/window_app.h"

namespace tallyvox::ui::testing {

using monitor::Settings;
using monitor::testing::MakeAuditTable;
using monitor::testing::PeersTest;
using monitor::testing::TestSettings;
using tallyvox::testing::MwServerProcess;
using namespace std::chrono_literals;

// Counts the monitor's cycles and probes (reported on the monitor thread).
struct CycleCount : monitor::MonitorObserver {
  void ProbeFinished(const monitor::ProbeEvent& e) override {
    if (e.outcome != monitor::ProbeEvent::Outcome::kSkipped) ++probes;
  }
  void CycleFinished(const monitor::CycleEvent&) override { ++cycles; }
  std::atomic<int> probes{0};
  std::atomic<int> cycles{0};
};

// Runs this thread's event loop until `done` or `timeout`.
template <typename Done>
bool WaitFor(Done done, std::chrono::milliseconds timeout = 10s) {
  return QTest::qWaitFor(done, static_cast<int>(timeout.count()));
}

// Posts `count` calls to `receiver`'s (the GUI) thread from another thread,
// one every `spacing`, while this thread runs an event loop as the program
// does; the longest time from a post to its handling (10 s when some call
// was not handled within 10 s).
inline std::chrono::milliseconds LongestPostedEventDelay(QObject* receiver, int count = 10,
                                                         std::chrono::milliseconds spacing = 50ms) {
  using Clock = std::chrono::steady_clock;
  std::vector<Clock::time_point> posted(static_cast<size_t>(count));
  std::vector<Clock::time_point> handled(static_cast<size_t>(count));
  std::atomic<int> done{0};
  QEventLoop loop;
  std::thread poster([&] {
    for (int i = 0; i < count; ++i) {
      posted[static_cast<size_t>(i)] = Clock::now();
      QMetaObject::invokeMethod(
          receiver,
          [&, i] {
            handled[static_cast<size_t>(i)] = Clock::now();
            if (++done == count) loop.quit();
          },
          Qt::QueuedConnection);
      std::this_thread::sleep_for(spacing);
    }
  });
  QTimer::singleShot(10s, &loop, &QEventLoop::quit);
  loop.exec();
  poster.join();
  if (done.load() != count) return 10s;
  std::chrono::milliseconds longest{0};
  for (size_t i = 0; i < posted.size(); ++i) {
    longest = std::max(
        longest, std::chrono::duration_cast<std::chrono::milliseconds>(handled[i] - posted[i]));
  }
  return longest;
}

// The message box the window shows, or null.
inline QMessageBox* OpenBox(MainWindow& window) {
  for (QMessageBox* box : window.findChildren<QMessageBox*>()) {
    if (box->isVisible()) return box;
  }
  return nullptr;
}

inline QColor TextColour(QLabel* label) { return label->palette().color(QPalette::WindowText); }

// Every colour change of a label, with the text it showed at that moment.
class ColourChanges : public QObject {
 public:
  explicit ColourChanges(QLabel* label) : label_(label) { label->installEventFilter(this); }
  bool eventFilter(QObject*, QEvent* event) override {
    if (event->type() == QEvent::PaletteChange)
      changes.emplace_back(TextColour(label_), label_->text());
    return false;
  }
  std::vector<std::pair<QColor, QString>> changes;

 private:
  QLabel* label_;
};

class WindowTest : public PeersTest {
 protected:
  void SetUp() override { net::SocketRegistry::Reopen(); }
  void TearDown() override {
    program_.reset();
    net::SocketRegistry::Reopen();
  }

  // Settings with the audit table in this test's folder, every mail account
  // on the local SMTP server (erols selected) and no row ticked.
  Settings BaseSettings(int probe_port) {
    return TestSettings(MakeAuditTable(dir_), probe_port, peers_->smtp->port(),
                        peers_->ca.ca_cert_file());
  }

  // Opens the window with the monitor running (`row_note`: see WindowView).
  MainWindow& Open(const Settings& settings, std::function<std::string(int row)> row_note = {}) {
    WindowOptions options;
    options.row_note = std::move(row_note);
    options.geometry_file = QString::fromStdString(dir_.File("window.ini"));
    options.observers = {&count_};
    program_ = std::make_unique<WindowProgram>(settings, options);
    program_->Start();
    EXPECT_TRUE(QTest::qWaitForWindowExposed(&program_->window()));
    return program_->window();
  }

  MainWindow& window() { return program_->window(); }
  QLabel* Label(const std::string& name) { return window().Label(name); }
  QString Text(const std::string& label) { return Label(label)->text(); }
  void Click(const std::string& button) {
    QTest::mouseClick(window().Button(button), Qt::LeftButton);
  }
  // A click that comes the way the system's clicks come: to the window,
  // at the control's place.
  void ClickOnWindow(const std::string& control) {
    QWidget* c = window().Control(control);
    QTest::mouseClick(window().windowHandle(), Qt::LeftButton, Qt::KeyboardModifiers(),
                      c->mapTo(&window(), c->rect().center()));
  }
  // Replaces an edit box's text as an operator does: select all, type.
  void Type(const std::string& edit, const QString& text) {
    QLineEdit* box = window().Edit(edit);
    box->selectAll();
    QTest::keyClicks(box, text);
  }
  // Waits until `n` cycles have finished and what they posted to the window
  // is shown.
  bool WaitForCycles(int n, std::chrono::milliseconds timeout = 20s) {
    if (!WaitFor([&] { return count_.cycles.load() >= n; }, timeout)) return false;
    QCoreApplication::processEvents();
    return true;
  }

  std::unique_ptr<WindowProgram> program_;
  CycleCount count_;
};

}  // namespace tallyvox::ui::testing

#endif  // TALLYVOX_TESTS_UI_WINDOW_FIXTURE_H_
