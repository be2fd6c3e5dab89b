// The history writer: observer events become rows, one transaction per
// cycle, from its own thread; a database it cannot use is logged and
// counted, and the monitor's side never waits.
#include "history/history_writer.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <atomic>
#include <vector>

#include "base/mutex.h"
#include "settings/settings.h"
#include "support/support.h"

namespace tallyvox::history {
namespace {

using monitor::AlertEvent;
using monitor::CycleEvent;
using monitor::ProbeEvent;
using tallyvox::testing::TempDir;

constexpr int64_t kT0 = 1750000000000;  // ms, UTC

TDateTime Local(int64_t ms) {
  return LocalDateTimeFromUnix(ms / 1000, static_cast<int>(ms % 1000));
}

ProbeEvent Event(int row, ProbeEvent::Outcome outcome, int64_t start_ms, double seconds = 0.25) {
  ProbeEvent e;
  e.row = row;
  e.address = "10.0.0." + std::to_string(row);
  e.outcome = outcome;
  e.start = Local(start_ms);
  e.seconds = seconds;
  e.reason = outcome == ProbeEvent::Outcome::kFailed ? "Connection lost. (Read Timeout)" : "";
  e.status_text = "ignored";
  return e;
}

CycleEvent Cycle(int64_t start_ms, int rows, int failed) {
  CycleEvent c;
  c.start = Local(start_ms);
  c.end = Local(start_ms + 900);
  c.rows = rows;
  c.failed = failed;
  c.skipped = monitor::kRosterRows - rows;
  return c;
}

// What the writer reported.
struct Reports {
  Mutex mu;
  std::vector<std::string> lines GUARDED_BY(mu);
  std::atomic<int> failed{0};

  HistoryWriterOptions Options(const std::string& path) {
    HistoryWriterOptions o;
    o.database = path;
    o.log = [this](const std::string& line) {
      MutexLock lock(&mu);
      lines.push_back(line);
    };
    o.failed = [this] { ++failed; };
    // The events' times are this day's: nothing is pruned.
    o.now_ms = [] { return kT0 + 3600000; };
    return o;
  }
  std::vector<std::string> Lines() {
    MutexLock lock(&mu);
    return lines;
  }
};

std::vector<ProbeRecord> Stored(const std::string& path) {
  HistoryDb db(path, HistoryDb::Mode::kReadOnly);
  std::vector<ProbeRecord> out;
  db.ForEachProbe(0, 0, [&](const ProbeRecord& p) { out.push_back(p); });
  return out;
}

TEST(HistoryWriterTest, ACyclesEventsBecomeRowsWithUtcTimesAndReasonsOnlyForFailures) {
  TempDir dir;
  Reports reports;
  const std::string path = dir.File("h.sqlite");
  {
    HistoryWriter writer(reports.Options(path));
    writer.ProbeFinished(Event(3, ProbeEvent::Outcome::kAnswered, kT0 + 250));
    writer.ProbeFinished(Event(4, ProbeEvent::Outcome::kSkipped, kT0 + 260));
    writer.ProbeFinished(Event(1, ProbeEvent::Outcome::kFailed, kT0 + 10, 2.0));
    writer.AlertReported(AlertEvent::Failed(1, "IP 10.0.0.1 Is Down!", "erols", "refused"));
    writer.AlertReported(AlertEvent::HeldBack(3, "IP 10.0.0.3 Is Down!", "failure 1 of 2"));
    writer.CycleFinished(Cycle(kT0, 2, 1));
    writer.Flush();
    const std::vector<ProbeRecord> probes = Stored(path);
    ASSERT_EQ(probes.size(), 2u);  // the skipped row is not a probe
    EXPECT_EQ(probes[0].row, 1);
    EXPECT_EQ(probes[0].time_ms, kT0 + 10);
    EXPECT_FALSE(probes[0].answered);
    EXPECT_EQ(probes[0].seconds, 2.0);
    EXPECT_EQ(probes[0].reason, "Connection lost. (Read Timeout)");
    EXPECT_EQ(probes[1].address, "10.0.0.3");
    EXPECT_EQ(probes[1].time_ms, kT0 + 250);
    EXPECT_TRUE(probes[1].answered);
    EXPECT_EQ(probes[1].reason, "");

    HistoryDb db(path, HistoryDb::Mode::kReadOnly);
    std::vector<AlertRecord> alerts;
    db.ForEachAlert(0, [&](const AlertRecord& a) { alerts.push_back(a); });
    ASSERT_EQ(alerts.size(), 2u);
    EXPECT_EQ(alerts[0].outcome, "failed");
    EXPECT_EQ(alerts[0].accounts, "erols");
    EXPECT_EQ(alerts[0].detail, "refused");
    EXPECT_EQ(alerts[1].outcome, "held back");
    EXPECT_EQ(alerts[1].detail, "failure 1 of 2");
    CycleRecord cycle;
    ASSERT_TRUE(db.LastCycle(&cycle));
    EXPECT_EQ(cycle.start_ms, kT0);
    EXPECT_EQ(cycle.end_ms, kT0 + 900);
    EXPECT_EQ(cycle.failed, 1);

    // Events after the last cycle are written when the writer goes.
    writer.ProbeFinished(Event(5, ProbeEvent::Outcome::kAnswered, kT0 + 5000));
  }
  EXPECT_EQ(Stored(path).size(), 3u);
  EXPECT_TRUE(reports.Lines().empty());
  EXPECT_EQ(reports.failed, 0);
}

// The writer's cached conversion gives what mktime gives for every local
// time, through daylight-saving changes (a day's and a half-hour's), in
// zones a whole or a half hour off UTC, and when times go back.
TEST(HistoryWriterTest, TheCachedLocalTimeConversionAgreesWithMktime) {
  struct Case {
    const char* zone;
    int64_t change_ms;  // a daylight-saving change there (or any time)
  };
  const std::vector<Case> cases = {
      {"Europe/Berlin", 1774746000000},        // 2026-03-29 01:00 UTC, spring forward
      {"Europe/Berlin", 1792890000000},        // 2026-10-25 01:00 UTC, fall back
      {"America/New_York", 1772953200000},     // 2026-03-08 07:00 UTC
      {"Australia/Lord_Howe", 1775314800000},  // 2026-04-04 15:00 UTC, back 30 minutes
      {"Asia/Kolkata", kT0},
      {"UTC", kT0},
  };
  tallyvox::testing::ScopedTimeZone tz("UTC");
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.zone) + " " + std::to_string(c.change_ms));
    tz.Set(c.zone);
    LocalToUnix to_unix;
    int mismatches = 0;
    // Six hours around the change, a probe every 97.3 s, then a jump back.
    for (int64_t ms = c.change_ms - 3 * 3600000; ms < c.change_ms + 3 * 3600000; ms += 97300) {
      const TDateTime local = Local(ms);
      if (to_unix.Millis(local) != UnixMillis(local) && ++mismatches <= 3) {
        ADD_FAILURE() << "at " << ms << ": " << to_unix.Millis(local)
                      << " != " << UnixMillis(local);
      }
    }
    EXPECT_EQ(to_unix.Millis(Local(c.change_ms - 3600000 + 5)),
              UnixMillis(Local(c.change_ms - 3600000 + 5)));
    EXPECT_EQ(mismatches, 0);
  }
}

