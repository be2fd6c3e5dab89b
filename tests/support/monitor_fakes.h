// Test doubles of the monitor's seams: a recording view, and a probe channel,
// audit log and alert sender that write every call into one shared log, so a
// test can check the order of operations across all of them. And a clock the
// test sets.
#ifndef TALLYVOX_TESTS_SUPPORT_MONITOR_FAKES_H_
#define TALLYVOX_TESTS_SUPPORT_MONITOR_FAKES_H_

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTimer>
#include <algorithm>
#include <functional>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

#include "monitor/clock.h"
#include "monitor/monitor.h"
#include "monitor/seams.h"
#include "monitor/stop.h"
#include "monitor/time_text.h"
#include "monitor/view.h"

namespace tallyvox::monitor::testing {

// Every call of every fake, in order: "AimProbe 10.0.0.2 fresh", "text
// Label2 OK 1", "beep", ...
using CallLog = std::vector<std::string>;

inline int Count(const CallLog& log, const std::string& entry) {
  return static_cast<int>(std::count(log.begin(), log.end(), entry));
}

inline bool Contains(const CallLog& log, const std::string& prefix) {
  return std::any_of(log.begin(), log.end(),
                     [&](const std::string& e) { return e.rfind(prefix, 0) == 0; });
}

class RecordingView : public StoreView {
 public:
  RecordingView(CallLog& log, StopSignal& stop) : StoreView(inputs), log_(log), stop_(stop) {}

  void SetLabelText(const std::string& c, const std::string& t) override {
    texts[c] = t;
    log_.push_back("text " + c + " " + t);
  }
  void SetLabelColour(const std::string& c, TColour colour) override {
    colours[c] = colour;
    log_.push_back("colour " + c + " " + ColourName(colour));
  }
  void RepaintLabel(const std::string& c) override { log_.push_back("repaint " + c); }
  void AppendListLine(const std::string& c, const std::string& line) override {
    lists[c].push_back(line);
    log_.push_back("list " + c + " " + line);
  }
  void SetButtonCaption(const std::string& c, const std::string& caption) override {
    captions[c] = caption;
    log_.push_back("caption " + c + " " + caption);
  }
  // Returns at once unless `on_message` is set: then the box stays open (a
  // nested event loop, as the window's) until the function closes it.
  void ShowMessage(const std::string& text) override {
    messages.push_back(text);
    log_.push_back("message " + text);
    if (on_message) {
      ModalLoop box(stop_);
      on_message(text, box);
      box.Run();
    }
  }
  void ShowErrorBox(const std::string& text) override {
    errors.push_back(text);
    log_.push_back("error " + text);
  }
  void Beep() override { log_.push_back("beep"); }

  InputStore inputs;
  std::map<std::string, std::string> texts;
  std::map<std::string, TColour> colours;
  std::map<std::string, std::vector<std::string>> lists;
  std::map<std::string, std::string> captions;
  std::vector<std::string> messages;
  std::vector<std::string> errors;
  std::function<void(const std::string& text, ModalLoop& box)> on_message;

 private:
  CallLog& log_;
  StopSignal& stop_;
};

class FakeProbe : public ProbeChannel {
 public:
  explicit FakeProbe(CallLog& log) : log_(log) {}
  void PrepareCycle() override {
    log_.push_back("PrepareCycle");
    if (fail_prepare) throw std::runtime_error("prepare failed");
  }
  void AimProbe(const std::string& address, bool fresh) override {
    log_.push_back("AimProbe " + address + (fresh ? " fresh" : " keep"));
    if (address == fail_aim_at) throw std::runtime_error("aim failed");
    aimed = address;
  }
  void RunProbe() override {
    log_.push_back("RunProbe " + aimed);
    if (on_run) on_run(aimed);
    for (const std::string& a : down) {
      if (a == aimed) throw std::runtime_error("Connection lost.");
    }
  }
  void ReleaseProbe() override { log_.push_back("ReleaseProbe"); }

  std::vector<std::string> down;  // addresses whose probe fails
  std::string fail_aim_at = "\x01";
  bool fail_prepare = false;
  std::string aimed;
  std::function<void(const std::string&)> on_run;

 private:
  CallLog& log_;
};

class FakeAudit : public AuditLog {
 public:
  explicit FakeAudit(CallLog& log) : log_(log) {}
  void OpenAuditTable() override {
    log_.push_back("OpenAuditTable");
    if (missing) throw std::runtime_error("DbeTable1: the table is missing");
  }
  void RecordProbe(const std::string& address, TDateTime start) override {
    log_.push_back("RecordProbe " + address);
    last_start = start;
    if (fail_write) throw std::runtime_error("DbeTable1: write failed");
  }
  bool missing = false;
  bool fail_write = false;
  TDateTime last_start = -1;

 private:
  CallLog& log_;
};

// The alert side as the window's dispatch with the default settings acts on
// the monitor's events: every failed probe alerts with DownText, every
// stalled watchdog check with NotRespondingText, an answer sends nothing.
// Each alert is one log entry, "SendError IP 10.0.0.5 Is Down!".
class FakeAlerts : public AlertSender {
 public:
  explicit FakeAlerts(CallLog& log) : log_(log) {}
  AlertState ProbeFailed(int /*row*/, const std::string& /*address*/) override {
    return {AlertState::Kind::kRaised, {}};
  }
  AlertState ProbeAnswered(int /*row*/, const std::string& /*address*/) override { return {}; }
  void CarryOut(const ProbeEvent& probe) override {
    if (probe.alert.kind == AlertState::Kind::kRaised) SendError(DownText(probe.address));
  }
  void WatchdogChecked(const std::string& address, bool stalled) override {
    if (stalled) SendError(NotRespondingText(address));
  }
  void SendError(const std::string& text) override {
    log_.push_back("SendError " + text);
    if (on_send) on_send(text);
  }
  void SendTestMail() override { log_.push_back("SendTestMail"); }
  std::function<void(const std::string&)> on_send;

 private:
  CallLog& log_;
};

class FakeClock : public Clock {
 public:
  TDateTime Now() override { return now; }
  void AdvanceSeconds(double s) { now += s / kSecondsPerDay; }
  TDateTime now = EncodeDate(2025, 6, 24) + EncodeTime(12, 0, 0, 0);
};

// A monitor over the fakes, driven on the test's thread.
struct FakeMonitor {
  CallLog log;
  StopSignal stop;
  RecordingView view{log, stop};
  FakeProbe probe{log};
  FakeAudit audit{log};
  FakeAlerts alerts{log};
  FakeClock clock;
  ObserverList observers;  // tests add theirs before they poll
  Monitor monitor{view, probe, audit, alerts, clock, stop, &observers};

  // Ticks rows (1-based) and gives each the address "10.0.0.<row>".
  void Tick(std::initializer_list<int> rows) {
    for (int row : rows) {
      const ServerEntry& e = Roster::Row(row);
      view.inputs.SetChecked(e.check_box, true);
      view.inputs.SetText(e.edit, "10.0.0." + std::to_string(row));
    }
  }
  static std::string Address(int row) { return "10.0.0." + std::to_string(row); }
};

// Runs the Qt event loop of this thread until `done` or `timeout_ms`.
inline bool SpinUntil(const std::function<bool()>& done, int timeout_ms = 5000) {
  QElapsedTimer timer;
  timer.start();
  while (!done()) {
    if (timer.elapsed() > timeout_ms) return false;
    QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
  }
  return true;
}

}  // namespace tallyvox::monitor::testing

#endif  // TALLYVOX_TESTS_SUPPORT_MONITOR_FAKES_H_
