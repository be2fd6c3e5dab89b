// The probe history as the program writes it: whole after `kill -9` in the
// middle of a cycle, and a database folder that is full or read-only is
// reported while polling goes on.
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "history/history_db.h"
#include "support/app_fixture.h"

namespace tallyvox::monitor::testing {
namespace {

using namespace std::chrono_literals;
using history::HistoryDb;

// A tmpfs of `size` mounted on a fresh folder for the test's life; mount()
// needs root (or CAP_SYS_ADMIN): without it the test is skipped.
class Tmpfs {
 public:
  Tmpfs(const std::string& where, const std::string& size) : where_(where) {
    ::mkdir(where.c_str(), 0700);
    mounted_ = ::mount("tmpfs", where.c_str(), "tmpfs", 0, ("size=" + size).c_str()) == 0;
  }
  ~Tmpfs() {
    if (mounted_) ::umount2(where_.c_str(), MNT_DETACH);
  }
  bool mounted() const { return mounted_; }
  bool MakeReadOnly() {
    return ::mount("tmpfs", where_.c_str(), "tmpfs", MS_REMOUNT | MS_RDONLY, nullptr) == 0;
  }

 private:
  std::string where_;
  bool mounted_ = false;
};

// Writes into `folder` until the file system is full.
void Fill(const std::string& folder) {
  std::FILE* f = std::fopen((folder + "/filler").c_str(), "w");
  ASSERT_NE(f, nullptr);
  const std::string block(4096, 'x');
  while (std::fwrite(block.data(), 1, block.size(), f) == block.size()) {
  }
  std::fclose(f);
}

TEST_F(AppTest, HistoryStaysWholeAfterKillNineDuringACycle) {
  // Three answering rows and one whose server takes 150 ms, so the program
  // is most of its time inside a cycle.
  MwServerProcess servers({"--listen", "127.0.3.1-127.0.3.3:0"});
  ASSERT_TRUE(servers.ready()) << servers.Output();
  MwServerProcess slow(
      {"--delay", "150", "--listen", "127.0.3.4:" + std::to_string(servers.port())});
  ASSERT_TRUE(slow.ready()) << slow.Output();
  AppSetup a;
  a.interval = "50";
  a.probe_port = servers.port();
  a.rows = {{1, "127.0.3.1"}, {2, "127.0.3.2"}, {3, "127.0.3.4"}, {4, "127.0.3.3"}};
  a.history = "database = \"history.sqlite\"\n";
  const std::string path = WriteSettings(a);

  tallyvox::testing::ChildProcess tallyvox({Tallyvox(), "--headless", "--config", path});
  ASSERT_TRUE(
      WaitUntil([&] { return CountContaining(Lines(tallyvox.Output()), "cycle: ") >= 5; }, 20s))
      << tallyvox.Output();
  // Into the next cycle: past its slow row's start.
  std::this_thread::sleep_for(100ms);
  const int cycles_seen = CountContaining(Lines(tallyvox.Output()), "cycle: ");
  ASSERT_EQ(::kill(tallyvox.pid(), SIGKILL), 0);
  tallyvox.Wait(5s);

  HistoryDb db(dir_.File("history.sqlite"));
  EXPECT_EQ(db.IntegrityCheck(), "ok");
  int cycles = 0, rows = 0;
  db.ForEachCycle(0, [&](const history::CycleRecord& c) {
    ++cycles;
    rows += c.rows;
    EXPECT_EQ(c.rows, 4);
  });
  int probes = 0;
  db.ForEachProbe(0, 0, [&](const history::ProbeRecord& p) {
    ++probes;
    EXPECT_TRUE(p.answered) << p.row << " " << p.reason;
  });
  // Nothing but the cycle under way (and one handed over as the kill came)
  // is missing, and no cycle is there in part.
  EXPECT_GE(cycles, cycles_seen - 1);
  EXPECT_EQ(probes, rows);
}

// The history's folder full or read-only: the failure is one line per
// cycle, and the probes, the audit table and the exit status are as
// without a history.
TEST_F(AppTest, AFullOrReadOnlyHistoryFolderIsReportedAndPollingGoesOn) {
  MwServerProcess servers({"--listen", "127.0.3.1:0"});
  ASSERT_TRUE(servers.ready()) << servers.Output();
  struct Case {
    const char* name;
    bool full;
    std::string reason;
  };
  for (const Case& c : std::vector<Case>{{"full", true, "database or disk is full"},
                                         {"read-only", false, "cannot "}}) {
    SCOPED_TRACE(c.name);
    const std::string folder = dir_.File(std::string("fs-") + c.name);
    Tmpfs fs(folder, "256k");
    if (!fs.mounted()) GTEST_SKIP() << "cannot mount a tmpfs here (not root)";
    const std::string database = folder + "/history.sqlite";
    // A database that worked before, open in another reader while the disk
    // fills, so its log and shared memory files are there already.
    auto made = std::make_unique<HistoryDb>(database);
    if (!c.full) made.reset();
    if (c.full) {
      Fill(folder);
    } else {
      ASSERT_TRUE(fs.MakeReadOnly());
    }
    AppSetup a;
    a.probe_port = servers.port();
    a.rows = {{2, "127.0.3.1"}};
    a.history = "database = \"" + database + "\"\n";
    const std::string path = WriteSettings(a);
    std::string out;
    EXPECT_EQ(RunCommand(Tallyvox() + " --headless --once --config " + path, &out), 0) << out;
    EXPECT_NE(out.find("row 2 127.0.3.1: OK 1"), std::string::npos) << out;
    EXPECT_NE(out.find("cycle: 1 rows, 0 failed"), std::string::npos) << out;
    const auto lines = Lines(out);
    ASSERT_EQ(CountContaining(lines, " history: " + database + ": "), 1) << out;
    EXPECT_EQ(CountContaining(lines, "lost 1 probe, 0 alerts, polling goes on"), 1) << out;
    EXPECT_EQ(CountContaining(lines, c.reason), 1) << out;
    if (c.full) {
      made.reset();
      ::unlink((folder + "/filler").c_str());
      HistoryDb db(database);
      EXPECT_EQ(db.IntegrityCheck(), "ok");
    }
  }
}

}  // namespace
}  // namespace tallyvox::monitor::testing
