#include "console/console_view.h"

#include <cstdio>
#include <map>
#include <utility>

#include "base/datetime.h"
#include "base/json_string.h"
#include "base/text.h"
#include "monitor/roster.h"
#include "monitor/time_text.h"

namespace tallyvox::monitor {
namespace {

std::string Number(double value) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.3f", value);
  return buf;
}

// A control the README and the window call by another name: both.
std::string ControlTitle(const std::string& control) {
  static const std::map<std::string, std::string> kNames = {
      {"Label18", "Gaming"},
      {"Label17", "heartbeat"},
      {"ListBox1", "watchdog"},
      {"Button1", "Poll"},
  };
  const auto it = kNames.find(control);
  return it == kNames.end() ? control : it->second + " (" + control + ")";
}

}  // namespace

std::string JsonString(const std::string& text) {
  JsonStringOptions options;
  options.named_controls = true;
  return tallyvox::JsonString(text, options);
}

ConsoleView::ConsoleView(InputStore& inputs, std::FILE* out, bool json, bool terminal, LogMode mode)
    : StoreView(inputs), out_(out), json_(json), terminal_(terminal), mode_(mode) {}

std::string ConsoleView::Line(TDateTime at, const std::string& op, const std::string& json_fields,
                              const std::string& plain) const {
  if (json_) {
    return "{\"time\": " + JsonString(IsoTimestamp(at)) + ", \"op\": " + JsonString(op) +
           json_fields + "}\n";
  }
  if (plain.empty()) return "";
  return LongTimeText(at) + " " + EscapeControls(plain, LineBreaks::kBlank) + "\n";
}

void ConsoleView::Emit(const std::string& op, const std::string& json_fields,
                       const std::string& plain) {
  Write(Line(tallyvox::Now(), op, json_fields, plain));
}

void ConsoleView::WriteLocked(const std::string& line) {
  FlushHeld();
  if (line.empty()) return;
  std::fwrite(line.data(), 1, line.size(), out_);
  std::fflush(out_);
}

void ConsoleView::Write(const std::string& line) {
  MutexLock lock(&mu_);
  WriteLocked(line);
}

void ConsoleView::FlushHeld() {
  if (!held_) return;
  const HeldRow held = std::move(*held_);
  held_.reset();
  // Under kChanges a row's line comes from its probe's event only.
  if (mode_ == LogMode::kAll) WriteLocked(RowLine(held, ""));
}

std::string ConsoleView::RowLine(const HeldRow& held, const std::string& reason) const {
  const RowRef& row = held.row;
  std::string json =
      ", \"control\": " + JsonString(row.label) + ", \"row\": " + std::to_string(row.row) +
      ", \"address\": " + JsonString(row.address) + ", \"text\": " + JsonString(held.text);
  std::string plain = "row " + std::to_string(row.row) + " " + row.address + ": " + held.text;
  if (!reason.empty()) {
    json += ", \"reason\": " + JsonString(reason);
    plain += " (" + reason + ")";
  }
  return Line(held.at, "text", json, plain);
}

void ConsoleView::SetRowText(const RowRef& row, const std::string& text) {
  MutexLock lock(&mu_);
  FlushHeld();
  held_ = HeldRow{row, text, tallyvox::Now()};
}

void ConsoleView::ProbeFinished(const ProbeEvent& e) {
  if (e.outcome == ProbeEvent::Outcome::kSkipped) return;
  MutexLock lock(&mu_);
  std::optional<HeldRow> held;
  if (held_ && held_->row.row == e.row && held_->text == e.status_text) held.swap(held_);
  FlushHeld();
  const bool print = mode_ == LogMode::kAll ? held.has_value() : RowChanged(e);
  if (!print) return;
  if (!held) held = HeldRow{{e.row, Roster::Row(e.row).label, e.address}, e.status_text, Now()};
  held->row.address = e.address;
  WriteLocked(RowLine(*held, e.failed() ? e.reason : ""));
}

bool ConsoleView::RowChanged(const ProbeEvent& e) {
  const std::pair<std::string, bool> state{e.address, e.answered()};
  const auto [it, first] = row_states_.emplace(e.row, state);
  if (first) return true;
  if (it->second == state) return false;
  it->second = state;
  return true;
}

void ConsoleView::SetRowColour(const RowRef& row, TColour colour) {
  if (mode_ == LogMode::kChanges) return Write("");
  Emit("colour",
       ", \"control\": " + JsonString(row.label) + ", \"row\": " + std::to_string(row.row) +
           ", \"address\": " + JsonString(row.address) +
           ", \"colour\": " + JsonString(ColourName(colour)),
       "");
}

void ConsoleView::RepaintLabel(const std::string&) { Write(""); }

void ConsoleView::EmitControl(const std::string& op, const std::string& control,
                              const std::string& text) {
  const std::string line =
      Line(tallyvox::Now(), op,
           ", \"control\": " + JsonString(control) + ", \"text\": " + JsonString(text),
           ControlTitle(control) + ": " + text);
  MutexLock lock(&mu_);
  if (mode_ == LogMode::kChanges) {
    const auto [it, first] = control_texts_.emplace(control, text);
    if (!first && it->second == text) return FlushHeld();
    it->second = text;
  }
  WriteLocked(line);
}

