// HistoryDb: the probe history in an SQLite database (Debian's libsqlite3),
// in WAL mode, so that readers (the report, the status page) never wait for
// the writer and a writer killed at any point leaves every committed
// transaction whole and nothing of the one under way.
//
// Schema (PRAGMA user_version counts the migrations applied):
//   probes(key = time * 128 + row, address, outcome, seconds, reason), in
//     time order: a cycle appends, a period is one range (view probe_rows
//     shows time and row);
//   alerts(time, row, text, accounts, outcome, detail), indexed by time;
//   cycles(start, end, rows, failed, skipped).
// Opening applies the migrations the file lacks, in order, each in its own
// transaction; a file of a newer schema than this program knows is refused.
//
// Errors are HistoryError with the file and SQLite's own reason
// ("database or disk is full", "database is locked", "database disk image is
// malformed"). A failed Write leaves the database as it was before it.
//
// Not thread-safe: one HistoryDb per thread (several may open one file).
#ifndef TALLYVOX_HISTORY_HISTORY_DB_H_
#define TALLYVOX_HISTORY_HISTORY_DB_H_

#include <cstdint>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "history/records.h"

struct sqlite3;

namespace tallyvox::history {

class HistoryError : public std::runtime_error {
 public:
  explicit HistoryError(const std::string& what) : std::runtime_error(what) {}
};

// The schema version this program writes.
int LatestSchemaVersion();

class HistoryDb {
 public:
  enum class Mode { kReadWrite, kReadOnly };
  // Opens (kReadWrite: creates) the database at `path` and brings its
  // schema up to `schema_version` (tests open older versions).
  // REQUIRES: 0 <= schema_version <= LatestSchemaVersion().
  explicit HistoryDb(const std::string& path, Mode mode = Mode::kReadWrite,
                     int schema_version = LatestSchemaVersion());
  ~HistoryDb();
  HistoryDb(const HistoryDb&) = delete;
  HistoryDb& operator=(const HistoryDb&) = delete;

  const std::string& path() const { return path_; }
  int SchemaVersion();

  // Writes the batch in one transaction: all of it or, on an error, none.
  // Its statements are prepared at the first write and kept for the next.
  void Write(const HistoryBatch& batch);
  // Deletes probes, alerts and cycles older than `before_ms`; returns the
  // probes deleted.
  int64_t Prune(int64_t before_ms);

  // Calls `fn` for each probe of `row` (0: every row) from `since_ms` on,
  // ordered by time, then row.
  void ForEachProbe(int row, int64_t since_ms, const std::function<void(const ProbeRecord&)>& fn);
  // Per row with probes from `since_ms` on: how many, and how many answered.
  struct RowCount {
    int row = 0;
    int64_t probes = 0;
    int64_t answered = 0;
  };
  std::vector<RowCount> CountByRow(int64_t since_ms);
  // The alerts from `since_ms` on, oldest first.
  void ForEachAlert(int64_t since_ms, const std::function<void(const AlertRecord&)>& fn);
  // The cycles that started from `since_ms` on, oldest first.
  void ForEachCycle(int64_t since_ms, const std::function<void(const CycleRecord&)>& fn);
  // The newest cycle, if any.
  bool LastCycle(CycleRecord* cycle);

  // Runs `sql` (tests, tools). Throws HistoryError.
  void Execute(const std::string& sql);
  // PRAGMA integrity_check's first line ("ok" for a whole database).
  std::string IntegrityCheck();

 private:
  [[noreturn]] void Fail(const std::string& doing, int code) const;
  void Migrate(int target);
  // REQUIRES: a transaction is open. The first failing step's code, or SQLITE_OK.
  int WriteRecords(const HistoryBatch& batch);

  std::string path_;
  sqlite3* db_ = nullptr;
  // The write's statements, prepared once (finalized before db_ closes).
  struct WriteStatements;
  std::unique_ptr<WriteStatements> write_;
};

}  // namespace tallyvox::history

#endif  // TALLYVOX_HISTORY_HISTORY_DB_H_
