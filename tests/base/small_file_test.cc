// ReadSmallFile: the limit at its edge, what is not a regular file, links
// followed or refused, and the reasons it gives.
#include "base/small_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <vector>

#include "support/support.h"

namespace tallyvox {
namespace {

using tallyvox::testing::TempDir;
using tallyvox::testing::WriteFile;
using Outcome = SmallFile::Outcome;

TEST(SmallFileTest, ReadsUpToTheLimitAndRefusesOneByteMore) {
  TempDir dir;
  struct Case {
    const char* name;
    std::string contents;
    Outcome outcome;
  };
  const std::vector<Case> cases = {
      {"empty", "", Outcome::kRead},
      {"at the limit", std::string(4096, 'x'), Outcome::kRead},
      {"one byte more", std::string(4097, 'x'), Outcome::kTooLarge},
      {"much more", std::string(100000, 'x'), Outcome::kTooLarge},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string path = dir.File("file");
    WriteFile(path, c.contents);
    ::chmod(path.c_str(), 0640);
    const SmallFile file = ReadSmallFile(path, 4096);
    EXPECT_EQ(file.outcome, c.outcome);
    EXPECT_EQ(file.contents, c.outcome == Outcome::kRead ? c.contents : "");
    EXPECT_EQ(file.mode & 0777, 0640u);
    EXPECT_EQ(file.owner, ::geteuid());
    if (c.outcome == Outcome::kTooLarge) {
      EXPECT_EQ(WhyNotRead(file, 4096), "it is larger than 4 KiB");
    }
  }
}

// A FIFO without a writer is refused at once, not waited on; a device and
// a folder are refused before anything is read.
TEST(SmallFileTest, WhatIsNotARegularFileIsRefusedWithWhatItIs) {
  TempDir dir;
  const std::string fifo = dir.File("fifo");
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  struct Case {
    std::string path;
    std::string why;
  };
  const std::vector<Case> cases = {
      {fifo, "it is a named pipe (FIFO), not a regular file"},
      {"/dev/null", "it is a device, not a regular file"},
      {dir.path(), "it is a folder"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    const SmallFile file = ReadSmallFile(c.path, 1024 * 1024);
    EXPECT_EQ(file.outcome, Outcome::kNotRegular);
    EXPECT_EQ(WhyNotRead(file, 1024 * 1024), c.why);
  }
  const SmallFile missing = ReadSmallFile(dir.File("missing"), 10);
  EXPECT_EQ(missing.outcome, Outcome::kOpenFailed);
  EXPECT_EQ(missing.error, ENOENT);
  EXPECT_EQ(WhyNotRead(missing, 10), "No such file or directory");
}

TEST(SmallFileTest, ALinkIsFollowedOnlyWhenAskedTo) {
  TempDir dir;
  WriteFile(dir.File("target"), "secret");
  ASSERT_EQ(::symlink(dir.File("target").c_str(), dir.File("link").c_str()), 0);
  EXPECT_EQ(ReadSmallFile(dir.File("link"), 100).contents, "secret");
  const SmallFile refused = ReadSmallFile(dir.File("link"), 100, SymbolicLinks::kRefuse);
  EXPECT_EQ(refused.outcome, Outcome::kOpenFailed);
  EXPECT_EQ(refused.error, ELOOP);
  EXPECT_EQ(refused.contents, "");
}

}  // namespace
}  // namespace tallyvox
