#include "base/open_file_limit.h"

#include <sys/resource.h>

#include <cstdio>

namespace tallyvox {
namespace {

// The kernel's ceiling for RLIMIT_NOFILE; 1048576 when it cannot be read.
rlim_t KernelCeiling() {
  rlim_t ceiling = 1048576;
  if (std::FILE* f = std::fopen("/proc/sys/fs/nr_open", "re")) {
    unsigned long value = 0;
    if (std::fscanf(f, "%lu", &value) == 1 && value > 0) ceiling = value;
    std::fclose(f);
  }
  return ceiling;
}

}  // namespace

long RaiseOpenFileLimit() {
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) return -1;
  rlim_t target = limit.rlim_max;
  if (target == RLIM_INFINITY) target = KernelCeiling();
  if (limit.rlim_cur == RLIM_INFINITY || limit.rlim_cur >= target) {
    return static_cast<long>(limit.rlim_cur);
  }
  const rlim_t before = limit.rlim_cur;
  limit.rlim_cur = target;
  if (::setrlimit(RLIMIT_NOFILE, &limit) != 0) return static_cast<long>(before);
  return static_cast<long>(target);
}

}  // namespace tallyvox
