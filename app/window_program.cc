#include "app/window_program.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <system_error>

namespace tallyvox::app {

namespace {
constexpr int kExitUsage = 3;
constexpr const char* kWindowProgram = "tallyvox-window";
}  // namespace

std::vector<std::string> WindowProgramCandidates(const std::string& self) {
  const std::filesystem::path dir = std::filesystem::path(self).parent_path();
  return {(dir / kWindowProgram).string(),
          (dir.parent_path() / "libexec" / "tallyvox" / kWindowProgram).string()};
}

int ExecWindowProgram(char** argv) {
  std::error_code ec;
  const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", ec);
  if (ec) {
    std::fprintf(stderr, "tallyvox: cannot find the window program: /proc/self/exe: %s\n",
                 ec.message().c_str());
    return kExitUsage;
  }
  const std::vector<std::string> candidates = WindowProgramCandidates(self.string());
  int first_error = 0;
  for (const std::string& path : candidates) {
    ::execv(path.c_str(), argv);
    if (first_error == 0 || first_error == ENOENT) first_error = errno;
  }
  std::fprintf(stderr,
               "tallyvox: cannot start the window program (%s; looked for %s and %s); "
               "tallyvox --headless runs without it\n",
               std::strerror(first_error), candidates[0].c_str(), candidates[1].c_str());
  return kExitUsage;
}

}  // namespace tallyvox::app
