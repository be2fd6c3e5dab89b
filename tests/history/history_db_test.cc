// The history database: migrations from older files, all-or-nothing
// batches, pruning by age, reading back in order.
#include "history/history_db.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <optional>
#include <vector>

#include "support/support.h"

namespace tallyvox::history {
namespace {

using tallyvox::testing::TempDir;

ProbeRecord Probe(int64_t time_ms, int row, bool answered, double seconds = 0.01) {
  return {time_ms,  row,     "10.0.0." + std::to_string(row),
          answered, seconds, answered ? "" : "Connection lost. (Read Timeout)"};
}

std::vector<ProbeRecord> AllProbes(HistoryDb& db, int row = 0) {
  std::vector<ProbeRecord> out;
  db.ForEachProbe(row, 0, [&](const ProbeRecord& p) { out.push_back(p); });
  return out;
}

// A file made by an older program (schema 0: empty; 1: no cycles, no alert
// rows) opens with every migration after its version applied, and keeps
// what it held.
TEST(HistoryDbTest, OlderSchemasAreMigratedInOrderKeepingTheirRows) {
  for (int from = 0; from < LatestSchemaVersion(); ++from) {
    SCOPED_TRACE("from version " + std::to_string(from));
    TempDir dir;
    const std::string path = dir.File("h.sqlite");
    {
      HistoryDb old(path, HistoryDb::Mode::kReadWrite, from);
      EXPECT_EQ(old.SchemaVersion(), from);
      if (from >= 1) {
        old.Execute(
            "INSERT INTO probes VALUES(1000 * 128 + 7, '10.0.0.7', 0, 2.5, 'refused');"
            "INSERT INTO alerts VALUES(1001, 'IP 10.0.0.7 Is Down!', 'erols', 'delivered');");
      }
    }
    HistoryDb db(path);
    EXPECT_EQ(db.SchemaVersion(), LatestSchemaVersion());
    db.Write({{Probe(2000, 7, true)},
              {{2001, 7, "IP 10.0.0.7 Is Up!", "erols", "delivered", ""}},
              CycleRecord{2000, 2100, 1, 0, 110}});
    const std::vector<ProbeRecord> probes = AllProbes(db);
    ASSERT_EQ(probes.size(), from >= 1 ? 2u : 1u);
    if (from >= 1) {
      EXPECT_EQ(probes[0].reason, "refused");
      EXPECT_FALSE(probes[0].answered);
    }
    std::vector<AlertRecord> alerts;
    db.ForEachAlert(0, [&](const AlertRecord& a) { alerts.push_back(a); });
    ASSERT_EQ(alerts.size(), from >= 1 ? 2u : 1u);
    EXPECT_EQ(alerts.back().row, 7);
    CycleRecord cycle;
    ASSERT_TRUE(db.LastCycle(&cycle));
    EXPECT_EQ(cycle.end_ms, 2100);
    EXPECT_EQ(db.IntegrityCheck(), "ok");
  }
}

TEST(HistoryDbTest, AFileOfANewerSchemaIsRefused) {
  TempDir dir;
  const std::string path = dir.File("h.sqlite");
  { HistoryDb(path).Execute("PRAGMA user_version=99"); }
  try {
    HistoryDb db(path);
    ADD_FAILURE() << "opened";
  } catch (const HistoryError& e) {
    EXPECT_EQ(std::string(e.what()), "history: " + path +
                                         ": schema version 99 is newer than "
                                         "this program's " +
                                         std::to_string(LatestSchemaVersion()));
  }
}

// The statements a write keeps for the next are let go before the file
// closes: the close completes (its log folded into the file and removed),
// for a database that wrote several batches as for one that failed one.
TEST(HistoryDbTest, KeptStatementsDoNotHoldTheFileOpen) {
  for (const bool fail_one : {false, true}) {
    SCOPED_TRACE(fail_one ? "a failed batch" : "batches written");
    TempDir dir;
    const std::string path = dir.File("h.sqlite");
    {
      HistoryDb db(path);
      for (int64_t t = 1000; t < 4000; t += 1000) {
        db.Write({{Probe(t, 1, true), Probe(t, 2, false)}, {}, CycleRecord{t, t + 100, 2, 1, 0}});
      }
      if (fail_one) {
        db.Execute(
            "CREATE TRIGGER poison BEFORE INSERT ON probes BEGIN SELECT RAISE(ABORT, 'no'); END");
        EXPECT_THROW(db.Write({{Probe(5000, 1, true)}, {}, std::nullopt}), HistoryError);
      }
      EXPECT_TRUE(std::filesystem::exists(path + "-wal"));
    }
    EXPECT_FALSE(std::filesystem::exists(path + "-wal"));
    HistoryDb again(path, HistoryDb::Mode::kReadOnly);
    EXPECT_EQ(AllProbes(again).size(), 6u);
  }
}

// A batch that fails part way leaves nothing of itself: the probes written
// before the failing alert are rolled back with it, and the next batch
// writes.
TEST(HistoryDbTest, ABatchIsWrittenWholeOrNotAtAll) {
  TempDir dir;
  HistoryDb db(dir.File("h.sqlite"));
  db.Write({{Probe(1000, 1, true)}, {}, CycleRecord{1000, 1100, 1, 0, 0}});
  db.Execute(
      "CREATE TRIGGER poison BEFORE INSERT ON alerts WHEN NEW.text = 'poison'"
      " BEGIN SELECT RAISE(ABORT, 'poisoned'); END");
  HistoryBatch bad{{Probe(2000, 1, false), Probe(2000, 2, true)},
                   {{2001, 1, "poison", "", "queued", ""}},
                   CycleRecord{2000, 2100, 2, 1, 0}};
  EXPECT_THROW(db.Write(bad), HistoryError);
  EXPECT_EQ(AllProbes(db).size(), 1u);
  CycleRecord cycle;
  ASSERT_TRUE(db.LastCycle(&cycle));
  EXPECT_EQ(cycle.start_ms, 1000);
  db.Write({{Probe(3000, 1, true)}, {}, CycleRecord{3000, 3100, 1, 0, 0}});
  EXPECT_EQ(AllProbes(db).size(), 2u);
}

TEST(HistoryDbTest, PruneDeletesOnlyWhatIsOlderAndReadsComeByTimeThenRow) {
  TempDir dir;
  HistoryDb db(dir.File("h.sqlite"));
  db.Write(
      {{Probe(3000, 2, true), Probe(1000, 2, false), Probe(2000, 1, true), Probe(1500, 1, false)},
       {{1000, 2, "IP 10.0.0.2 Is Down!", "erols", "delivered", ""},
        {3000, 0, "IP 10.0.0.9 Is Not Responding!", "erols", "failed", "refused"}},
       CycleRecord{1000, 3100, 4, 2, 0}});
  std::vector<ProbeRecord> probes = AllProbes(db);
  ASSERT_EQ(probes.size(), 4u);
  EXPECT_EQ(probes[0].row, 2);
  EXPECT_EQ(probes[0].time_ms, 1000);
  EXPECT_EQ(probes[1].row, 1);
  EXPECT_EQ(probes[1].time_ms, 1500);
  EXPECT_EQ(probes[3].row, 2);
  EXPECT_EQ(probes[3].time_ms, 3000);
  ASSERT_EQ(AllProbes(db, 2).size(), 2u);
  EXPECT_EQ(AllProbes(db, 2)[1].time_ms, 3000);

  EXPECT_EQ(db.Prune(2000), 2);
  probes = AllProbes(db);
  ASSERT_EQ(probes.size(), 2u);
  EXPECT_EQ(probes[0].time_ms, 2000);
  EXPECT_EQ(probes[1].time_ms, 3000);
  const auto counts = db.CountByRow(0);
  ASSERT_EQ(counts.size(), 2u);
  EXPECT_EQ(counts[0].row, 1);
  EXPECT_EQ(counts[0].answered, 1);
  EXPECT_EQ(counts[1].probes, 1);
  std::vector<AlertRecord> alerts;
  db.ForEachAlert(0, [&](const AlertRecord& a) { alerts.push_back(a); });
  ASSERT_EQ(alerts.size(), 1u);
  EXPECT_EQ(alerts[0].detail, "refused");
  CycleRecord cycle;
  EXPECT_FALSE(db.LastCycle(&cycle));  // it started before the bound
}

// A file that is no database, or a folder that does not exist, is refused
// with SQLite's reason and the file's name.
TEST(HistoryDbTest, UnusableFilesAreRefusedWithTheReason) {
  TempDir dir;
  tallyvox::testing::WriteFile(dir.File("junk.sqlite"), std::string(8192, 'x'));
  struct Case {
    std::string path, reason;
  };
  for (const Case& c : std::vector<Case>{
           {dir.File("junk.sqlite"), "file is not a database"},
           {dir.File("gone/h.sqlite"), "unable to open database file"},
       }) {
    SCOPED_TRACE(c.path);
    try {
      HistoryDb db(c.path);
      ADD_FAILURE() << "opened";
    } catch (const HistoryError& e) {
      const std::string what = e.what();
      EXPECT_EQ(what.rfind("history: " + c.path + ": cannot ", 0), 0u) << what;
      EXPECT_NE(what.find(c.reason), std::string::npos) << what;
    }
  }
}

}  // namespace
}  // namespace tallyvox::history
