// AvailabilityCache: each row's availability over the last 24 hours (the
// percentage of its probes that answered), counted from the history by a
// thread of its own: at once, then every `refresh_every` (a minute), or
// every `retry_every` (5 s) while the history cannot be read or holds no
// probe of the last day (the writer makes the file at the end of its first
// cycle). Readers
// (the window's tool tips, on the monitor thread) only take the last count
// under a short lock and never wait for the database; a history that cannot
// be read leaves the last count (none at first).
//
// Thread-safe.
#ifndef TALLYVOX_HISTORY_AVAILABILITY_CACHE_H_
#define TALLYVOX_HISTORY_AVAILABILITY_CACHE_H_

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <thread>

#include "base/mutex.h"
#include "base/thread_annotations.h"

namespace tallyvox::history {

struct AvailabilityCacheOptions {
  std::string database;
  std::chrono::milliseconds refresh_every{60000};
  std::chrono::milliseconds retry_every{5000};
  // UTC now in milliseconds (tests replace it); empty: the system clock.
  std::function<int64_t()> now_ms;
};

class AvailabilityCache {
 public:
  explicit AvailabilityCache(AvailabilityCacheOptions options);
  // Stops the thread (at once, or after the count under way).
  ~AvailabilityCache();
  AvailabilityCache(const AvailabilityCache&) = delete;
  AvailabilityCache& operator=(const AvailabilityCache&) = delete;

  // The row's availability over 24 h in percent; none before the first
  // count or for a row without probes then. Never waits for the database.
  std::optional<double> Day(int row) const;
  // "Availability 24 h: 99.93 %", or "" when Day(row) has none.
  std::string DayText(int row) const;
  // Counts done so far (tests wait for them).
  int counts() const;

 private:
  void Run();
  int64_t NowMs() const;

  const AvailabilityCacheOptions options_;
  mutable Mutex mu_;
  CondVar wake_;
  std::map<int, double> day_ GUARDED_BY(mu_);
  int counts_ GUARDED_BY(mu_) = 0;
  bool stopping_ GUARDED_BY(mu_) = false;
  std::thread thread_;
};

}  // namespace tallyvox::history

#endif  // TALLYVOX_HISTORY_AVAILABILITY_CACHE_H_
