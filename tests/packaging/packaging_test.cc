// Packaging: `cmake --install` into a prefix and the Debian packages made by
// cpack (tallyvox, tallyvox-window, tallyvox-tools), unpacked with `dpkg -x`
// into a throw-away root: each package holds exactly its own files, depends
// on the Debian packages of the libraries its programs link (the headless
// monitor on no graphical one), lintian finds nothing to warn about, the
// programs are hardened and run from there; the man pages format without a
// warning.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "packaging/packages.h"
#include "support/support.h"

namespace tallyvox::testing {
namespace {

using namespace std::chrono_literals;

bool Executable(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && (st.st_mode & 0111) != 0;
}

// The regular files and links in a .deb, as paths below its root ("usr/...").
std::set<std::string> DebFiles(const std::string& deb) {
  std::string listing;
  EXPECT_EQ(RunCommand("dpkg-deb -c " + deb, &listing), 0) << listing;
  std::set<std::string> files;
  std::istringstream lines(listing);
  for (std::string line; std::getline(lines, line);) {
    if (line.empty() || line[0] == 'd') continue;
    std::string path = line.substr(line.rfind(' ') + 1);
    if (path.rfind("./", 0) == 0) path.erase(0, 2);
    files.insert(path);
  }
  return files;
}

std::string DebField(const std::string& deb, const std::string& field) {
  std::string value;
  EXPECT_EQ(RunCommand("dpkg-deb -f " + deb + " " + field, &value), 0) << value;
  return value;
}

TEST(Packaging, CmakeInstallPutsEveryFileUnderThePrefix) {
  TempDir tmp;
  const std::string prefix = tmp.File("prefix");
  std::string out;
  ASSERT_EQ(RunCommand("cmake --install " + BinaryDir() + " --prefix " + prefix, &out, 120s), 0)
      << out;
  for (const PackageFiles& package : kPackages) {
    for (const std::string& file : package.files) {
      EXPECT_FALSE(ReadFile(prefix + "/" + file).empty()) << file;
    }
  }
  EXPECT_TRUE(Executable(prefix + "/bin/tallyvox"));
  EXPECT_EQ(UnitExecStart(ReadFile(prefix + "/lib/systemd/system/tallyvox.service")),
            prefix + "/bin/tallyvox");
}

// One package's .deb: exactly its files (none missing, none of another
// package's, no stray one), its name and version, the dependencies it must
// and must not have, and the maintainer scripts that only the monitor's has.
void CheckDeb(const PackageFiles& package, const std::string& deb, const std::string& tmp) {
  SCOPED_TRACE(package.name);
  std::set<std::string> expected;
  for (const std::string& file : package.files) expected.insert("usr/" + file);
  EXPECT_EQ(DebFiles(deb), expected);
  EXPECT_EQ(DebField(deb, "Package"), package.name + "\n");
  EXPECT_EQ(DebField(deb, "Version"), std::string(kDebVersion) + "\n");

  const std::string depends = DebField(deb, "Depends");
  for (const std::string& dependency : package.depends) {
    EXPECT_NE(depends.find(dependency), std::string::npos) << dependency << " in " << depends;
  }
  for (const std::string& library : package.never_depends) {
    EXPECT_EQ(depends.find(library), std::string::npos) << library << " in " << depends;
  }

  std::string out;
  const std::string control = tmp + "/control-" + package.name;
  ASSERT_EQ(RunCommand("dpkg-deb -e " + deb + " " + control, &out), 0) << out;
  const bool monitor = package.name == "tallyvox";
  for (const char* script : {"postinst", "prerm", "postrm"}) {
    EXPECT_EQ(Executable(control + "/" + script), monitor) << script;
    if (monitor) {
      EXPECT_EQ(ReadFile(control + "/" + script),
                ReadFile(SourceDir() + "/packaging/debian/" + script));
    }
  }
}

// A program as the hardening flags build it: position-independent, full
// RELRO with immediate binding, fortified libc calls and the stack
// protector.
void CheckHardened(const std::string& program) {
  SCOPED_TRACE(program);
  std::string header, dynamic, segments, symbols;
  ASSERT_EQ(RunCommand("readelf -hW " + program, &header), 0) << header;
  ASSERT_EQ(RunCommand("readelf -dW " + program, &dynamic), 0) << dynamic;
  ASSERT_EQ(RunCommand("readelf -lW " + program, &segments), 0) << segments;
  ASSERT_EQ(RunCommand("readelf --dyn-syms -W " + program, &symbols), 0) << symbols;
  EXPECT_NE(header.find("DYN (Position-Independent Executable"), std::string::npos) << header;
  EXPECT_NE(dynamic.find("BIND_NOW"), std::string::npos) << dynamic;
  EXPECT_NE(segments.find("GNU_RELRO"), std::string::npos) << segments;
  EXPECT_NE(symbols.find("_chk@"), std::string::npos) << "no fortified call";
  EXPECT_NE(symbols.find("__stack_chk_fail"), std::string::npos) << "no stack protector";
}

// The programs of the three packages unpacked into one root.
void CheckUnpackedPrograms(const std::string& root, const TempDir& tmp) {
  // Sanitizer builds go without the hardening flags (cmake/Hardening.cmake).
  if (TALLYVOX_HARDENED) {
    for (const char* program :
         {"bin/tallyvox", "libexec/tallyvox/tallyvox-monitor", "libexec/tallyvox/tallyvox-window",
          "libexec/tallyvox/tallyvox-report",
          "bin/mwserver", "bin/dbetool"}) {
      CheckHardened(root + "/usr/" + program);
    }
  }
  EXPECT_EQ(ReadFile(root + "/usr/share/doc/tallyvox/tallyvox.example.toml"),
            ReadFile(SourceDir() + "/tallyvox.example.toml"));
  EXPECT_EQ(ReadFile(root + "/usr/share/tallyvox/tallyvox.rules.yml"),
            ReadFile(SourceDir() + "/packaging/prometheus/tallyvox.rules.yml"));
  EXPECT_EQ(UnitExecStart(ReadFile(root + "/usr/lib/systemd/system/tallyvox.service")),
            "/usr/bin/tallyvox");

  // The headless program maps no graphical library, whatever the package
  // metadata says, and the front that runs the probe not even Qt Core or
  // OpenSSL.
  std::string out;
  ASSERT_EQ(RunCommand("ldd " + root + "/usr/libexec/tallyvox/tallyvox-monitor", &out), 0) << out;
  EXPECT_NE(out.find("libQt6Core"), std::string::npos) << out;
  for (const char* library : {"libQt6Gui", "libQt6Widgets", "libX11", "libxcb", "libGL"}) {
    EXPECT_EQ(out.find(library), std::string::npos) << library << " in " << out;
  }
  ASSERT_EQ(RunCommand("ldd " + root + "/usr/bin/tallyvox", &out), 0) << out;
  for (const char* library : {"libQt6", "libssl", "libcrypto", "libtomlplusplus"}) {
    EXPECT_EQ(out.find(library), std::string::npos) << library << " in " << out;
  }

  // The programs run from the unpacked root, the settings template inside.
  ASSERT_EQ(RunCommand(root + "/usr/bin/tallyvox --version", &out), 0) << out;
  EXPECT_EQ(out, "tallyvox 2.4\n");
  ASSERT_EQ(RunCommand(root + "/usr/bin/tallyvox init " + tmp.File("deploy"), &out), 0) << out;
  // tallyvox finds the window program of tallyvox-window: without a display
  // the window program is the one that answers.
  EXPECT_EQ(RunCommand("env -u DISPLAY -u WAYLAND_DISPLAY " + root + "/usr/bin/tallyvox --config " +
                           tmp.File("deploy/tallyvox.toml"),
                       &out),
            3);
  EXPECT_NE(out.find("tallyvox: no display"), std::string::npos) << out;
  ASSERT_EQ(RunCommand(root + "/usr/bin/dbetool show " + tmp.File("deploy/config.dbf"), &out), 0)
      << out;
  EXPECT_EQ(RunCommand(root + "/usr/bin/mwserver --help", &out), 0) << out;
}

// Debian's checker finds no error and no warning (about 15 s for the three).
void CheckLintian(const std::string& debs) {
  std::string out;
  ASSERT_EQ(RunCommand("command -v lintian", &out), 0)
      << "lintian is missing (scripts/setup installs it)";
  EXPECT_EQ(RunCommand("lintian --fail-on error,warning --tag-display-limit 0" + debs, &out, 120s),
            0)
      << out;
  EXPECT_EQ(("\n" + out).find("\nE: "), std::string::npos) << out;
  EXPECT_EQ(("\n" + out).find("\nW: "), std::string::npos) << out;
}

// The three packages, built once (cpack takes a while).
TEST(Packaging, DebPackagesHoldTheirOwnFilesAndDependencies) {
  TempDir tmp;
  std::string made;
  ASSERT_EQ(RunCommand("cpack --config " + BinaryDir() + "/CPackConfig.cmake -B " +
                           tmp.File("out") + " && ls " + tmp.File("out") + "/*.deb",
                       &made, 240s),
            0)
      << made;
  const std::string root = tmp.File("root");
  std::string out;
  std::string debs;
  for (const PackageFiles& package : kPackages) {
    const std::string deb = tmp.File("out/" + package.name + "_" + kDebVersion + "_amd64.deb");
    ASSERT_NE(made.find(deb), std::string::npos) << made;
    CheckDeb(package, deb, tmp.path());
    ASSERT_EQ(RunCommand("dpkg -x " + deb + " " + root, &out), 0) << out;
    debs += " " + deb;
  }
  CheckUnpackedPrograms(root, tmp);

  // lintian judges the packages as they ship. A sanitizer build's programs
  // are not those (no hardening; other bytes, which the overrides do not fit).
  if (TALLYVOX_HARDENED) CheckLintian(debs);
}

TEST(Packaging, ManPagesFormatWithoutWarnings) {
  struct Page {
    const char* file;
    std::vector<const char*> texts;
  };
  const Page pages[] = {
      {"tallyvox.1",
       {"tallyvox probe", "tallyvox init", "--metrics", "SIGHUP", "tallyvox_probe_up",
        "EXIT STATUS"}},
      {"mwserver.1", {"--listen", "--fault", "mwserver ready", "EXIT STATUS"}},
      {"dbetool.1", {"dbetool create", "dbetool record", "EXIT STATUS"}},
  };
  for (const Page& page : pages) {
    SCOPED_TRACE(page.file);
    const std::string path = SourceDir() + "/packaging/" + page.file;
    std::string out;
    ASSERT_EQ(RunCommand("groff -man -ww -z " + path, &out), 0) << out;
    EXPECT_EQ(out, "");
    ASSERT_EQ(RunCommand("MANWIDTH=80 man -l " + path, &out), 0) << out;
    for (const char* text : page.texts) EXPECT_NE(out.find(text), std::string::npos) << text;
  }
}

}  // namespace
}  // namespace tallyvox::testing
