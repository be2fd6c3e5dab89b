// The lines an operator reads: a row's line with its address and, for a
// failure, the probe's reason; controls under the names the window shows;
// a failed delivery naming its server; and `--log changes`, which prints a
// row only when it turns up or down.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "console/console_view.h"

namespace tallyvox::monitor::testing {
namespace {

// The lines a ConsoleView wrote, each without its time (plain) or with the
// part before "op" cut (JSON).
std::vector<std::string> Bodies(std::FILE* out, bool json) {
  std::rewind(out);
  std::string text;
  for (int c; (c = std::fgetc(out)) != EOF;) text += static_cast<char>(c);
  std::fclose(out);
  std::vector<std::string> lines;
  for (size_t at = 0, end; (end = text.find('\n', at)) != std::string::npos; at = end + 1) {
    const std::string line = text.substr(at, end - at);
    const size_t body = json ? line.find("\"op\"") : line.find(' ') + 1;
    lines.push_back(body == std::string::npos ? line : line.substr(body));
  }
  return lines;
}

ProbeEvent Probe(int row, const std::string& address, bool answered, const std::string& text,
                 const std::string& reason = "") {
  ProbeEvent e;
  e.row = row;
  e.address = address;
  e.outcome = answered ? ProbeEvent::Outcome::kAnswered : ProbeEvent::Outcome::kFailed;
  e.status_text = text;
  e.reason = reason;
  return e;
}

// One row's probe as the monitor shows it: red, "Checking...", repaint,
// black, the result's text, then the probe's event and, for a failure, the
// beeps.
void ShowProbe(ConsoleView& view, const ProbeEvent& e) {
  const RowRef row{e.row, Roster::Row(e.row).label, e.address};
  view.SetRowColour(row, TColour::clRed);
  view.SetRowText(row, "Checking...12:00:00");
  view.RepaintLabel(row.label);
  view.SetRowColour(row, TColour::clBlack);
  view.SetRowText(row, e.status_text);
  view.ProbeFinished(e);
  if (e.failed()) {
    for (int i = 0; i < 7; ++i) view.Beep();
  }
}

TEST(ConsoleLinesTest, RowLinesCarryTheAddressAndAFailuresReason) {
  const ProbeEvent failed =
      Probe(60, "127.0.12.60", false, "Problem", "server error: ufile7 is locked for maintenance");
  const ProbeEvent timed =
      Probe(5, "127.0.12.5", false, "Problem 12:00:05", "Connection lost. (Read Timeout)");
  const ProbeEvent answered = Probe(2, "127.0.12.2", true, "OK 1");
  struct Case {
    bool json;
    std::vector<std::string> expected;
  };
  const Case cases[] = {
      {false,
       {"row 60 127.0.12.60: Checking...12:00:00",
        "row 60 127.0.12.60: Problem (server error: ufile7 is locked for maintenance)",
        "row 5 127.0.12.5: Checking...12:00:00",
        "row 5 127.0.12.5: Problem 12:00:05 (Connection lost. (Read Timeout))",
        "row 2 127.0.12.2: Checking...12:00:00", "row 2 127.0.12.2: OK 1",
        // A row's text that no probe event follows (the "Connect" button's)
        // is printed as it stands, before the next line.
        "row 1 127.0.12.1: Problem", "cycle: 3 rows, 2 failed, 0.500 s"}},
      {true,
       {R"("op": "colour", "control": "Label62", "row": 60, "address": "127.0.12.60", "colour": "red"})",
        R"("op": "text", "control": "Label62", "row": 60, "address": "127.0.12.60", "text": "Checking...12:00:00"})",
        R"("op": "colour", "control": "Label62", "row": 60, "address": "127.0.12.60", "colour": "black"})",
        R"("op": "text", "control": "Label62", "row": 60, "address": "127.0.12.60", "text": "Problem", "reason": "server error: ufile7 is locked for maintenance"})"}},
  };
  for (const Case& c : cases) {
    std::FILE* out = std::tmpfile();
    InputStore inputs;
    ConsoleView view(inputs, out, c.json, false);
    ShowProbe(view, failed);
    ShowProbe(view, timed);
    ShowProbe(view, answered);
    view.SetRowText({1, Roster::Row(1).label, "127.0.12.1"}, "Problem");
    CycleEvent cycle;
    cycle.rows = 3;
    cycle.failed = 2;
    cycle.seconds = 0.5;
    view.CycleFinished(cycle);
    const std::vector<std::string> lines = Bodies(out, c.json);
    if (c.json) {
      ASSERT_GE(lines.size(), c.expected.size());
      for (size_t i = 0; i < c.expected.size(); ++i) EXPECT_EQ(lines[i], c.expected[i]);
      // The answer's text has its address and no reason.
      bool seen = false;
      for (const std::string& l : lines) {
        if (l.find(R"("text": "OK 1")") == std::string::npos) continue;
        seen = true;
        EXPECT_NE(l.find(R"("address": "127.0.12.2")"), std::string::npos) << l;
        EXPECT_EQ(l.find("reason"), std::string::npos) << l;
      }
      EXPECT_TRUE(seen);
    } else {
      EXPECT_EQ(lines, c.expected);
    }
  }
}

TEST(ConsoleLinesTest, ControlsAreNamedAsTheWindowShowsThem) {
  struct Case {
    std::string control;
    bool caption;
    std::string text;
    std::string plain;
  };
  const Case cases[] = {
      {"Label18", false, "Problem", "Gaming (Label18): Problem"},
      {"Label17", false, "12:00:01", "heartbeat (Label17): 12:00:01"},
      {"Button1", true, "Stop Polling", "Poll (Button1): Stop Polling"},
      {"Label99", false, "x", "Label99: x"},
  };
  for (const Case& c : cases) {
    for (bool json : {false, true}) {
      std::FILE* out = std::tmpfile();
      InputStore inputs;
      ConsoleView view(inputs, out, json, false);
      if (c.caption) {
        view.SetButtonCaption(c.control, c.text);
      } else {
        view.SetLabelText(c.control, c.text);
      }
      const std::vector<std::string> lines = Bodies(out, json);
      ASSERT_EQ(lines.size(), 1u) << c.control;
      // JSON keeps the control's own name.
      EXPECT_EQ(lines[0], json ? std::string(R"("op": ")") + (c.caption ? "caption" : "text") +
                                     R"(", "control": ")" + c.control + R"(", "text": ")" + c.text +
                                     "\"}"
                               : c.plain);
    }
  }
  std::FILE* out = std::tmpfile();
  InputStore inputs;
  ConsoleView view(inputs, out, false, false);
  view.AppendListLine("ListBox1", "12:01:00");
  EXPECT_EQ(Bodies(out, false), std::vector<std::string>{"watchdog (ListBox1): 12:01:00"});
}

TEST(ConsoleLinesTest, AFailedDeliveryNamesItsServer) {
  const AlertEvent failed =
      AlertEvent::Failed(5, "IP 10.0.0.5 Is Down!", "erols",
                         "Socket Error # 10061  Connection refused.", "mail.example.net:465");
  const AlertEvent unknown = AlertEvent::Failed(5, "IP 10.0.0.5 Is Down!", "erols", "Refused.");
  for (bool json : {false, true}) {
    std::FILE* out = std::tmpfile();
    InputStore inputs;
    ConsoleView view(inputs, out, json, false);
    view.AlertReported(failed);
    view.AlertReported(unknown);
    const std::vector<std::string> lines = Bodies(out, json);
    const std::vector<std::string> expected =
        json
            ? std::vector<
                  std::
                      string>{R"("op": "alert", "account": "erols", "delivered": false, "text": "IP 10.0.0.5 Is Down!", "error": "Socket Error # 10061  Connection refused.", "server": "mail.example.net:465"})",
                              R"("op": "alert", "account": "erols", "delivered": false, "text": "IP 10.0.0.5 Is Down!", "error": "Refused."})"}
            : std::vector<std::string>{
                  R"(alert erols: FAILED "IP 10.0.0.5 Is Down!": mail.example.net:465: Socket Error # 10061  Connection refused.)",
                  R"(alert erols: FAILED "IP 10.0.0.5 Is Down!": Refused.)"};
    EXPECT_EQ(lines, expected);
  }
}

// --log changes: over four cycles a row's line comes at its first result and
// at each turn between up and down, nothing for "Checking...", the OK
// count going up, colours, beeps, watchdog lines or cycles that ended well;
// a row probed at a new address starts afresh; another label only when its
// text changes; alerts and errors always.
TEST(ConsoleLinesTest, LogChangesPrintsOnlyWhatChanged) {
  for (bool json : {false, true}) {
    std::FILE* out = std::tmpfile();
    InputStore inputs;
    ConsoleView view(inputs, out, json, false, LogMode::kChanges);
    const auto cycle = [&](bool two_up, bool three_up, const std::string& three_address,
                           const std::string& error) {
      view.AppendListLine("ListBox1", "12:00:00");
      ShowProbe(view, Probe(2, "127.0.0.2", two_up, two_up ? "OK 1" : "Problem 12:00:02",
                            two_up ? "" : "Connection lost. (Read Timeout)"));
      if (!two_up) view.SetLabelText("Label18", "Problem");
      ShowProbe(view, Probe(3, three_address, three_up, three_up ? "OK 2" : "Problem",
                            three_up ? "" : "refused"));
      ProbeEvent skipped = Probe(4, "127.0.0.4", false, "");
      skipped.outcome = ProbeEvent::Outcome::kSkipped;
      view.ProbeFinished(skipped);
      CycleEvent c;
      c.rows = 2;
      c.ended_by_error = !error.empty();
      c.error = error;
      view.CycleFinished(c);
    };
    cycle(true, false, "127.0.0.3", "");   // first results: both print
    cycle(true, false, "127.0.0.3", "");   // nothing changed
    cycle(false, false, "127.0.0.3", "");  // row 2 goes down
    view.AlertReported(
        AlertEvent::Failed(2, "IP 127.0.0.2 Is Down!", "erols", "Refused.", "127.0.0.1:465"));
    cycle(false, false, "127.0.0.3", "");                 // still down: Label18 unchanged too
    cycle(true, false, "127.0.0.33", "DbeTable1: gone");  // row 2 up; row 3 moved
    view.StallLog("stall guard: the monitor thread makes progress again after 70.1 s");
    const std::vector<std::string> lines = Bodies(out, json);
    const std::vector<std::string> plain = {
        "row 2 127.0.0.2: OK 1",
        "row 3 127.0.0.3: Problem (refused)",
        "row 2 127.0.0.2: Problem 12:00:02 (Connection lost. (Read Timeout))",
        "Gaming (Label18): Problem",
        R"(alert erols: FAILED "IP 127.0.0.2 Is Down!": 127.0.0.1:465: Refused.)",
        "row 2 127.0.0.2: OK 1",
        "row 3 127.0.0.33: Problem (refused)",
        "cycle: 2 rows, 0 failed, 0.000 s, ended by the error: DbeTable1: gone",
        "stall guard: the monitor thread makes progress again after 70.1 s",
    };
    if (!json) {
      EXPECT_EQ(lines, plain);
      continue;
    }
    const std::vector<std::string> ops = {"text", "text", "text",  "text", "alert",
                                          "text", "text", "cycle", "stall"};
    ASSERT_EQ(lines.size(), ops.size());
    for (size_t i = 0; i < ops.size(); ++i) {
      EXPECT_EQ(lines[i].rfind(R"("op": ")" + ops[i] + "\"", 0), 0u) << lines[i];
    }
    EXPECT_NE(lines[1].find(R"("address": "127.0.0.3", "text": "Problem", "reason": "refused")"),
              std::string::npos)
        << lines[1];
  }
}

}  // namespace
}  // namespace tallyvox::monitor::testing
