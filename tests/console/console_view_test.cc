// The console's alert lines: held back, queued and the outbox log in plain
// text and JSON, and texts with control bytes kept on one line.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "console/console_view.h"

namespace tallyvox::monitor::testing {
namespace {

// Everything a ConsoleView wrote to its file.
std::string Printed(std::FILE* out) {
  std::rewind(out);
  std::string text;
  for (int c; (c = std::fgetc(out)) != EOF;) text += static_cast<char>(c);
  std::fclose(out);
  return text;
}

TEST(ConsoleViewAlertLinesTest, HeldBackQueuedAndTheOutboxLogArePrinted) {
  for (bool json : {false, true}) {
    std::FILE* out = std::tmpfile();
    InputStore inputs;
    ConsoleView view(inputs, out, json, false);
    view.AlertReported(AlertEvent::HeldBack(5, "IP 10.0.0.5 Is Down!", "failure 1 of 3"));
    view.AlertReported(
        AlertEvent::HeldBack(0, "IP  Is Not Responding!", "next reminder at 12:30:00"));
    view.AlertReported(AlertEvent::Queued(5, "IP 10.0.0.5 Is Down!", 2));
    view.OutboxLog("outbox: 2 alerts waiting; next try at 12:01:00");
    const std::string text = Printed(out);
    const std::vector<std::string> expected =
        json
            ? std::vector<
                  std::
                      string>{R"("op": "held", "row": 5, "text": "IP 10.0.0.5 Is Down!", "reason": "failure 1 of 3"})",
                              R"("op": "held", "text": "IP  Is Not Responding!", "reason": "next reminder at 12:30:00"})",
                              R"("op": "queued", "text": "IP 10.0.0.5 Is Down!", "pending": 2})",
                              R"("op": "outbox", "text": "outbox: 2 alerts waiting; next try at 12:01:00"})"}
            : std::vector<std::string>{
                  R"( alert held back: "IP 10.0.0.5 Is Down!" (failure 1 of 3))",
                  R"( alert held back: "IP  Is Not Responding!" (next reminder at 12:30:00))",
                  R"( alert queued: "IP 10.0.0.5 Is Down!" (2 waiting in the outbox))",
                  " outbox: 2 alerts waiting; next try at 12:01:00"};
    size_t at = 0;
    for (const std::string& line : expected) {
      const size_t found = text.find(line + "\n", at);
      EXPECT_NE(found, std::string::npos) << line << "\n" << text;
      if (found != std::string::npos) at = found;
    }
  }
}

// The cycle line names the probes run at once only when there were several,
// so the line of a sequential cycle stays as it always was.
TEST(ConsoleViewCycleLineTest, ParallelIsShownOnlyAboveOne) {
  for (int parallel : {1, 8}) {
    std::FILE* out = std::tmpfile();
    InputStore inputs;
    ConsoleView view(inputs, out, /*json=*/true, false);
    CycleEvent cycle;
    cycle.rows = 81;
    cycle.failed = 1;
    cycle.seconds = 1.84;
    cycle.parallel = parallel;
    view.CycleFinished(cycle);
    const std::string text = Printed(out);
    const std::string tail = parallel == 1
                                 ? R"("seconds": 1.840})" + std::string("\n")
                                 : R"("seconds": 1.840, "parallel": 8})" + std::string("\n");
    EXPECT_NE(text.find(R"("op": "cycle", "rows": 81, "failed": 1, )" + tail), std::string::npos)
        << text;
  }
}

// A mail server's reply, an address or a file name may hold any byte. Each plain line
// stays one line without control bytes (line breaks become blanks, as before; the
// others are escaped), and JSON escapes them all, so its text stays exact.
TEST(ConsoleViewAlertLinesTest, ControlBytesInTextsNeitherBreakNorSteerTheLines) {
  using namespace std::string_literals;
  const std::string reply = "5.7.8 \x1b]0;owned\x07no\0pe\x1b[2J\r\n"s;
  for (bool json : {false, true}) {
    std::FILE* out = std::tmpfile();
    InputStore inputs;
    ConsoleView view(inputs, out, json, false);
    view.AlertReported(AlertEvent::Failed(5, "IP 10.0.0.5 Is Down!", "erols", reply));
    view.ShowMessage(reply);
    view.SetRowText({5, Roster::Row(5).label, "10.0.0.5\x1b[8m"}, "Problem");
    view.OutboxLog("outbox /o: moved 1\rA\x1b[2K aside");
    const std::string text = Printed(out);
    const std::vector<std::string> bodies =
        json
            ? std::vector<
                  std::
                      string>{R"("error": "5.7.8 \u001b]0;owned\u0007no\u0000pe\u001b[2J\r\n"})",
                              R"("op": "message", "text": "5.7.8 \u001b]0;owned\u0007no\u0000pe\u001b[2J\r\n"})",
                              R"("row": 5, "address": "10.0.0.5\u001b[8m", "text": "Problem"})",
                              R"("text": "outbox /o: moved 1\rA\u001b[2K aside"})"}
            : std::vector<std::string>{
                  R"( alert erols: FAILED "IP 10.0.0.5 Is Down!": 5.7.8 \x1b]0;owned\x07no\x00pe\x1b[2J  )",
                  R"( message: 5.7.8 \x1b]0;owned\x07no\x00pe\x1b[2J  )",
                  R"( row 5 10.0.0.5\x1b[8m: Problem)", " outbox /o: moved 1 A\\x1b[2K aside"};
    std::vector<std::string> lines;
    for (size_t at = 0, end; (end = text.find('\n', at)) != std::string::npos; at = end + 1) {
      lines.push_back(text.substr(at, end - at));
    }
    ASSERT_EQ(lines.size(), bodies.size()) << text;
    for (size_t i = 0; i < lines.size(); ++i) {
      EXPECT_EQ(lines[i].size() - lines[i].rfind(bodies[i]), bodies[i].size()) << lines[i];
      for (unsigned char c : lines[i]) EXPECT_FALSE(c < 0x20 || c == 0x7F) << lines[i];
    }
  }
}

}  // namespace
}  // namespace tallyvox::monitor::testing