void ConsoleView::SetLabelText(const std::string& control, const std::string& text) {
  EmitControl("text", control, text);
}

void ConsoleView::SetLabelColour(const std::string& control, TColour colour) {
  if (mode_ == LogMode::kChanges) return Write("");
  Emit("colour",
       ", \"control\": " + JsonString(control) + ", \"colour\": " + JsonString(ColourName(colour)),
       "");
}

void ConsoleView::AppendListLine(const std::string& control, const std::string& line) {
  if (mode_ == LogMode::kChanges) return Write("");
  Emit("list", ", \"control\": " + JsonString(control) + ", \"text\": " + JsonString(line),
       ControlTitle(control) + ": " + line);
}

void ConsoleView::SetButtonCaption(const std::string& control, const std::string& caption) {
  EmitControl("caption", control, caption);
}

void ConsoleView::ShowMessage(const std::string& text) {
  Emit("message", ", \"text\": " + JsonString(text), "message: " + text);
}

void ConsoleView::ShowErrorBox(const std::string& text) {
  Emit("error", ", \"text\": " + JsonString(text), "error: " + text);
}

void ConsoleView::Beep() {
  if (json_ && mode_ == LogMode::kAll) return Emit("beep", "", "");
  Write(!json_ && terminal_ ? "\a" : "");
}

void ConsoleView::CycleFinished(const CycleEvent& r) {
  if (mode_ == LogMode::kChanges && !r.ended_by_error) return Write("");
  std::string json = ", \"rows\": " + std::to_string(r.rows) +
                     ", \"failed\": " + std::to_string(r.failed) +
                     ", \"seconds\": " + Number(r.seconds);
  if (r.parallel > 1) json += ", \"parallel\": " + std::to_string(r.parallel);
  std::string plain = "cycle: " + std::to_string(r.rows) + " rows, " + std::to_string(r.failed) +
                      " failed, " + Number(r.seconds) + " s";
  if (r.ended_by_error) {
    json += ", \"error\": " + JsonString(r.error);
    plain += ", ended by the error: " + r.error;
  }
  Emit("cycle", json, plain);
}

void ConsoleView::AlertReported(const AlertEvent& e) {
  switch (e.outcome) {
    case AlertEvent::Outcome::kDelivered:
      return AlertDelivered(e.account, e.text);
    case AlertEvent::Outcome::kFailed:
      return AlertFailed(e);
    case AlertEvent::Outcome::kHeldBack:
      return AlertHeldBack(e.row, e.text, e.reason);
    case AlertEvent::Outcome::kQueued:
      return AlertQueued(e.text, e.pending);
  }
}

void ConsoleView::AlertDelivered(const std::string& account, const std::string& text) {
  Emit("alert",
       ", \"account\": " + JsonString(account) +
           ", \"delivered\": true, \"text\": " + JsonString(text),
       "alert " + account + ": delivered \"" + text + "\"");
}

void ConsoleView::AlertFailed(const AlertEvent& e) {
  std::string json = ", \"account\": " + JsonString(e.account) +
                     ", \"delivered\": false, \"text\": " + JsonString(e.text) +
                     ", \"error\": " + JsonString(e.error);
  if (!e.server.empty()) json += ", \"server\": " + JsonString(e.server);
  Emit("alert", json,
       "alert " + e.account + ": FAILED \"" + e.text +
           "\": " + DeliveryFailureText(e.server, e.error));
}

void ConsoleView::AlertHeldBack(int row, const std::string& text, const std::string& reason) {
  const std::string row_field = row != 0 ? ", \"row\": " + std::to_string(row) : "";
  Emit("held",
       row_field + ", \"text\": " + JsonString(text) + ", \"reason\": " + JsonString(reason),
       "alert held back: \"" + text + "\" (" + reason + ")");
}

void ConsoleView::AlertQueued(const std::string& text, int pending) {
  Emit("queued", ", \"text\": " + JsonString(text) + ", \"pending\": " + std::to_string(pending),
       "alert queued: \"" + text + "\" (" + std::to_string(pending) + " waiting in the outbox)");
}

void ConsoleView::OutboxLog(const std::string& line) {
  Emit("outbox", ", \"text\": " + JsonString(line), line);
}

void ConsoleView::AlertmanagerPosted(const AlertmanagerEvent& e) {
  const std::string count = std::to_string(e.alerts) + (e.alerts == 1 ? " alert" : " alerts");
  std::string json = ", \"url\": " + JsonString(e.url) + ", \"ok\": " + (e.ok ? "true" : "false") +
                     ", \"alerts\": " + std::to_string(e.alerts);
  if (!e.ok) json += ", \"error\": " + JsonString(e.error);
  Emit("alertmanager", json,
       "alertmanager " + e.url + ": " +
           (e.ok ? "took " + count + " again" : "FAILED " + count + ": " + e.error));
}

void ConsoleView::HistoryLog(const std::string& line) {
  Emit("history", ", \"text\": " + JsonString(line), line);
}

void ConsoleView::StallLog(const std::string& line) {
  Emit("stall", ", \"text\": " + JsonString(line), line);
}

}  // namespace tallyvox::monitor
