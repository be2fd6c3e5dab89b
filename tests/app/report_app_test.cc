// `tallyvox report` as a user runs it, over a history with known outages:
// the exact numbers in each format, and chart files that real decoders
// (python3-pil for PNG, rsvg-convert for SVG) open.
#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "history/history_db.h"
#include "support/app_fixture.h"

namespace tallyvox::monitor::testing {
namespace {

constexpr int64_t kMinute = 60000;

class ReportAppTest : public ::testing::Test {
 protected:
  void SetUp() override {
    AppSetup a;
    a.folder = dir_.path();
    a.probe_port = 3000;
    a.mail_port = 465;
    a.rows = {{5, "10.0.0.5"}};
    a.history = "database = \"history.sqlite\"\n";
    path_ = dir_.File("tallyvox.toml");
    WriteFile(path_, SettingsText(a));
    // Row 5, 40 probes a minute apart ending two and a half minutes ago: failures at
    // 10-12 (3 minutes), 20 and 30 (1 minute each) and 39 (ongoing, 2
    // minutes and the test's time).
    const int64_t now = std::chrono::duration_cast<std::chrono::milliseconds>(
                            std::chrono::system_clock::now().time_since_epoch())
                            .count();
    history::HistoryDb db(dir_.File("history.sqlite"));
    history::HistoryBatch batch;
    for (int i = 0; i < 40; ++i) {
      const bool failed = (i >= 10 && i <= 12) || i == 20 || i == 30 || i == 39;
      batch.probes.push_back({now - (41 - i) * kMinute - kMinute / 2, 5, "10.0.0.5", !failed,
                              failed ? 2.0 : (i + 1) / 1000.0, failed ? "refused" : ""});
    }
    db.Write(batch);
  }

  int Report(const std::string& args, std::string* out) {
    return RunCommand(Tallyvox() + " report --config " + path_ + " " + args + " 2>&1", out);
  }

  tallyvox::testing::TempDir dir_;
  std::string path_;
};

TEST_F(ReportAppTest, GivesTheExactNumbersInEachFormat) {
  std::string out;
  ASSERT_EQ(Report("--since 1h --format csv", &out), 0) << out;
  EXPECT_EQ(out.rfind("row,address,availability_percent,", 0), 0u) << out;
  EXPECT_NE(out.find("\n5,10.0.0.5,85.000,40,6,4,"), std::string::npos) << out;
  EXPECT_NE(out.find(",180.000,false,0.021000,0.038000\n"), std::string::npos) << out;

  ASSERT_EQ(Report("--since 1h --row 5 --format json", &out), 0) << out;
  EXPECT_NE(out.find("\"availability_percent\": 85.000, \"probes\": 40, \"failures\": 6, "
                     "\"outage_count\": 4"),
            std::string::npos)
      << out;
  EXPECT_NE(out.find("\"seconds\": 180.000, \"ongoing\": false}, \"median_seconds\""),
            std::string::npos)
      << out;

  ASSERT_EQ(Report("", &out), 0) << out;  // text, the last 24 hours
  EXPECT_NE(out.find("85.000       40        6       4"), std::string::npos) << out;
  // Ten minutes back: the last eight probes, the ongoing outage among them.
  ASSERT_EQ(Report("--since 10m --format csv", &out), 0) << out;
  EXPECT_NE(out.find("\n5,10.0.0.5,87.500,8,1,1,"), std::string::npos) << out;
}

TEST_F(ReportAppTest, ChartsOpenInRealDecoders) {
  struct Case {
    std::string file, row, check;
  };
  const std::string png = dir_.File("all.png"), svg = dir_.File("row5.svg");
  for (const Case& c :
       {Case{png, "",
             "/usr/bin/python3 -c \"import sys; from PIL import Image; "
             "im = Image.open(sys.argv[1]); im.load(); print(im.format, im.size)\" " +
                 png},
        Case{svg, "--row 5",
             "rsvg-convert -o " + dir_.File("row5.png") + " " + svg +
                 " && /usr/bin/python3 -c \"import sys; from PIL import Image; "
                 "print(Image.open(sys.argv[1]).size)\" " +
                 dir_.File("row5.png")}}) {
    SCOPED_TRACE(c.file);
    std::string out;
    ASSERT_EQ(Report("--since 1h " + c.row + " --chart " + c.file, &out), 0) << out;
    EXPECT_NE(out.find("85.000"), std::string::npos) << out;
    ASSERT_EQ(RunCommand(c.check + " 2>&1", &out), 0) << out;
    EXPECT_NE(out.find("(900, "), std::string::npos) << out;
  }
}

TEST_F(ReportAppTest, BadArgumentsAndAMissingHistoryExitWith3) {
  std::string out;
  EXPECT_EQ(Report("--format xml", &out), 3) << out;
  EXPECT_NE(out.find("--format xml: expected text, csv or json"), std::string::npos) << out;
  EXPECT_EQ(Report("--since yesterday", &out), 3) << out;
  EXPECT_EQ(Report("--row 112", &out), 3) << out;
  EXPECT_EQ(Report("--chart " + dir_.File("c.gif"), &out), 2) << out;
  EXPECT_NE(out.find("expected a file ending in .svg or .png"), std::string::npos) << out;

  AppSetup a;
  a.folder = dir_.path();
  a.probe_port = 3000;
  a.mail_port = 465;
  WriteFile(path_, SettingsText(a));
  EXPECT_EQ(Report("", &out), 3) << out;
  EXPECT_NE(out.find("has no [history]"), std::string::npos) << out;
}

}  // namespace
}  // namespace tallyvox::monitor::testing
