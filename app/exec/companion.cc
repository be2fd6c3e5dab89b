#include "exec/companion.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <system_error>

namespace tallyvox::app {

namespace {
constexpr int kExitUsage = 3;
}  // namespace

std::vector<std::string> CompanionCandidates(const std::string& self, const std::string& name) {
  const std::filesystem::path dir = std::filesystem::path(self).parent_path();
  return {(dir / name).string(), (dir.parent_path() / "libexec" / "tallyvox" / name).string()};
}

int ExecCompanion(const std::string& name, char** argv, const std::string& what,
                  const std::string& advice) {
  std::error_code ec;
  const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", ec);
  if (ec) {
    std::fprintf(stderr, "tallyvox: cannot find the %s: /proc/self/exe: %s\n", what.c_str(),
                 ec.message().c_str());
    return kExitUsage;
  }
  const std::vector<std::string> candidates = CompanionCandidates(self.string(), name);
  int first_error = 0;
  for (const std::string& path : candidates) {
    ::execv(path.c_str(), argv);
    if (first_error == 0 || first_error == ENOENT) first_error = errno;
  }
  std::fprintf(stderr, "tallyvox: cannot start the %s (%s; looked for %s and %s)%s\n", what.c_str(),
               std::strerror(first_error), candidates[0].c_str(), candidates[1].c_str(),
               advice.c_str());
  return kExitUsage;
}

}  // namespace tallyvox::app
