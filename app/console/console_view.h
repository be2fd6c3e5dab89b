// ConsoleView: the view of `tallyvox --headless`. There is no operator:
// reads come from the InputStore (filled from the settings), message and
// error boxes are printed and return at once.
//
// Plain lines (local time first):
//   13:05:09 row 5 192.0.2.5: OK 1          a roster status label's text
//   13:05:09 row 60 192.0.2.60: Problem (Table ufile7 is locked)
//                                           a failed probe's, with its reason
//   13:05:09 Gaming (Label18): Problem      another label's text, by the name
//                                           the window shows and its control
//   13:05:09 watchdog (ListBox1): 13:05:09  a watchdog list line
//   13:05:09 message: <text>                a message box
//   13:05:09 error: <text>                  the default handler's error box
//   13:05:09 Poll (Button1): Stop Polling   a caption
//   13:05:09 alert erols: delivered "IP 192.0.2.5 Is Down!"
//   13:05:09 alert erols: FAILED "IP 192.0.2.5 Is Down!": mail.example.net:465: <error>
//                                           an alert through one account
//   13:05:09 alert held back: "IP 192.0.2.5 Is Down!" (failure 1 of 3)
//   13:05:09 alert queued: "IP 192.0.2.5 Is Down!" (2 waiting in the outbox)
//   13:05:09 outbox: 2 alerts waiting; next try at 13:06:09    the outbox's log
//   13:05:09 cycle: 81 rows, 2 failed, 3.1 s
//   13:06:15 stall guard: the monitor thread has made no progress for 65.3 s
//                                           the stall guard's log (stall_guard.h)
// Colours and repaints print nothing; a beep is a BEL when the output is a
// terminal. Line breaks inside a text become blanks, so every operation is
// one line, and every other control byte (a server's reply, an address, a
// file name may hold any) is written as an escape (EscapeControls,
// base/text.h: \x1b, \x00, \t, ...), so no text can steer the terminal.
//
// A row's status text is held until the next operation: when that is the
// probe's own event (ProbeFinished, which the monitor reports right after
// the text), the line gets the event's reason; otherwise it is printed as it
// stands before whatever comes next.
//
// With json, one JSON object a line for every operation:
//   {"time": "2025-06-24T13:05:09.250+02:00", "op": "text", "control":
//    "Label5", "row": 5, "address": "192.0.2.5", "text": "OK 1"}
// with op "text", "colour" (with "colour": "red"|"black"), "list",
// "message", "error", "caption" or "beep"; "row" and "address" for roster
// labels only, and "reason" for a failed probe's status text;
// then {"op": "cycle", "rows": n, "failed": n, "seconds": s} after every
// cycle and {"op": "alert", "account": ..., "delivered": true|false, "text":
// ..., "error": ..., "server": "host:port"} for every delivery; {"op":
// "held", "row": n, "text": ..., "reason": ...} for an alert a policy held
// back ("row" left out for the watchdog's), {"op": "queued", "text": ...,
// "pending": n} for one left waiting in the outbox, {"op": "outbox", "text":
// ...} for a line of the outbox's log and {"op": "stall", "text": ...} for a
// line of the stall guard's. JSON strings escape every control byte and DEL
// (\n, \r, \t, \uXXXX), so the text is exact and the line one line.
//
// LogMode::kChanges (`--log changes`, for services) prints, plainly or as
// JSON, a row's status only when its state changes (its first result, and
// from answering to failing or back; a row probed at a new address starts
// afresh), another label or caption only when its text changes, every
// alert, message, error, outbox and stall line, and a cycle only when an
// error ended it; no "Checking...", no colour, list or JSON beep operation.
//
// Thread-safe: each line is written whole, under a lock, and flushed.
#ifndef TALLYVOX_CONSOLE_CONSOLE_VIEW_H_
#define TALLYVOX_CONSOLE_CONSOLE_VIEW_H_

#include <cstdio>
#include <map>
#include <optional>
#include <string>
#include <utility>

