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

QString HeldBackNote(const std::string& reason) { return "held back: " + Text(reason); }

QString QueuedNote(int pending) {
  return "queued: " + QString::number(pending) + " waiting in the outbox";
}

}  // namespace

QString ProbeToolTip(const monitor::ProbeEvent& e) {
  QString tip = (e.address.empty() ? Text("(no address)") : Quoted(e.address)) +
                "\nLast probe started " + Text(monitor::LongTimeText(e.start)) + ", took " +
                QString::number(e.seconds, 'f', 3) + " s";
  if (e.failed()) tip += "\nFailed: " + Quoted(e.reason);
  if (e.alert.kind == monitor::AlertState::Kind::kHeldBack) {
    tip += "\nAlert " + HeldBackNote(e.alert.reason);
  }
  return tip;
}

WindowView::WindowView(monitor::InputStore& inputs, MainWindow& window, monitor::StopSignal& stop,
                       std::function<std::string(int row)> row_note)
    : StoreView(inputs), window_(window), stop_(stop), row_note_(std::move(row_note)) {}

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

void WindowView::ProbeFinished(const monitor::ProbeEvent& event) {
  if (event.outcome == monitor::ProbeEvent::Outcome::kSkipped) return;
  tips_[event.row] = ProbeToolTip(event);
  if (row_note_) {
    const std::string note = row_note_(event.row);
    if (!note.empty()) tips_[event.row] += "\n" + Text(note);
  }
  PostToolTip(event.row);
}

void WindowView::PostToolTip(int row) {
  const std::string& label = monitor::Roster::Row(row).label;
  Post([label, tip = tips_[row]](MainWindow& w) { w.SetToolTip(label, tip); });
}

void WindowView::AlertReported(const monitor::AlertEvent& e) {
  using Outcome = monitor::AlertEvent::Outcome;
  if (e.row == 0) {  // the watchdog's: on the tool tip of its list
    if (e.outcome == Outcome::kHeldBack) WatchdogNote(HeldBackNote(e.reason));
    if (e.outcome == Outcome::kQueued) WatchdogNote(QueuedNote(e.pending));
    return;
  }
  // A row's alert held back is in its probe's event (above); one queued is
  // added below the tool tip of the row the event names.
  if (e.outcome != Outcome::kQueued) return;
  const auto tip = tips_.find(e.row);
  if (tip == tips_.end()) return;
  tip->second += "\nAlert " + QueuedNote(e.pending);
  PostToolTip(e.row);
}

void WindowView::WatchdogNote(const QString& what) {
  Post([tip = "Watchdog alert " + what](MainWindow& w) { w.SetToolTip("ListBox1", tip); });
}

}  // namespace tallyvox::ui
