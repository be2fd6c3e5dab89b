#include "history/availability_cache.h"

#include <algorithm>
#include <cstdio>
#include <utility>

#include "history/history_db.h"

namespace tallyvox::history {
namespace {

constexpr int64_t kDayMs = 86400000;

}  // namespace

AvailabilityCache::AvailabilityCache(AvailabilityCacheOptions options)
    : options_(std::move(options)) {
  thread_ = std::thread([this] { Run(); });
}

AvailabilityCache::~AvailabilityCache() {
  {
    MutexLock lock(&mu_);
    stopping_ = true;
  }
  wake_.SignalAll();
  thread_.join();
}

int64_t AvailabilityCache::NowMs() const {
  if (options_.now_ms) return options_.now_ms();
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

void AvailabilityCache::Run() {
  for (;;) {
    std::map<int, double> day;
    bool counted = false;
    try {
      // Read-only in WAL mode: it never waits for the writer, nor it for us.
      HistoryDb db(options_.database, HistoryDb::Mode::kReadOnly);
      for (const HistoryDb::RowCount& c : db.CountByRow(NowMs() - kDayMs)) {
        day[c.row] = 100.0 * static_cast<double>(c.answered) / static_cast<double>(c.probes);
      }
      counted = true;
    } catch (const HistoryError&) {
      // Not there yet (the writer makes it at its first cycle) or unreadable:
      // the last count stays; the writer reports the file's troubles.
    }
    // A history with no probe of the last day yet (the writer made the file,
    // its first cycle is not written) is tried again as soon as a missing one.
    const bool settled = counted && !day.empty();
    MutexLock lock(&mu_);
    if (counted) day_ = std::move(day);
    ++counts_;
    const auto until =
        std::chrono::steady_clock::now() +
        (settled ? options_.refresh_every : std::min(options_.refresh_every, options_.retry_every));
    while (!stopping_ && wake_.WaitUntil(&mu_, until)) {
    }
    if (stopping_) return;
  }
}

std::optional<double> AvailabilityCache::Day(int row) const {
  MutexLock lock(&mu_);
  const auto it = day_.find(row);
  if (it == day_.end()) return std::nullopt;
  return it->second;
}

std::string AvailabilityCache::DayText(int row) const {
  const std::optional<double> day = Day(row);
  if (!day) return "";
  char text[64];
  std::snprintf(text, sizeof text, "Availability 24 h: %.2f %%", *day);
  return text;
}

int AvailabilityCache::counts() const {
  MutexLock lock(&mu_);
  return counts_;
}

}  // namespace tallyvox::history
