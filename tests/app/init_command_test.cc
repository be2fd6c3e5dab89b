// `tallyvox init DIR` as a new operator runs it: it writes the shipped
// example settings (pointed at DIR) and an empty audit table; with the
// addresses edited to local mwserver listeners, `--headless --once` runs on
// them; a second init refuses and changes nothing.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <regex>
#include <string>

#include "support/app_fixture.h"

namespace tallyvox::monitor::testing {
namespace {

using namespace std::chrono_literals;
using tallyvox::testing::ReadFile;
using tallyvox::testing::SourceDir;
using tallyvox::testing::TempDir;

mode_t ModeOf(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0;
}

// The operator's edits: every row's address on a local listener, the probe
// port, and every mail host local (no row should fail, but no alert may
// leave the machine if one did).
std::string EditForLoopback(const std::string& text, int port) {
  std::string out = std::regex_replace(
      text, std::regex(R"(\{ address = "[^"]*", (enabled = \w+) \},  # row (\d+))"),
      R"({ address = "127.0.8.$2", $1 },  # row $2)");
  out = std::regex_replace(out, std::regex(R"(probe_port = 80 )"),
                           "probe_port = " + std::to_string(port) + " ");
  return std::regex_replace(out, std::regex(R"(host = "[^"]*")"), R"(host = "127.0.0.1")");
}

TEST(InitCommand, WritesTheExampleThenRunsOnItAndNeverOverwrites) {
  TempDir tmp;
  const std::string dir = tmp.File("deploy/monitor");  // missing folders are made
  const std::string settings = dir + "/tallyvox.toml";
  const std::string table = dir + "/config.dbf";
  std::string out;
  ASSERT_EQ(RunCommand(Tallyvox() + " init " + dir, &out), 0) << out;
  EXPECT_NE(out.find("wrote " + settings), std::string::npos) << out;
  EXPECT_NE(out.find("created " + table), std::string::npos) << out;
  EXPECT_NE(out.find("tallyvox --headless --once --config " + settings), std::string::npos);
  EXPECT_EQ(ModeOf(settings), 0600u);
  EXPECT_EQ(ModeOf(dir), 0700u);

  // The shipped example, word for word, but for the audit folder.
  const std::string written = ReadFile(settings);
  const std::string example = ReadFile(SourceDir() + "/tallyvox.example.toml");
  ASSERT_FALSE(example.empty());
  const std::regex folder_line(R"(\nfolder = "[^"\n]*")");
  EXPECT_EQ(std::regex_replace(written, folder_line, "\nfolder = X"),
            std::regex_replace(example, folder_line, "\nfolder = X"));
  EXPECT_NE(written.find("\nfolder = \"" + dir + "\""), std::string::npos) << written;
  // Its comments speak to the operator: no internal component names, and no
  // advice to make the table init has just made.
  for (const char* word : {"NetSMTP", "dbetool create"}) {
    EXPECT_EQ(written.find(word), std::string::npos) << word;
  }
  // The outbox lies beside the settings, where their owner may write.
  EXPECT_EQ(LoadSettings(settings).alerts.outbox, dir + "/outbox");
  // The table has dbetool's layout and no record.
  std::string shown;
  ASSERT_EQ(RunCommand(BinaryDir() + "/tools/dbetool show " + table, &shown), 0) << shown;
  EXPECT_NE(shown.find("ipaddress  C 64"), std::string::npos) << shown;
  EXPECT_NE(shown.find("time       N 20.10"), std::string::npos) << shown;
  EXPECT_EQ(shown.substr(shown.find("records:")), "records:\n") << shown;

  // The operator edits the addresses; one cycle runs over the 81 ticked rows.
  MwServerProcess servers({"--listen", "127.0.8.1-127.0.8.111:0"});
  ASSERT_TRUE(servers.ready()) << servers.Output();
  const std::string edited = EditForLoopback(written, servers.port());
  ASSERT_EQ(CountContaining(Lines(edited), "{ address = \"127.0.8."), kRosterRows);
  WriteFile(settings, edited);
  ASSERT_EQ(RunCommand(Tallyvox() + " --headless --once --config " + settings + " 2>&1", &out, 60s),
            0)
      << out;
  EXPECT_NE(out.find("cycle: 81 rows, 0 failed"), std::string::npos) << out;
  EXPECT_NE(out.find("row 111 127.0.8.111: OK 1"), std::string::npos) << out;
  EXPECT_EQ(out.find("warning"), std::string::npos) << out;  // mode 0600 keeps it quiet
  const auto records = AuditRecords(dir);
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].substr(0, records[0].find('|')), "127.0.8.111");

  // A second init refuses, whichever of the two files is there, and writes
  // nothing.
  const std::string table_bytes = ReadFile(table);
  ASSERT_EQ(RunCommand(Tallyvox() + " init " + dir, &out), 1) << out;
  EXPECT_NE(out.find(settings + " already exists; nothing was written"), std::string::npos) << out;
  EXPECT_EQ(ReadFile(settings), edited);
  EXPECT_EQ(ReadFile(table), table_bytes);

  ASSERT_EQ(::rename(settings.c_str(), (settings + ".old").c_str()), 0);
  ASSERT_EQ(RunCommand(Tallyvox() + " init " + dir, &out), 1) << out;
  EXPECT_NE(out.find(table + " already exists; nothing was written"), std::string::npos) << out;
  EXPECT_EQ(ModeOf(settings), 0u) << "the settings file was written";
  EXPECT_EQ(ReadFile(table), table_bytes);
}

TEST(InitCommand, RefusesAFolderItCannotUseAndTakesOddNames) {
  TempDir tmp;
  // Quotes and backslashes in the folder's name are escaped in the file
  // (init reads back what it writes before writing it).
  const std::string odd = tmp.File("a \"quoted\" \\ folder");
  std::string written;
  ASSERT_EQ(RunCommand(Tallyvox() + " init '" + odd + "'", &written), 0) << written;
  EXPECT_NE(ReadFile(odd + "/tallyvox.toml")
                .find("\nfolder = \"" + tmp.path() + "/a \\\"quoted\\\" \\\\ folder\""),
            std::string::npos);

  WriteFile(tmp.File("plain"), "not a folder");
  std::string out;
  EXPECT_EQ(RunCommand(Tallyvox() + " init " + tmp.File("plain"), &out), 1);
  EXPECT_NE(out.find("tallyvox init: "), std::string::npos) << out;
  EXPECT_EQ(ReadFile(tmp.File("plain")), "not a folder");
  EXPECT_EQ(RunCommand(Tallyvox() + " init " + tmp.File("a") + " " + tmp.File("b"), &out), 3);
}

}  // namespace
}  // namespace tallyvox::monitor::testing