// A database that cannot be opened costs the batches of that time, each
// logged and counted; once it can be, the next cycle is written.
TEST(HistoryWriterTest, AnUnusableDatabaseIsLoggedAndCountedAndTriedAgainNextCycle) {
  TempDir dir;
  Reports reports;
  const std::string path = dir.File("later/h.sqlite");
  HistoryWriter writer(reports.Options(path));
  for (int cycle = 0; cycle < 2; ++cycle) {
    writer.ProbeFinished(Event(1, ProbeEvent::Outcome::kAnswered, kT0 + cycle * 1000));
    writer.CycleFinished(Cycle(kT0 + cycle * 1000, 1, 0));
  }
  writer.Flush();
  ASSERT_EQ(reports.Lines().size(), 2u);
  EXPECT_EQ(reports.failed, 2);
  EXPECT_EQ(reports.Lines()[0], "history: " + path +
                                    ": cannot open: unable to open database file; lost 1 probe, "
                                    "0 alerts, polling goes on");

  ASSERT_EQ(::mkdir(dir.File("later").c_str(), 0700), 0);
  writer.ProbeFinished(Event(1, ProbeEvent::Outcome::kFailed, kT0 + 5000));
  writer.CycleFinished(Cycle(kT0 + 5000, 1, 1));
  writer.Flush();
  EXPECT_EQ(reports.failed, 2);
  EXPECT_EQ(Stored(path).size(), 1u);
}

// While another program holds the database, batches wait in the bounded
// queue; past its bound a cycle is dropped, logged and counted, and the
// monitor's side never waits. Every cycle is either written or reported.
TEST(HistoryWriterTest, AFullQueueDropsTheNewCycleAndSaysSo) {
  TempDir dir;
  Reports reports;
  const std::string path = dir.File("h.sqlite");
  HistoryDb holder(path);
  HistoryWriterOptions options = reports.Options(path);
  options.max_queued_batches = 1;
  HistoryWriter writer(options);
  holder.Execute("BEGIN EXCLUSIVE");
  const auto start = std::chrono::steady_clock::now();
  constexpr int kCycles = 4;
  for (int cycle = 0; cycle < kCycles; ++cycle) {
    writer.ProbeFinished(Event(1, ProbeEvent::Outcome::kAnswered, kT0 + cycle * 1000));
    writer.CycleFinished(Cycle(kT0 + cycle * 1000, 1, 0));
  }
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(500));
  holder.Execute("COMMIT");
  writer.Flush();
  const int dropped = reports.failed;
  EXPECT_GE(dropped, 2);  // at most one being written and one queued
  EXPECT_EQ(static_cast<int>(Stored(path).size()) + dropped, kCycles);
  for (const std::string& line : reports.Lines()) {
    EXPECT_EQ(line,
              "history: 1 batches wait to be written to " + path + "; dropped 1 probe, 0 alerts");
  }
}

// Rows past keep_days go when the database is opened (and then daily).
TEST(HistoryWriterTest, RowsOlderThanKeepDaysArePrunedWhenTheDatabaseOpens) {
  TempDir dir;
  Reports reports;
  const std::string path = dir.File("h.sqlite");
  {
    HistoryDb db(path);
    db.Write({{{kT0 - 3 * 86400000LL, 1, "old", true, 0.1, ""},
               {kT0 - 1 * 86400000LL, 1, "recent", true, 0.1, ""}},
              {},
              std::nullopt});
  }
  HistoryWriterOptions options = reports.Options(path);
  options.keep_days = 2;
  options.now_ms = [] { return kT0; };
  HistoryWriter writer(options);
  writer.ProbeFinished(Event(2, ProbeEvent::Outcome::kAnswered, kT0));
  writer.CycleFinished(Cycle(kT0, 1, 0));
  writer.Flush();
  const std::vector<ProbeRecord> probes = Stored(path);
  ASSERT_EQ(probes.size(), 2u);
  EXPECT_EQ(probes[0].address, "recent");
  EXPECT_EQ(probes[1].row, 2);
}

}  // namespace
}  // namespace tallyvox::history
