#include "console/console_view.h"

#include <cstdio>

#include "base/datetime.h"
#include "base/text.h"
#include "monitor/time_text.h"

namespace tallyvox::monitor {
namespace {

std::string Number(double value) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.3f", value);
  return buf;
}

}  // namespace

std::string JsonString(const std::string& text) {
  std::string out = "\"";
  for (unsigned char c : text) {
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        if (c < 0x20 || c == 0x7F) {
          char buf[8];
          std::snprintf(buf, sizeof buf, "\\u%04x", c);
          out += buf;
        } else {
          out += static_cast<char>(c);
        }
    }
  }
  return out + "\"";
}

ConsoleView::ConsoleView(InputStore& inputs, std::FILE* out, bool json, bool terminal)
    : StoreView(inputs), out_(out), json_(json), terminal_(terminal) {}

std::string ConsoleView::RowFields(const RowRef& row) {
  return ", \"control\": " + JsonString(row.label) + ", \"row\": " + std::to_string(row.row);
}

void ConsoleView::Emit(const std::string& op, const std::string& json_fields,
                       const std::string& plain) {
  const TDateTime now = tallyvox::Now();
  if (json_) {
    Write("{\"time\": " + JsonString(IsoTimestamp(now)) + ", \"op\": " + JsonString(op) +
          json_fields + "}\n");
  } else if (!plain.empty()) {
    Write(LongTimeText(now) + " " + EscapeControls(plain, LineBreaks::kBlank) + "\n");
  }
}

void ConsoleView::Write(const std::string& line) {
  MutexLock lock(&mu_);
  std::fwrite(line.data(), 1, line.size(), out_);
  std::fflush(out_);
}

void ConsoleView::SetLabelText(const std::string& control, const std::string& text) {
  Emit("text", ", \"control\": " + JsonString(control) + ", \"text\": " + JsonString(text),
       control + ": " + text);
}

void ConsoleView::SetLabelColour(const std::string& control, TColour colour) {
  Emit("colour",
       ", \"control\": " + JsonString(control) + ", \"colour\": " + JsonString(ColourName(colour)),
       "");
}

void ConsoleView::SetRowText(const RowRef& row, const std::string& text) {
  Emit("text", RowFields(row) + ", \"text\": " + JsonString(text),
       "row " + std::to_string(row.row) + " " + row.address + ": " + text);
}

void ConsoleView::SetRowColour(const RowRef& row, TColour colour) {
  Emit("colour", RowFields(row) + ", \"colour\": " + JsonString(ColourName(colour)), "");
}

void ConsoleView::AppendListLine(const std::string& control, const std::string& line) {
  Emit("list", ", \"control\": " + JsonString(control) + ", \"text\": " + JsonString(line),
       control + ": " + line);
}

void ConsoleView::SetButtonCaption(const std::string& control, const std::string& caption) {
  Emit("caption", ", \"control\": " + JsonString(control) + ", \"text\": " + JsonString(caption),
       control + ": " + caption);
}

void ConsoleView::ShowMessage(const std::string& text) {
  Emit("message", ", \"text\": " + JsonString(text), "message: " + text);
}

void ConsoleView::ShowErrorBox(const std::string& text) {
  Emit("error", ", \"text\": " + JsonString(text), "error: " + text);
}

void ConsoleView::Beep() {
  if (json_) {
    Emit("beep", "", "");
  } else if (terminal_) {
    Write("\a");
  }
}

void ConsoleView::CycleFinished(const CycleEvent& r) {
  std::string json = ", \"rows\": " + std::to_string(r.rows) +
                     ", \"failed\": " + std::to_string(r.failed) +
                     ", \"seconds\": " + Number(r.seconds);
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
      return AlertFailed(e.account, e.text, e.error);
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

void ConsoleView::AlertFailed(const std::string& account, const std::string& text,
                              const std::string& message) {
  Emit("alert",
       ", \"account\": " + JsonString(account) + ", \"delivered\": false, \"text\": " +
           JsonString(text) + ", \"error\": " + JsonString(message),
       "alert " + account + ": FAILED \"" + text + "\": " + message);
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

void ConsoleView::HistoryLog(const std::string& line) {
  Emit("history", ", \"text\": " + JsonString(line), line);
}

void ConsoleView::StallLog(const std::string& line) {
  Emit("stall", ", \"text\": " + JsonString(line), line);
}

}  // namespace tallyvox::monitor
