#include "metrics/process_metrics.h"

#include <dirent.h>
#include <sys/resource.h>
#include <unistd.h>

#include <charconv>
#include <ctime>
#include <vector>

#include "base/small_file.h"
#include "metrics/metric_store.h"

namespace tallyvox::metrics {
namespace {

// /proc/self/stat is a few hundred bytes.
constexpr size_t kStatCap = 4096;

// Fields counted from the state, the first after the command name.
constexpr size_t kUtime = 11;
constexpr size_t kStime = 12;
constexpr size_t kStartTime = 19;
constexpr size_t kVsize = 20;
constexpr size_t kRss = 21;

constexpr MetricFamily kFamilies[] = {
    {"process_cpu_seconds_total", MetricType::kCounter,
     "Total user and system CPU time spent in seconds."},
    {"process_open_fds", MetricType::kGauge, "Number of open file descriptors."},
    {"process_max_fds", MetricType::kGauge, "Maximum number of open file descriptors."},
    {"process_virtual_memory_bytes", MetricType::kGauge, "Virtual memory size in bytes."},
    {"process_resident_memory_bytes", MetricType::kGauge, "Resident memory size in bytes."},
    {"process_start_time_seconds", MetricType::kGauge,
     "Start time of the process since unix epoch in seconds."},
};

std::optional<unsigned long long> Number(std::string_view text) {
  unsigned long long value = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end != text.data() + text.size() || text.empty()) return std::nullopt;
  return value;
}

std::optional<double> OpenFds() {
  DIR* dir = ::opendir("/proc/self/fd");
  if (dir == nullptr) return std::nullopt;
  double count = 0;
  while (const dirent* entry = ::readdir(dir)) {
    if (entry->d_name[0] != '.') ++count;
  }
  ::closedir(dir);
  return count;
}

// Unix time of the start: now, less the time since the start on the boot
// clock (the one /proc's start ticks count on).
std::optional<double> StartTime(const ProcStat& stat, long ticks) {
  timespec boot{};
  timespec real{};
  if (::clock_gettime(CLOCK_BOOTTIME, &boot) != 0 || ::clock_gettime(CLOCK_REALTIME, &real) != 0) {
    return std::nullopt;
  }
  const auto seconds = [](const timespec& t) {
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
  };
  const double since_boot = static_cast<double>(stat.start_ticks) / static_cast<double>(ticks);
  return seconds(real) - (seconds(boot) - since_boot);
}

}  // namespace

std::optional<ProcStat> ParseProcStat(std::string_view text) {
  const size_t close = text.rfind(')');
  if (close == std::string_view::npos) return std::nullopt;
  std::vector<std::string_view> fields;
  size_t at = close + 1;
  while (fields.size() <= kRss) {
    while (at < text.size() && (text[at] == ' ' || text[at] == '\n')) ++at;
    if (at >= text.size()) return std::nullopt;
    const size_t end = text.find_first_of(" \n", at);
    const size_t stop = end == std::string_view::npos ? text.size() : end;
    fields.push_back(text.substr(at, stop - at));
    at = stop;
  }
  const auto utime = Number(fields[kUtime]);
  const auto stime = Number(fields[kStime]);
  const auto start = Number(fields[kStartTime]);
  const auto vsize = Number(fields[kVsize]);
  const auto rss = Number(fields[kRss]);
  if (!utime || !stime || !start || !vsize || !rss) return std::nullopt;
  return ProcStat{*utime + *stime, *start, *vsize, *rss};
}

std::string RenderProcessMetrics() {
  MetricStore store;
  for (const MetricFamily& family : kFamilies) store.Declare(family);
  const long ticks = ::sysconf(_SC_CLK_TCK);
  const long page = ::sysconf(_SC_PAGESIZE);
  const SmallFile stat_file = ReadSmallFile("/proc/self/stat", kStatCap);
  const auto stat = stat_file.ok() ? ParseProcStat(stat_file.contents) : std::nullopt;
  if (stat && ticks > 0 && page > 0) {
    store.Set("process_cpu_seconds_total", {},
              static_cast<double>(stat->cpu_ticks) / static_cast<double>(ticks));
    store.Set("process_virtual_memory_bytes", {}, static_cast<double>(stat->virtual_bytes));
    store.Set("process_resident_memory_bytes", {},
              static_cast<double>(stat->resident_pages) * static_cast<double>(page));
    if (const auto start = StartTime(*stat, ticks)) {
      store.Set("process_start_time_seconds", {}, *start);
    }
  }
  if (const auto fds = OpenFds()) store.Set("process_open_fds", {}, *fds);
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) == 0) {
    store.Set("process_max_fds", {}, static_cast<double>(limit.rlim_cur));
  }
  return store.Render();
}

}  // namespace tallyvox::metrics
