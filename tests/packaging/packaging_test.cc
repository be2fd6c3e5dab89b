// Packaging: `cmake --install` into a prefix and the Debian package made by
// cpack, unpacked with `dpkg -x` into a throw-away root: every file in
// place, the programs run from there, the package depends on the Debian
// packages of the libraries they link; the systemd unit passes
// `systemd-analyze verify` (where it is installed) and the man page formats
// without a warning.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "support/support.h"

namespace tallyvox::testing {
namespace {

using namespace std::chrono_literals;

bool Executable(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && (st.st_mode & 0111) != 0;
}

const std::vector<std::string> kInstalled = {
    "bin/tallyvox",
    "bin/mwserver",
    "bin/dbetool",
    "libexec/tallyvox/tallyvox-window",
    "lib/systemd/system/tallyvox.service",
    "share/applications/tallyvox.desktop",
    "share/man/man1/tallyvox.1.gz",
    "share/doc/tallyvox/tallyvox.example.toml",
};

// The unit with ExecStart on the program at `bin`.
std::string UnitExecStart(const std::string& unit_path) {
  const std::string unit = ReadFile(unit_path);
  const size_t at = unit.find("\nExecStart=");
  return at == std::string::npos ? "" : unit.substr(at + 11, unit.find(' ', at) - at - 11);
}

TEST(Packaging, CmakeInstallPutsEveryFileUnderThePrefix) {
  TempDir tmp;
  const std::string prefix = tmp.File("prefix");
  std::string out;
  ASSERT_EQ(RunCommand("cmake --install " + BinaryDir() + " --prefix " + prefix, &out, 120s), 0)
      << out;
  for (const std::string& file : kInstalled) {
    EXPECT_FALSE(ReadFile(prefix + "/" + file).empty()) << file;
  }
  EXPECT_TRUE(Executable(prefix + "/bin/tallyvox"));
  EXPECT_EQ(UnitExecStart(prefix + "/lib/systemd/system/tallyvox.service"),
            prefix + "/bin/tallyvox");
}

TEST(Packaging, DebUnpacksWithTheFilesInPlace) {
  TempDir tmp;
  std::string out;
  ASSERT_EQ(RunCommand("cpack --config " + BinaryDir() + "/CPackConfig.cmake -B " +
                           tmp.File("out") + " && ls " + tmp.File("out") + "/*.deb",
                       &out, 240s),
            0)
      << out;
  const std::string deb = tmp.File("out/tallyvox_2.4_amd64.deb");
  ASSERT_NE(out.find(deb), std::string::npos) << out;

  std::string depends;
  ASSERT_EQ(RunCommand("dpkg-deb -f " + deb + " Depends", &depends), 0) << depends;
  for (const char* package :
       {"libqt6core6", "libqt6widgets6", "libssl3", "libtomlplusplus3", "libstdc++6", "libc6"}) {
    EXPECT_NE(depends.find(package), std::string::npos) << depends;
  }
  // The metrics endpoint runs on our own HTTP server.
  EXPECT_EQ(depends.find("httplib"), std::string::npos) << depends;

  const std::string root = tmp.File("root");
  ASSERT_EQ(RunCommand("dpkg -x " + deb + " " + root, &out), 0) << out;
  for (const std::string& file : kInstalled) {
    EXPECT_FALSE(ReadFile(root + "/usr/" + file).empty()) << file;
  }
  for (const char* program : {"tallyvox", "mwserver", "dbetool"}) {
    EXPECT_TRUE(Executable(root + "/usr/bin/" + program)) << program;
  }
  EXPECT_EQ(UnitExecStart(root + "/usr/lib/systemd/system/tallyvox.service"), "/usr/bin/tallyvox");
  EXPECT_EQ(ReadFile(root + "/usr/share/doc/tallyvox/tallyvox.example.toml"),
            ReadFile(SourceDir() + "/tallyvox.example.toml"));

  // The programs run from the unpacked root, the settings template inside.
  ASSERT_EQ(RunCommand(root + "/usr/bin/tallyvox --version", &out), 0) << out;
  EXPECT_EQ(out, "tallyvox 2.4\n");
  ASSERT_EQ(RunCommand(root + "/usr/bin/tallyvox init " + tmp.File("deploy"), &out), 0) << out;
  // tallyvox finds its window program in the package: without a display the
  // window program is the one that answers.
  EXPECT_EQ(RunCommand("env -u DISPLAY -u WAYLAND_DISPLAY " + root + "/usr/bin/tallyvox --config " +
                           tmp.File("deploy/tallyvox.toml"),
                       &out),
            3);
  EXPECT_NE(out.find("tallyvox: no display"), std::string::npos) << out;
  ASSERT_EQ(RunCommand(root + "/usr/bin/dbetool show " + tmp.File("deploy/config.dbf"), &out), 0)
      << out;

  // The unit as systemd reads it, aimed at the unpacked program (verify
  // wants the command to exist) and without looking up the man page.
  std::string analyze;
  if (RunCommand("command -v systemd-analyze", &analyze) != 0) {
    GTEST_SKIP() << "systemd-analyze is not installed";
  }
  std::string unit = ReadFile(root + "/usr/lib/systemd/system/tallyvox.service");
  unit.replace(unit.find("/usr/bin/tallyvox"), 17, root + "/usr/bin/tallyvox");
  WriteFile(tmp.File("tallyvox.service"), unit);
  ASSERT_EQ(RunCommand("systemd-analyze verify --man=no " + tmp.File("tallyvox.service"), &out), 0)
      << out;
  EXPECT_EQ(out, "");  // warnings do not change its exit status
}

TEST(Packaging, ManPageFormatsWithoutWarnings) {
  std::string out;
  ASSERT_EQ(RunCommand("groff -man -ww -z " + SourceDir() + "/packaging/tallyvox.1", &out), 0)
      << out;
  EXPECT_EQ(out, "");
  ASSERT_EQ(RunCommand("MANWIDTH=80 man -l " + SourceDir() + "/packaging/tallyvox.1", &out), 0)
      << out;
  for (const char* text : {"tallyvox probe", "tallyvox init", "--metrics", "SIGHUP",
                           "tallyvox_probe_up", "EXIT STATUS"}) {
    EXPECT_NE(out.find(text), std::string::npos) << text;
  }
}

}  // namespace
}  // namespace tallyvox::testing
