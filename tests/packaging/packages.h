// What each Debian package of Tallyvox holds and depends on, shared by the
// packaging tests.
#ifndef TALLYVOX_TESTS_PACKAGING_PACKAGES_H_
#define TALLYVOX_TESTS_PACKAGING_PACKAGES_H_

#include <string>
#include <vector>

namespace tallyvox::testing {

inline constexpr const char* kDebVersion = "2.4-1";

struct PackageFiles {
  std::string name;
  // Every file, relative to the prefix (/usr in the package).
  std::vector<std::string> files;
  // Texts that its Depends field must hold, and library packages it must not
  // depend on.
  std::vector<std::string> depends;
  std::vector<std::string> never_depends;
};

inline const std::vector<PackageFiles> kPackages = {
    {"tallyvox",
     {"bin/tallyvox", "libexec/tallyvox/tallyvox-monitor", "lib/systemd/system/tallyvox.service",
      "share/man/man1/tallyvox.1.gz", "share/tallyvox/tallyvox.rules.yml",
      "share/tallyvox/prometheus.yml", "share/tallyvox/tallyvox-targets.yml",
      "share/tallyvox/alertmanager.yml", "share/doc/tallyvox/tallyvox.example.toml",
      "share/doc/tallyvox/README.md", "share/doc/tallyvox/copyright",
      "share/doc/tallyvox/changelog.Debian.gz", "share/lintian/overrides/tallyvox"},
     {"libqt6core6", "libssl3", "libtomlplusplus3", "libsqlite3-0", "libstdc++6", "libc6"},
     // The metrics endpoint runs on our own HTTP server.
     {"libqt6gui6", "libqt6widgets6", "libx11", "libxcb", "libgl", "httplib"}},
    {"tallyvox-window",
     {"libexec/tallyvox/tallyvox-window", "libexec/tallyvox/tallyvox-report",
      "share/applications/tallyvox.desktop",
      "share/doc/tallyvox-window/copyright", "share/doc/tallyvox-window/changelog.Debian.gz",
      "share/lintian/overrides/tallyvox-window"},
     {"tallyvox (= 2.4-1)", "libqt6widgets6", "libqt6gui6", "libqt6svg6", "libqt6core6"},
     {"httplib"}},
    {"tallyvox-tools",
     {"bin/mwserver", "bin/dbetool", "share/man/man1/mwserver.1.gz", "share/man/man1/dbetool.1.gz",
      "share/doc/tallyvox-tools/copyright", "share/doc/tallyvox-tools/changelog.Debian.gz",
      "share/lintian/overrides/tallyvox-tools"},
     {"libstdc++6", "libc6"},
     {"libqt6", "libssl3", "tallyvox"}},
};

// The program that the unit's ExecStart runs, from the unit's text.
inline std::string UnitExecStart(const std::string& unit) {
  const size_t at = unit.find("\nExecStart=");
  return at == std::string::npos ? "" : unit.substr(at + 11, unit.find(' ', at) - at - 11);
}

}  // namespace tallyvox::testing

#endif  // TALLYVOX_TESTS_PACKAGING_PACKAGES_H_
