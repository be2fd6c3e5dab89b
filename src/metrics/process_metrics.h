// The process_* metrics that the Prometheus client libraries export, read
// from /proc at each scrape:
//   process_cpu_seconds_total       counter  user and system CPU time
//   process_start_time_seconds      gauge    start, Unix time (from the
//                                            start's ticks after boot and
//                                            the boot clock: /proc/stat may
//                                            be hidden, as in the unit)
//   process_resident_memory_bytes   gauge
//   process_virtual_memory_bytes    gauge
//   process_open_fds                gauge    entries of /proc/self/fd
//   process_max_fds                 gauge    the soft RLIMIT_NOFILE
// A value that cannot be read leaves its family without a sample; the
// scrape goes on.
#ifndef TALLYVOX_METRICS_PROCESS_METRICS_H_
#define TALLYVOX_METRICS_PROCESS_METRICS_H_

#include <optional>
#include <string>
#include <string_view>

namespace tallyvox::metrics {

// The fields of /proc/self/stat the metrics take, in their own units.
struct ProcStat {
  unsigned long long cpu_ticks = 0;    // utime + stime, clock ticks
  unsigned long long start_ticks = 0;  // clock ticks after boot
  unsigned long long virtual_bytes = 0;
  unsigned long long resident_pages = 0;
};

// Parses the text of /proc/PID/stat. The command name, in brackets, may hold
// any byte, brackets and blanks included: the fields are counted after its
// last ')'. Nullopt for text that is truncated or not numbers where numbers
// belong.
std::optional<ProcStat> ParseProcStat(std::string_view text);

// The families above as Prometheus text, from this process's /proc.
std::string RenderProcessMetrics();

}  // namespace tallyvox::metrics

#endif  // TALLYVOX_METRICS_PROCESS_METRICS_H_
