// The availability the window's tool tips show: counted from the history
// over the last 24 hours by the cache's own thread, at once and then at each
// refresh; nothing before a count or for a row without probes.
#include "history/availability_cache.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "history/history_db.h"
#include "support/support.h"

namespace tallyvox::history {
namespace {

using namespace std::chrono_literals;
using tallyvox::testing::TempDir;

constexpr int64_t kNow = 1750000000000;  // ms, UTC
constexpr int64_t kHourMs = 3600000;

ProbeRecord Probe(int64_t time_ms, int row, bool answered) {
  return {time_ms,  row,  "10.0.0." + std::to_string(row),
          answered, 0.01, answered ? "" : "Connection lost. (Read Timeout)"};
}

// Waits (at most 5 s) until the cache has counted `n` times.
bool WaitForCounts(const AvailabilityCache& cache, int n) {
  for (int i = 0; i < 500 && cache.counts() < n; ++i) std::this_thread::sleep_for(10ms);
  return cache.counts() >= n;
}

TEST(AvailabilityCacheTest, CountsTheLastDayAtOnceAndAgainAtEachRefresh) {
  TempDir dir;
  const std::string path = dir.File("h.sqlite");
  AvailabilityCacheOptions options;
  options.database = path;
  options.refresh_every = 100ms;
  options.now_ms = [] { return kNow; };
  // No file yet (the writer makes it at the end of its first cycle): nothing
  // to show, and the next try comes soon, not a whole refresh later.
  AvailabilityCacheOptions early = options;
  early.refresh_every = std::chrono::hours(1);
  early.retry_every = 50ms;
  AvailabilityCache waiting(early);
  ASSERT_TRUE(WaitForCounts(waiting, 1));
  EXPECT_EQ(waiting.DayText(1), "");
  HistoryDb db(path);
  // Row 1: 3 of 4 answered today, and a failure two days ago that does not
  // count; row 2: every probe answered; row 3: none today.
  db.Write({{Probe(kNow - 48 * kHourMs, 1, false), Probe(kNow - 48 * kHourMs, 3, false),
             Probe(kNow - 3 * kHourMs, 1, true), Probe(kNow - 2 * kHourMs, 1, false),
             Probe(kNow - 2 * kHourMs, 2, true), Probe(kNow - kHourMs, 1, true),
             Probe(kNow - 1000, 1, true)},
            {},
            std::nullopt});
  for (int i = 0; i < 500 && waiting.DayText(1).empty(); ++i) std::this_thread::sleep_for(10ms);
  EXPECT_EQ(waiting.DayText(1), "Availability 24 h: 75.00 %");
  // A file that holds no probe of the last day yet (made, its first cycle not
  // written) is retried as soon as a missing one.
  TempDir empty_dir;
  HistoryDb empty(empty_dir.File("h.sqlite"));
  AvailabilityCacheOptions fresh = early;
  fresh.database = empty_dir.File("h.sqlite");
  AvailabilityCache starting(fresh);
  ASSERT_TRUE(WaitForCounts(starting, 1));
  empty.Write({{Probe(kNow - 1000, 1, true)}, {}, std::nullopt});
  for (int i = 0; i < 500 && starting.DayText(1).empty(); ++i) std::this_thread::sleep_for(10ms);
  EXPECT_EQ(starting.DayText(1), "Availability 24 h: 100.00 %");
  AvailabilityCache cache(options);
  ASSERT_TRUE(WaitForCounts(cache, 1));
  struct Case {
    int row;
    std::string text;
  };
  for (const Case& c : {Case{1, "Availability 24 h: 75.00 %"},
                        Case{2, "Availability 24 h: 100.00 %"}, Case{3, ""}, Case{4, ""}}) {
    SCOPED_TRACE(c.row);
    EXPECT_EQ(cache.DayText(c.row), c.text);
  }
  // New probes show from the next refresh on.
  db.Write({{Probe(kNow - 500, 1, false), Probe(kNow - 500, 3, true)}, {}, std::nullopt});
  const int before = cache.counts();
  ASSERT_TRUE(WaitForCounts(cache, before + 2));
  EXPECT_EQ(cache.DayText(1), "Availability 24 h: 60.00 %");
  EXPECT_EQ(cache.DayText(3), "Availability 24 h: 100.00 %");
}

// A history that cannot be read keeps the last count; the destructor ends
// the thread at once, whatever its refresh interval.
TEST(AvailabilityCacheTest, AnUnreadableHistoryKeepsTheLastCountAndTheStopIsPrompt) {
  TempDir dir;
  const std::string path = dir.File("h.sqlite");
  {
    HistoryDb db(path);
    db.Write({{Probe(kNow - 1000, 5, true), Probe(kNow - 900, 5, false)}, {}, std::nullopt});
  }
  AvailabilityCacheOptions options;
  options.database = path;
  options.refresh_every = 50ms;
  options.now_ms = [] { return kNow; };
  auto cache = std::make_unique<AvailabilityCache>(options);
  ASSERT_TRUE(WaitForCounts(*cache, 1));
  EXPECT_EQ(cache->DayText(5), "Availability 24 h: 50.00 %");
  tallyvox::testing::WriteFile(path, std::string(4096, 'x'));  // no database any more
  const int before = cache->counts();
  ASSERT_TRUE(WaitForCounts(*cache, before + 2));
  EXPECT_EQ(cache->DayText(5), "Availability 24 h: 50.00 %");

  options.refresh_every = 1h;
  cache = std::make_unique<AvailabilityCache>(options);
  ASSERT_TRUE(WaitForCounts(*cache, 1));
  const auto start = std::chrono::steady_clock::now();
  cache.reset();
  EXPECT_LT(std::chrono::steady_clock::now() - start, 1s);
}

}  // namespace
}  // namespace tallyvox::history
