// The outbox on a real folder: durable files in the order raised across a
// reopen, the bound, corrupt and foreign files moved aside, leftovers of an
// interrupted write, one process at a time, and the faults of a full disk
// or a read-only folder (through a fault-injecting Env). Hostile folders:
// things planted at the next temporary name, an "aside" that is a link, a
// folder others may write in or another user owns.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <functional>
#include <string>
#include <vector>

#include "outbox/outbox.h"
#include "support/alert_fakes.h"
#include "support/support.h"

namespace tallyvox::monitor::testing {
namespace {

using tallyvox::testing::ReadFile;
using tallyvox::testing::TempDir;
using tallyvox::testing::WriteFile;

QueuedAlert Alert(const std::string& text, int minute = 0) {
  return {EncodeDate(2025, 6, 24) + EncodeTime(12, minute, 0, 0), kDownSubject, {"erols"}, text};
}

// The names in a folder, sorted.
std::vector<std::string> Names(const std::string& folder) {
  std::vector<std::string> names;
  OutboxEnv::Default()->ListFolder(folder, &names);
  std::sort(names.begin(), names.end());
  return names;
}

std::vector<std::string> Texts(const Outbox& outbox) {
  std::vector<std::string> texts;
  for (const OutboxEntry& e : outbox.Pending()) texts.push_back(e.alert.text);
  return texts;
}

struct OutboxFixture {
  TempDir dir;
  std::string folder = dir.File("outbox");
  std::vector<std::string> log;
  Outbox::Log Logger() {
    return [this](const std::string& line) { log.push_back(line); };
  }
};

TEST(OutboxTest, KeepsAlertsInOrderAcrossAReopen) {
  OutboxFixture f;
  {
    Outbox outbox(f.folder, 10, f.Logger());
    outbox.Open();  // makes the folder
    EXPECT_EQ(outbox.Add(Alert("a")), 1u);
    EXPECT_EQ(outbox.Add(Alert("b")), 2u);
    EXPECT_EQ(outbox.Add(Alert("c")), 3u);
    outbox.Remove(1);
    outbox.Remove(1);  // no longer pending: ignored
  }
  EXPECT_EQ(Names(f.folder),
            (std::vector<std::string>{"00000000000000000002.alert", "00000000000000000003.alert"}));
  EXPECT_EQ(ParseAlertFile(ReadFile(f.folder + "/00000000000000000003.alert")), Alert("c"));
  Outbox again(f.folder, 10, f.Logger());
  again.Open();
  EXPECT_EQ(Texts(again), (std::vector<std::string>{"b", "c"}));
  EXPECT_EQ(again.Add(Alert("d")), 4u);  // numbers go on growing
  EXPECT_EQ(f.log,
            std::vector<std::string>{"outbox " + f.folder + ": 2 alerts waiting from before"});
}

TEST(OutboxTest, PastTheBoundTheOldestIsDroppedWithALogLine) {
  OutboxFixture f;
  Outbox outbox(f.folder, 3, f.Logger());
  outbox.Open();
  for (int i = 1; i <= 5; ++i) outbox.Add(Alert("IP 10.0.0." + std::to_string(i) + " Is Down!", i));
  EXPECT_EQ(Texts(outbox), (std::vector<std::string>{"IP 10.0.0.3 Is Down!", "IP 10.0.0.4 Is Down!",
                                                     "IP 10.0.0.5 Is Down!"}));
  EXPECT_EQ(Names(f.folder).size(), 3u);
  EXPECT_EQ(f.log, (std::vector<std::string>{
                       "outbox " + f.folder +
                           ": full (3 alerts): dropped the oldest, raised 2025-06-24 "
                           "12:01:00.000: IP 10.0.0.1 Is Down!",
                       "outbox " + f.folder +
                           ": full (3 alerts): dropped the oldest, raised 2025-06-24 "
                           "12:02:00.000: IP 10.0.0.2 Is Down!"}));
}

TEST(OutboxTest, CorruptAndForeignFilesAreMovedAsideAndTheOthersKept) {
  OutboxFixture f;
  {
    Outbox outbox(f.folder, 10, f.Logger());
    outbox.Open();
    for (const char* text : {"a", "b", "c", "d"}) outbox.Add(Alert(text));
  }
  const std::string good = ReadFile(f.folder + "/00000000000000000002.alert");
  WriteFile(f.folder + "/00000000000000000002.alert", good.substr(0, good.find("accounts ")));
  WriteFile(f.folder + "/00000000000000000004.alert", std::string(kMaxAlertFileBytes + 1, 'x'));
  WriteFile(f.folder + "/notes.txt", "mine");
  WriteFile(f.folder + "/.tmp-00000000000000000005.alert", "half");  // an interrupted write
  ::mkdir((f.folder + "/aside").c_str(), 0700);
  WriteFile(f.folder + "/aside/notes.txt", "moved before");

  Outbox outbox(f.folder, 10, f.Logger());
  outbox.Open();
  EXPECT_EQ(Texts(outbox), (std::vector<std::string>{"a", "c"}));
  EXPECT_EQ(Names(f.folder), (std::vector<std::string>{"00000000000000000001.alert",
                                                       "00000000000000000003.alert", "aside"}));
  EXPECT_EQ(Names(f.folder + "/aside"),
            (std::vector<std::string>{"00000000000000000002.alert", "00000000000000000004.alert",
                                      "notes.txt", "notes.txt.1"}));
  EXPECT_EQ(ReadFile(f.folder + "/aside/notes.txt.1"), "mine");
  const std::string at = "outbox " + f.folder + ": ";
  EXPECT_EQ(f.log, (std::vector<std::string>{
                       at + "removed .tmp-00000000000000000005.alert, an unfinished write",
                       at + "moved 00000000000000000002.alert aside to " + f.folder +
                           "/aside/00000000000000000002.alert: corrupt: truncated: 3 of 6 lines",
                       at + "moved 00000000000000000004.alert aside to " + f.folder +
                           "/aside/00000000000000000004.alert: corrupt: longer than 16384 bytes",
                       at + "moved notes.txt aside to " + f.folder +
                           "/aside/notes.txt.1: not an alert file",
                       at + "2 alerts waiting from before"}));
  EXPECT_EQ(outbox.Add(Alert("e")), 4u);  // after the highest number still pending
}

// Anyone may name a file in the folder: the log quotes the names with their control
// bytes escaped (and the files themselves are moved under their own names).
TEST(OutboxTest, NamesInTheLogHaveTheirControlBytesEscaped) {
  OutboxFixture f;
  ::mkdir(f.folder.c_str(), 0700);
  const std::string name = "x\x1b[2J\r\nOK\x7f";
  WriteFile(f.folder + "/" + name, "mine");
  WriteFile(f.folder + "/.tmp-\x1b]0;t\x07", "half");
  Outbox outbox(f.folder, 10, f.Logger());
  outbox.Open();
  EXPECT_EQ(Names(f.folder + "/aside"), std::vector<std::string>{name});
  const std::string at = "outbox " + f.folder + ": ";
  EXPECT_EQ(f.log,
            (std::vector<std::string>{at + "removed .tmp-\\x1b]0;t\\x07, an unfinished write",
                                      at + "moved x\\x1b[2J\\r\\nOK\\x7f aside to " + f.folder +
                                          "/aside/x\\x1b[2J\\r\\nOK\\x7f: not an alert file"}));
}

TEST(OutboxTest, OneProcessAtATime) {
  OutboxFixture f;
  Outbox first(f.folder, 10, f.Logger());
  first.Open();
  Outbox second(f.folder, 10, f.Logger());
  EXPECT_THROW(
      {
        try {
          second.Open();
        } catch (const OutboxError& e) {
          EXPECT_STREQ(e.what(), ("outbox " + f.folder + ": another Tallyvox is using it").c_str());
          throw;
        }
      },
      OutboxError);
  EXPECT_FALSE(second.IsOpen());
}

// A full disk, a read-only folder, a failing fsync: Add raises with the
// reason, keeps nothing (no alert, no temporary file) and works again once
// the fault is gone.
TEST(OutboxTest, WriteFaultsKeepNothingAndSaySo) {
  struct Case {
    const char* name;
    FaultOutboxEnv::Op op;
    int err;
    std::string message;  // after "outbox <folder>: "
  };
  const std::vector<Case> cases = {
      {"disk full", FaultOutboxEnv::kWrite, ENOSPC,
       "cannot write 00000000000000000002.alert: No space left on device"},
      {"read-only folder", FaultOutboxEnv::kWrite, EROFS,
       "cannot write 00000000000000000002.alert: Read-only file system"},
      {"rename refused", FaultOutboxEnv::kRename, EACCES,
       "cannot write 00000000000000000002.alert: Permission denied"},
      {"fsync of the folder fails", FaultOutboxEnv::kSync, EIO,
       "cannot write 00000000000000000002.alert: Input/output error"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    OutboxFixture f;
    FaultOutboxEnv env;
    Outbox outbox(f.folder, 10, f.Logger(), &env);
    outbox.Open();
    outbox.Add(Alert("a"));
    env.Fail(c.op, c.err);
    try {
      outbox.Add(Alert("b"));
      ADD_FAILURE() << "kept";
    } catch (const OutboxError& e) {
      EXPECT_EQ(std::string(e.what()), "outbox " + f.folder + ": " + c.message);
    }
    EXPECT_EQ(Texts(outbox), std::vector<std::string>{"a"});
    EXPECT_EQ(Names(f.folder), std::vector<std::string>{"00000000000000000001.alert"});
    env.Heal();
    EXPECT_EQ(outbox.Add(Alert("b")), 2u);
  }
}

TEST(OutboxTest, AFolderThatCannotBeMadeOrIsNoFolderIsRefused) {
  OutboxFixture f;
  FaultOutboxEnv env;
  env.Fail(FaultOutboxEnv::kMakeFolder, EROFS);
  Outbox readonly(f.folder, 10, f.Logger(), &env);
  EXPECT_THROW(readonly.Open(), OutboxError);
  try {
    readonly.Open();  // may be tried again
  } catch (const OutboxError& e) {
    EXPECT_EQ(std::string(e.what()),
              "outbox " + f.folder + ": cannot make the folder: Read-only file system");
  }
  WriteFile(f.folder, "a file");
  Outbox file(f.folder, 10, f.Logger());
  try {
    file.Open();
    ADD_FAILURE() << "opened";
  } catch (const OutboxError& e) {
    EXPECT_EQ(std::string(e.what()),
              "outbox " + f.folder + ": cannot use it as the outbox: Not a directory");
  }
  Outbox no_parent(f.dir.File("missing/outbox"), 10, f.Logger());
  EXPECT_THROW(no_parent.Open(), OutboxError);
}

// Whatever is at the next temporary name (a link to a file outside, a
// link to where a file could be made, a folder) is never written through:
// the target stays as it was and the alert is kept all the same. A restart
// removes the planted link itself, not its target, and reads the alert.
TEST(OutboxTest, SomethingPlantedAtTheNextTemporaryNameIsNotWrittenThrough) {
  struct Case {
    const char* name;
    std::function<void(const std::string& temp, const std::string& victim)> plant;
    bool victim_exists;
  };
  const std::vector<Case> cases = {
      {"link to a file",
       [](const std::string& temp, const std::string& victim) {
         WriteFile(victim, "precious");
         ASSERT_EQ(::symlink(victim.c_str(), temp.c_str()), 0);
       },
       true},
      {"dangling link",
       [](const std::string& temp, const std::string& victim) {
         ASSERT_EQ(::symlink(victim.c_str(), temp.c_str()), 0);
       },
       false},
      {"folder",
       [](const std::string& temp, const std::string&) {
         ASSERT_EQ(::mkdir(temp.c_str(), 0700), 0);
       },
       false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    OutboxFixture f;
    const std::string temp = f.folder + "/.tmp-00000000000000000001.alert";
    const std::string victim = f.dir.File("victim");
    {
      Outbox outbox(f.folder, 10, f.Logger());
      outbox.Open();
      c.plant(temp, victim);
      EXPECT_EQ(outbox.Add(Alert("a")), 1u);
      EXPECT_EQ(Texts(outbox), std::vector<std::string>{"a"});
    }
    EXPECT_EQ(ReadFile(victim), c.victim_exists ? "precious" : "");
    EXPECT_EQ(::access(victim.c_str(), F_OK) == 0, c.victim_exists);
    EXPECT_EQ(ParseAlertFile(ReadFile(f.folder + "/00000000000000000001.alert")), Alert("a"));
    EXPECT_EQ(f.log, std::vector<std::string>{
                         "outbox " + f.folder +
                         ": .tmp-00000000000000000001.alert is in the way; the alert is "
                         "written through another name"});

    Outbox again(f.folder, 10, f.Logger());
    again.Open();
    EXPECT_EQ(Texts(again), std::vector<std::string>{"a"});
    EXPECT_EQ(ReadFile(victim), c.victim_exists ? "precious" : "");
    EXPECT_EQ(::access(victim.c_str(), F_OK) == 0, c.victim_exists);
  }
}

// An "aside" that is no folder of its own (a link to a folder outside the
// outbox, a plain file) is refused: the foreign file stays where it is, and
// nothing lands outside the outbox.
TEST(OutboxTest, AnAsideThatIsALinkOrNoFolderIsRefused) {
  struct Case {
    const char* name;
    bool link;
    std::string problem;
  };
  const std::vector<Case> cases = {
      {"link to a folder outside", true, "aside is a symbolic link, which is refused"},
      {"plain file", false, "aside is not a folder"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    OutboxFixture f;
    {
      Outbox outbox(f.folder, 10, f.Logger());
      outbox.Open();
      outbox.Add(Alert("a"));
    }
    const std::string outside = f.dir.File("outside");
    ASSERT_EQ(::mkdir(outside.c_str(), 0700), 0);
    if (c.link) {
      ASSERT_EQ(::symlink(outside.c_str(), (f.folder + "/aside").c_str()), 0);
    } else {
      WriteFile(f.folder + "/aside", "not a folder");
    }
    WriteFile(f.folder + "/notes.txt", "mine");

    Outbox outbox(f.folder, 10, f.Logger());
    outbox.Open();
    EXPECT_EQ(Texts(outbox), std::vector<std::string>{"a"});
    EXPECT_TRUE(Names(outside).empty());
    EXPECT_EQ(ReadFile(f.folder + "/notes.txt"), "mine");
    EXPECT_EQ(f.log,
              (std::vector<std::string>{"outbox " + f.folder +
                                            ": cannot move notes.txt aside (not an alert file): " +
                                            c.problem + "; it is left where it is",
                                        "outbox " + f.folder + ": 1 alert waiting from before"}));
  }
}

// Whoever may write in the outbox folder may plant alerts to be mailed and
// links to be written through: a folder that group or others may write in,
// or that another user owns, is refused (nothing in it is read), and taken
// once it is private again.
TEST(OutboxTest, AFolderOthersMayWriteInOrAnotherUserOwnsIsRefused) {
  struct Case {
    const char* name;
    mode_t mode;
    bool foreign;         // owned by user 65534 (needs root to arrange)
    std::string message;  // after "outbox <folder>: refused: "
  };
  const std::string us = std::to_string(::geteuid());
  const std::vector<Case> cases = {
      {"world-writable", 0777, false, "other users may write in the folder (mode 777)"},
      {"group-writable", 0770, false, "other users may write in the folder (mode 770)"},
      {"sticky, as /tmp", 01733, false, "other users may write in the folder (mode 733)"},
      {"another user's", 0700, true,
       "the folder belongs to user 65534, and Tallyvox runs as user " + us +
           "; an outbox must be Tallyvox's own"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.foreign && ::geteuid() != 0) continue;  // only root can give a folder away
    OutboxFixture f;
    {
      Outbox outbox(f.folder, 10, f.Logger());
      outbox.Open();
      outbox.Add(Alert("a"));
    }
    ASSERT_EQ(::chmod(f.folder.c_str(), c.mode), 0);
    if (c.foreign) {
      ASSERT_EQ(::chown(f.folder.c_str(), 65534, 65534), 0);
    }
    Outbox outbox(f.folder, 10, f.Logger());
    try {
      outbox.Open();
      ADD_FAILURE() << "opened";
    } catch (const OutboxError& e) {
      EXPECT_EQ(std::string(e.what()).rfind("outbox " + f.folder + ": refused: " + c.message, 0),
                0u)
          << e.what();
    }
    EXPECT_FALSE(outbox.IsOpen());
    EXPECT_TRUE(outbox.Pending().empty());

    if (c.foreign) {
      ASSERT_EQ(::chown(f.folder.c_str(), ::geteuid(), ::getegid()), 0);
    }
    ASSERT_EQ(::chmod(f.folder.c_str(), 0755), 0);  // others may read, not write
    outbox.Open();
    EXPECT_EQ(Texts(outbox), std::vector<std::string>{"a"});
  }
}

}  // namespace
}  // namespace tallyvox::monitor::testing
