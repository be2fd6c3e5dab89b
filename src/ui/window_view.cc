#include "ui/window_view.h"

#include <QApplication>
#include <memory>

#include "base/text.h"
#include "monitor/post_call.h"
#include "monitor/roster.h"
#include "monitor/seams.h"
#include "monitor/time_text.h"

namespace tallyvox::ui {
namespace {

QString Text(const std::string& text) { return QString::fromStdString(text); }

// A text from elsewhere (a server's reply, an address) inside a line of a
// tool tip: its line breaks blanks and its other control bytes escaped, so it
// stays within its line.
QString Quoted(const std::string& text) { return Text(EscapeControls(text, LineBreaks::kBlank)); }

}  // namespace

QString ProbeToolTip(const monitor::ProbeReport& r) {
  QString tip = (r.address.empty() ? Text("(no address)") : Quoted(r.address)) +
                "\nLast probe started " + Text(monitor::LongTimeText(r.start)) + ", took " +
                QString::number(r.seconds, 'f', 3) + " s";
  if (r.ok) return tip;
  tip += "\nFailed: " + Quoted(r.message);
  if (!r.transport_error.empty() && r.transport_error != r.message) {
    // Its line breaks ("Socket Error # 10061\r\n...") read as blanks.
    tip += " (" + Quoted(Text(r.transport_error).simplified().toStdString()) + ")";
  }
  return tip;
}

WindowView::WindowView(monitor::InputStore& inputs, MainWindow& window, monitor::StopSignal& stop)
    : StoreView(inputs), window_(window), stop_(stop) {}

void WindowView::Post(std::function<void(MainWindow&)> call) {
  MainWindow* w = &window_;
  monitor::PostCall(w, [w, call = std::move(call)] { call(*w); });
}

void WindowView::SetLabelText(const std::string& control, const std::string& text) {
  Post([control, text = Text(text)](MainWindow& w) { w.SetLabelText(control, text); });
}

void WindowView::SetLabelColour(const std::string& control, monitor::TColour colour) {
  Post([control, colour](MainWindow& w) { w.SetLabelColour(control, colour); });
}

void WindowView::RepaintLabel(const std::string& control) {
  Post([control](MainWindow& w) { w.RepaintLabel(control); });
}

void WindowView::AppendListLine(const std::string& control, const std::string& line) {
  Post([control, line = Text(line)](MainWindow& w) { w.AppendListLine(control, line); });
}

void WindowView::SetButtonCaption(const std::string& control, const std::string& caption) {
  Post([control, caption = Text(caption)](MainWindow& w) { w.SetButtonCaption(control, caption); });
}

void WindowView::ShowBox(BoxKind kind, const std::string& text) {
  // Shared with the GUI's call: the box may close after a stop has ended
  // this wait and unwound the handler.
  auto wait = std::make_shared<monitor::ModalLoop>(stop_);
  Post([kind, text = Text(EscapeControls(text, LineBreaks::kKeep)), wait](MainWindow& w) {
    w.OpenBox(kind, text, [wait] { wait->Close(); });
  });
  wait->Run();
}

void WindowView::ShowMessage(const std::string& text) { ShowBox(BoxKind::kMessage, text); }

void WindowView::ShowErrorBox(const std::string& text) { ShowBox(BoxKind::kError, text); }

void WindowView::Beep() {
  Post([](MainWindow&) { QApplication::beep(); });
}

void WindowView::ProbeFinished(const monitor::ProbeReport& report) {
  last_probe_ = report;
  last_tip_ = ProbeToolTip(report);
  const std::string& label = monitor::Roster::Row(report.row).label;
  Post([label, tip = last_tip_](MainWindow& w) { w.SetToolTip(label, tip); });
}

void WindowView::AlertReported(const monitor::AlertEvent& e) {
  using Outcome = monitor::AlertEvent::Outcome;
  if (e.outcome == Outcome::kHeldBack) {
    NoteAlert(e.row, "held back: " + Text(e.reason));
  } else if (e.outcome == Outcome::kQueued) {
    NoteAlert(e.row, "queued: " + QString::number(e.pending) + " waiting in the outbox");
  }
}

void WindowView::NoteAlert(int row, const QString& what) {
  if (row == 0) {
    Post([tip = "Watchdog alert " + what](MainWindow& w) { w.SetToolTip("ListBox1", tip); });
    return;
  }
  if (row != last_probe_.row) return;  // reported right after the row's probe only
  last_tip_ += "\nAlert " + what;
  const std::string& label = monitor::Roster::Row(row).label;
  Post([label, tip = last_tip_](MainWindow& w) { w.SetToolTip(label, tip); });
}

}  // namespace tallyvox::ui