#include "assembly/stall_guard.h"
#include "base/datetime.h"
#include "base/mutex.h"
#include "base/thread_annotations.h"
#include "monitor/observer.h"
#include "monitor/view.h"

namespace tallyvox::monitor {

// `text` as a JSON string literal, quotes included (base/json_string.h), LF,
// CR and TAB as \n, \r and \t.
std::string JsonString(const std::string& text);

// What the console prints (`--log all`, `--log changes`).
enum class LogMode { kAll, kChanges };

class ConsoleView : public StoreView, public MonitorObserver, public StallListener {
 public:
  ConsoleView(InputStore& inputs, std::FILE* out, bool json, bool terminal,
              LogMode mode = LogMode::kAll);

  void SetLabelText(const std::string& control, const std::string& text) override;
  void SetLabelColour(const std::string& control, TColour colour) override;
  // A roster row's status line, printed with its row and address.
  void SetRowText(const RowRef& row, const std::string& text) override;
  void SetRowColour(const RowRef& row, TColour colour) override;
  void RepaintLabel(const std::string&) override;
  void AppendListLine(const std::string& control, const std::string& line) override;
  void SetButtonCaption(const std::string& control, const std::string& caption) override;
  void ShowMessage(const std::string& text) override;
  void ShowErrorBox(const std::string& text) override;
  void Beep() override;

  void ProbeFinished(const ProbeEvent& event) override;
  void CycleFinished(const CycleEvent& event) override;
  void AlertReported(const AlertEvent& event) override;
  void OutboxLog(const std::string& line) override;
  // "alertmanager URL: FAILED n alerts: why" and, once it takes them again,
  // "alertmanager URL: took n alerts again" (JSON op "alertmanager").
  void AlertmanagerPosted(const AlertmanagerEvent& e) override;
  // A line of the probe history's writer ({"op": "history"} in JSON); any
  // thread.
  void HistoryLog(const std::string& line);

  void StallLog(const std::string& line) override;

 private:
  void AlertDelivered(const std::string& account, const std::string& text);
  void AlertFailed(const AlertEvent& event);
  void AlertHeldBack(int row, const std::string& text, const std::string& reason);
  void AlertQueued(const std::string& text, int pending);
  // A row's status text, held for its probe's event.
  struct HeldRow {
    RowRef row;
    std::string text;
    TDateTime at = 0;
  };
  // Plain: "<time> <body>"; JSON: {"time": ..., "op": op<fields>}; empty
  // when the mode prints nothing for it.
  std::string Line(TDateTime at, const std::string& op, const std::string& json_fields,
                   const std::string& plain) const;
  // Emit writes the line of an operation now (after a held row's).
  void Emit(const std::string& op, const std::string& json_fields, const std::string& plain);
  // A label's or caption's line; under kChanges only when its text changed.
  void EmitControl(const std::string& op, const std::string& control, const std::string& text);
  std::string RowLine(const HeldRow& held, const std::string& reason) const;
  // Under kChanges: whether `event` changes its row's state (and records it).
  bool RowChanged(const ProbeEvent& event) REQUIRES(mu_);
  void FlushHeld() REQUIRES(mu_);
  void WriteLocked(const std::string& line) REQUIRES(mu_);
  void Write(const std::string& line) EXCLUDES(mu_);

  std::FILE* const out_;  // written whole lines at a time, under mu_
  const bool json_;
  const bool terminal_;
  const LogMode mode_;
  Mutex mu_;
  std::optional<HeldRow> held_ GUARDED_BY(mu_);
  // kChanges: each row's address and whether its last probe answered.
  std::map<int, std::pair<std::string, bool>> row_states_ GUARDED_BY(mu_);
  // kChanges: the text last printed for each other control.
  std::map<std::string, std::string> control_texts_ GUARDED_BY(mu_);
};

}  // namespace tallyvox::monitor

#endif  // TALLYVOX_CONSOLE_CONSOLE_VIEW_H_
