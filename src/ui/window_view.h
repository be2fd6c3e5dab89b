// WindowView: the view of the monitor on the main window, called on the
// monitor's thread.
//
// Reads come from the InputStore that the window fills. Every write (label
// text and colour, repaint, list line, caption, beep, tool tip) is posted to
// the GUI thread as a queued call, so writes keep their order and the
// monitor thread never waits for the GUI. A message box is opened on the GUI
// thread (OK button, title "Tallyvox"; the window takes no input meanwhile,
// see MainWindow::OpenBox); meanwhile the monitor
// thread waits in a nested event loop (ModalLoop), where its timer ticks go
// on, until the GUI posts back that the box was closed, or a stop ends the
// wait.
//
// As an observer it puts each probe's start, duration and, for a failure,
// its reason on the status label of the probe event's row as its tool tip,
// with what became of the row's alert: held back by the alert policy (and
// why, as the event carries it), or queued in the outbox (as the alert event
// with the row tells). The watchdog's alerts held back or queued
// go to the tool tip of its list, ListBox1.
//
// Texts from elsewhere are shown with their control bytes escaped
// (base/text.h): in a tool tip the address and the failure's message (each
// kept on its line), in a box the whole text (its line breaks kept). Boxes
// and tool tips show them as plain text, never as HTML (MainWindow).
//
// REQUIRES: the window outlives every call (the program ends the monitor
// thread before it destroys the window).
#ifndef TALLYVOX_UI_WINDOW_VIEW_H_
#define TALLYVOX_UI_WINDOW_VIEW_H_

#include <QString>
#include <functional>
#include <map>
#include <string>

#include "monitor/observer.h"
#include "monitor/stop.h"
#include "monitor/view.h"
#include "ui/main_window.h"

namespace tallyvox::ui {

// The tool tip of a row's status label after a probe: the address, the
// probe's start (time of day), its duration, for a failure its reason, and
// the row's alert when the policy held it back.
QString ProbeToolTip(const monitor::ProbeEvent& event);

class WindowView : public monitor::StoreView, public monitor::MonitorObserver {
 public:
  // `row_note`, when set, gives a line added to a row's tool tip after each
  // probe ("Availability 24 h: 99.93 %"; "" for none). It is called on the
  // monitor's thread and must not wait (history::AvailabilityCache).
  WindowView(monitor::InputStore& inputs, MainWindow& window, monitor::StopSignal& stop,
             std::function<std::string(int row)> row_note = {});

  void SetLabelText(const std::string& control, const std::string& text) override;
  void SetLabelColour(const std::string& control, monitor::TColour colour) override;
  void RepaintLabel(const std::string& control) override;
  void AppendListLine(const std::string& control, const std::string& line) override;
  void SetButtonCaption(const std::string& control, const std::string& caption) override;
  void ShowMessage(const std::string& text) override;
  void ShowErrorBox(const std::string& text) override;
  void Beep() override;

  void ProbeFinished(const monitor::ProbeEvent& event) override;
  void AlertReported(const monitor::AlertEvent& event) override;

 private:
  // Runs `call` on the GUI thread, after every call posted before it.
  void Post(std::function<void(MainWindow&)> call);
  void ShowBox(BoxKind kind, const std::string& text);

  // Tells what became of the watchdog's alert ("held back: ...") on the
  // tool tip of its list.
  void WatchdogNote(const QString& what);
  // Shows tips_[row] on the row's status label.
  void PostToolTip(int row);

  MainWindow& window_;
  monitor::StopSignal& stop_;
  const std::function<std::string(int row)> row_note_;
  // Each probed row's tool tip as shown, by row, for the notes on its
  // alert. Touched on the monitor's thread only.
  std::map<int, QString> tips_;
};

}  // namespace tallyvox::ui

#endif  // TALLYVOX_UI_WINDOW_VIEW_H_
