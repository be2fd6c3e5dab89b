// dbetool as the monitor's setup and users run it.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <string>

#include "support/support.h"

namespace tallyvox::audit {
namespace {

std::string Dbetool() { return testing::BinaryDir() + "/tools/dbetool"; }

class DbetoolTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(::access(Dbetool().c_str(), X_OK), 0) << "build the dbetool target first";
  }
  int Run(const std::string& args, std::string* out) {
    return testing::RunCommand(Dbetool() + " " + args + " 2>&1", out);
  }
  testing::TempDir dir_;
};

TEST_F(DbetoolTest, CreateRecordAndShow) {
  const std::string path = dir_.File("config.dbf");
  std::string out;
  ASSERT_EQ(Run("create " + path, &out), 0) << out;
  ASSERT_EQ(Run("show " + path, &out), 0) << out;
  EXPECT_EQ(out,
            "table " + path + "\nfields:\n  1 ipaddress  C 64\n  2 time       N 20.10\nrecords:\n");
  ASSERT_EQ(Run("record " + path + " 10.0.0.7 11:00", &out), 0) << out;
  EXPECT_EQ(out, "record 1: ipaddress=\"10.0.0.7\" time=\"0.4583333333\"\n");
  ASSERT_EQ(Run("record " + path + " 10.0.0.8 0.75", &out), 0) << out;
  ASSERT_EQ(Run("record " + path + " 10.0.0.9", &out), 0) << out;  // now
  EXPECT_EQ(out.rfind("record 1: ipaddress=\"10.0.0.9\" time=\"0.", 0), 0u) << out;
  ASSERT_EQ(Run("record " + path + " 10.0.0.10 06:30:15.500", &out), 0) << out;
  ASSERT_EQ(Run("show " + path, &out), 0) << out;
  EXPECT_NE(out.find("records:\n  1 ipaddress=\"10.0.0.10\" time=\"0.2710127315\"\n"),
            std::string::npos)
      << out;
  // Relative paths work from the current folder.
  ASSERT_EQ(
      testing::RunCommand("cd " + dir_.path() + " && " + Dbetool() + " show config.dbf", &out), 0)
      << out;
  // The table is one python3-dbfread reads.
  ASSERT_EQ(testing::RunCommand("/usr/bin/python3 -c \"import dbfread; print(list(dbfread.DBF('" +
                                    path + "', load=True).records[0].values()))\"",
                                &out),
            0)
      << out;
  EXPECT_EQ(out, "['10.0.0.10', 0.2710127315]\n");
}

// Four programs making their first audit write to one empty table at once leave one
// record (a writer may lose to another's record lock, as an edit would; none appends a
// second record).
TEST_F(DbetoolTest, ConcurrentFirstWritesLeaveOneRecord) {
  for (int run = 0; run < 5; ++run) {
    SCOPED_TRACE(run);
    const std::string path = dir_.File("t" + std::to_string(run) + ".dbf");
    std::string out;
    ASSERT_EQ(Run("create " + path, &out), 0) << out;
    std::string writers;
    for (int i = 1; i <= 4; ++i) {
      writers +=
          Dbetool() + " record " + path + " 10.0.0." + std::to_string(i) + " >/dev/null 2>&1 & ";
    }
    ASSERT_EQ(testing::RunCommand(writers + "wait"), 0);
    ASSERT_EQ(Run("show " + path, &out), 0) << out;
    EXPECT_NE(out.find("records:\n  1 ipaddress=\"10.0.0."), std::string::npos) << out;
    EXPECT_EQ(out.find("\n  2 ipaddress="), std::string::npos) << out;
  }
}

TEST_F(DbetoolTest, FailuresExitNonZeroWithTheMessage) {
  const std::string path = dir_.File("config.dbf");
  std::string out;
  EXPECT_EQ(Run("record " + path + " 10.0.0.1", &out), 1);
  EXPECT_EQ(out, "dbetool: DbeTable1: Table file not found: " + path + "\n");
  ASSERT_EQ(Run("create " + path, &out), 0);
  EXPECT_EQ(Run("create " + path, &out), 1);  // never overwrites a table
  EXPECT_NE(out.find("File exists"), std::string::npos) << out;
  EXPECT_EQ(Run("record " + path + " 10.0.0.1 25:00", &out), 1);
  EXPECT_EQ(out, "dbetool: not a time: 25:00\n");
  EXPECT_EQ(Run("frobnicate " + path, &out), 2);
  EXPECT_EQ(Run("", &out), 2);

  ASSERT_EQ(Run("record " + path + " 10.0.0.1 0.5", &out), 0) << out;
  testing::ChildProcess holder({Dbetool(), "hold", path, "1", "30"});
  ASSERT_TRUE(holder.WaitForOutput("locked", std::chrono::seconds(10))) << holder.Output();
  EXPECT_EQ(Run("record " + path + " 10.0.0.2 0.25", &out), 1);
  EXPECT_EQ(out, "dbetool: DbeTable1: Record 1 is locked by another user: " + path + "\n");
  holder.Stop();
  EXPECT_EQ(Run("record " + path + " 10.0.0.2 0.25", &out), 0) << out;
  // A lock held for a moment only is waited for.
  testing::ChildProcess brief({Dbetool(), "hold", path, "1", "0.1"});
  ASSERT_TRUE(brief.WaitForOutput("locked", std::chrono::seconds(10))) << brief.Output();
  EXPECT_EQ(Run("record " + path + " 10.0.0.3 0.75", &out), 0) << out;
  EXPECT_EQ(Run("hold " + path + " 1 0", &out), 2);  // no time to hold it for

  testing::WriteFile(dir_.File("bad.dbf"), "not a table at all, just some text");
  EXPECT_EQ(Run("show " + dir_.File("bad.dbf"), &out), 1);
  EXPECT_EQ(out, "dbetool: DbeTable1: Not a table file (unknown version byte 110): " +
                     dir_.File("bad.dbf") + "\n");
}

}  // namespace
}  // namespace tallyvox::audit
