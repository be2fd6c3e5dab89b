#include "history/history_db.h"

#include <sqlite3.h>

#include <iterator>

namespace tallyvox::history {
namespace {

// The migrations, applied in order: user_version N means the first N ran.
// Append new ones; never change one that has shipped.
constexpr const char* kMigrations[] = {
    // 1: probes keyed by time * 128 + row: the table is in time order, so
    // a cycle's probes append to its last pages (a commit writes a few
    // pages, not one per row), a period is one range of the key, and
    // pruning deletes one range. Alerts.
    "CREATE TABLE probes(key INTEGER PRIMARY KEY, address TEXT NOT NULL,"
    " outcome INTEGER NOT NULL, seconds REAL NOT NULL, reason TEXT);"
    "CREATE TABLE alerts(time INTEGER NOT NULL, text TEXT NOT NULL, accounts TEXT NOT NULL,"
    " outcome TEXT NOT NULL);",
    // 2: the alert's row and detail, alerts by time, and the cycles (the
    // status page's last cycle).
    "ALTER TABLE alerts ADD COLUMN row INTEGER NOT NULL DEFAULT 0;"
    "ALTER TABLE alerts ADD COLUMN detail TEXT NOT NULL DEFAULT '';"
    "CREATE INDEX alerts_by_time ON alerts(time);"
    "CREATE TABLE cycles(start INTEGER PRIMARY KEY, end INTEGER NOT NULL, rows INTEGER NOT NULL,"
    " failed INTEGER NOT NULL, skipped INTEGER NOT NULL);"
    // The probes with their time and row, for a look with sqlite3.
    "CREATE VIEW probe_rows AS SELECT key / 128 AS time, key % 128 AS row, address, outcome,"
    " seconds, reason FROM probes;",
};

constexpr int kBusyTimeoutMs = 2000;
// A probe's key: its time, then its row (1..111 < 128).
constexpr int64_t kRowsPerMs = 128;

// A prepared statement, finalized when it goes.
class Statement {
 public:
  // `keep`: the statement is run many times (SQLite keeps it off its
  // lookaside memory).
  Statement(sqlite3* db, const char* sql, bool keep = false) {
    code_ = sqlite3_prepare_v3(db, sql, -1, keep ? SQLITE_PREPARE_PERSISTENT : 0, &stmt_, nullptr);
  }
  ~Statement() { sqlite3_finalize(stmt_); }
  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;

  int code() const { return code_; }
  void Bind(int i, int64_t v) { Check(sqlite3_bind_int64(stmt_, i, v)); }
  void Bind(int i, double v) { Check(sqlite3_bind_double(stmt_, i, v)); }
  void Bind(int i, const std::string& v) {
    Check(sqlite3_bind_text(stmt_, i, v.data(), static_cast<int>(v.size()), SQLITE_TRANSIENT));
  }
  void BindNull(int i) { Check(sqlite3_bind_null(stmt_, i)); }
  // SQLITE_ROW, SQLITE_DONE, or an error code (also kept in code()).
  int Step() {
    if (code_ != SQLITE_OK && code_ != SQLITE_ROW && code_ != SQLITE_DONE) return code_;
    code_ = sqlite3_step(stmt_);
    return code_;
  }
  void Reset() {
    sqlite3_reset(stmt_);
    code_ = SQLITE_OK;
  }
  int64_t Int(int i) const { return sqlite3_column_int64(stmt_, i); }
  double Real(int i) const { return sqlite3_column_double(stmt_, i); }
  std::string Text(int i) const {
    const unsigned char* p = sqlite3_column_text(stmt_, i);
    return p == nullptr ? std::string()
                        : std::string(reinterpret_cast<const char*>(p),
                                      static_cast<size_t>(sqlite3_column_bytes(stmt_, i)));
  }

 private:
  void Check(int code) {
    if (code != SQLITE_OK && code_ == SQLITE_OK) code_ = code;
  }
  sqlite3_stmt* stmt_ = nullptr;
  int code_ = SQLITE_OK;
};

}  // namespace

// What every write runs, prepared once per open database: a cycle's batch
// then costs its inserts and its commit, not the parsing of its SQL.
struct HistoryDb::WriteStatements {
  explicit WriteStatements(sqlite3* db)
      : begin(db, "BEGIN IMMEDIATE", true),
        commit(db, "COMMIT", true),
        probe(db,
              "INSERT OR REPLACE INTO probes(key, address, outcome, seconds, reason)"
              " VALUES(?, ?, ?, ?, ?)",
              true),
        alert(db,
              "INSERT INTO alerts(time, row, text, accounts, outcome, detail)"
              " VALUES(?, ?, ?, ?, ?, ?)",
              true),
        cycle(db,
              "INSERT OR REPLACE INTO cycles(start, end, rows, failed, skipped)"
              " VALUES(?, ?, ?, ?, ?)",
              true) {}
  // The first preparation that failed, or SQLITE_OK.
  int code() const {
    for (const Statement* s : {&begin, &commit, &probe, &alert, &cycle}) {
      if (s->code() != SQLITE_OK) return s->code();
    }
    return SQLITE_OK;
  }
  Statement begin, commit, probe, alert, cycle;
};

int LatestSchemaVersion() { return static_cast<int>(std::size(kMigrations)); }

HistoryDb::HistoryDb(const std::string& path, Mode mode, int schema_version) : path_(path) {
  const int flags =
      mode == Mode::kReadOnly ? SQLITE_OPEN_READONLY : SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE;
  const int code = sqlite3_open_v2(path.c_str(), &db_, flags | SQLITE_OPEN_NOMUTEX, nullptr);
  if (code != SQLITE_OK) {
    sqlite3_close(db_);
    db_ = nullptr;
    Fail("open", code);
  }
  try {
    sqlite3_busy_timeout(db_, kBusyTimeoutMs);
    sqlite3_extended_result_codes(db_, 0);
    const int version = SchemaVersion();
    if (version > LatestSchemaVersion()) {
      throw HistoryError("history: " + path_ + ": schema version " + std::to_string(version) +
                         " is newer than this program's " + std::to_string(LatestSchemaVersion()));
    }
    if (mode == Mode::kReadWrite) {
      // WAL: readers never wait for the writer; a commit is one append to
      // the log. NORMAL sync: a power cut may lose the last commits, never
      // the database's consistency; a killed process loses nothing
      // committed.
      Execute("PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL;");
      Migrate(schema_version);
    }
  } catch (...) {
    sqlite3_close(db_);
    throw;
  }
}

HistoryDb::~HistoryDb() {
  write_.reset();  // finalized first, else the close would fail and leak
  sqlite3_close(db_);
}

void HistoryDb::Fail(const std::string& doing, int code) const {
  throw HistoryError("history: " + path_ + ": cannot " + doing + ": " + sqlite3_errstr(code));
}

void HistoryDb::Execute(const std::string& sql) {
  const int code = sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, nullptr);
  if (code != SQLITE_OK) Fail("run \"" + sql.substr(0, 40) + "\"", code);
}

int HistoryDb::SchemaVersion() {
  Statement st(db_, "PRAGMA user_version");
  if (st.Step() != SQLITE_ROW) Fail("read the schema version", st.code());
  return static_cast<int>(st.Int(0));
}

void HistoryDb::Migrate(int target) {
  for (int version = SchemaVersion(); version < target; ++version) {
    const std::string sql = std::string("BEGIN IMMEDIATE;") + kMigrations[version] +
                            "PRAGMA user_version=" + std::to_string(version + 1) + ";COMMIT;";
    const int code = sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, nullptr);
    if (code != SQLITE_OK) {
      sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
      Fail("migrate the schema to version " + std::to_string(version + 1), code);
    }
  }
}

void HistoryDb::Write(const HistoryBatch& batch) {
  if (write_ == nullptr) {
    auto statements = std::make_unique<WriteStatements>(db_);
    if (statements->code() != SQLITE_OK) Fail("write", statements->code());
    write_ = std::move(statements);
  }
  write_->begin.Reset();
  if (write_->begin.Step() != SQLITE_DONE) Fail("write", write_->begin.code());
  int code = WriteRecords(batch);
  if (code == SQLITE_OK) {
    write_->commit.Reset();
    if (write_->commit.Step() != SQLITE_DONE) code = write_->commit.code();
  }
  for (Statement* s :
       {&write_->begin, &write_->commit, &write_->probe, &write_->alert, &write_->cycle}) {
    s->Reset();
  }
  if (code != SQLITE_OK) {
    // Whatever the statement left, the transaction goes as a whole.
    sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
    Fail("write", code);
  }
}

int HistoryDb::WriteRecords(const HistoryBatch& batch) {
  Statement& probe = write_->probe;
  for (const ProbeRecord& p : batch.probes) {
    probe.Reset();
    probe.Bind(1, p.time_ms * kRowsPerMs + p.row);
    probe.Bind(2, p.address);
    probe.Bind(3, static_cast<int64_t>(p.answered ? 1 : 0));
    probe.Bind(4, p.seconds);
    if (p.reason.empty()) {
      probe.BindNull(5);
    } else {
      probe.Bind(5, p.reason);
    }
    if (probe.Step() != SQLITE_DONE) return probe.code();
  }
  Statement& alert = write_->alert;
  for (const AlertRecord& a : batch.alerts) {
    alert.Reset();
    alert.Bind(1, a.time_ms);
    alert.Bind(2, static_cast<int64_t>(a.row));
    alert.Bind(3, a.text);
    alert.Bind(4, a.accounts);
    alert.Bind(5, a.outcome);
    alert.Bind(6, a.detail);
    if (alert.Step() != SQLITE_DONE) return alert.code();
  }
  if (!batch.cycle) return SQLITE_OK;
  Statement& cycle = write_->cycle;
  cycle.Reset();
  cycle.Bind(1, batch.cycle->start_ms);
  cycle.Bind(2, batch.cycle->end_ms);
  cycle.Bind(3, static_cast<int64_t>(batch.cycle->rows));
  cycle.Bind(4, static_cast<int64_t>(batch.cycle->failed));
  cycle.Bind(5, static_cast<int64_t>(batch.cycle->skipped));
  return cycle.Step() != SQLITE_DONE ? cycle.code() : SQLITE_OK;
}

int64_t HistoryDb::Prune(int64_t before_ms) {
  int code = sqlite3_exec(db_, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr);
  if (code != SQLITE_OK) Fail("prune", code);
  int64_t deleted = 0;
  {
    // One range of the key.
    Statement probes(db_, "DELETE FROM probes WHERE key < ?");
    probes.Bind(1, before_ms * kRowsPerMs);
    if (probes.Step() != SQLITE_DONE) code = probes.code();
    deleted = sqlite3_changes(db_);
    for (const char* sql :
         {"DELETE FROM alerts WHERE time < ?", "DELETE FROM cycles WHERE start < ?"}) {
      if (code != SQLITE_OK) break;
      Statement st(db_, sql);
      st.Bind(1, before_ms);
      if (st.Step() != SQLITE_DONE) code = st.code();
    }
  }
  if (code == SQLITE_OK) code = sqlite3_exec(db_, "COMMIT", nullptr, nullptr, nullptr);
  if (code != SQLITE_OK) {
    sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
    Fail("prune", code);
  }
  return deleted;
}

void HistoryDb::ForEachProbe(int row, int64_t since_ms,
                             const std::function<void(const ProbeRecord&)>& fn) {
  // One range of the key, in time order; one row is picked from it.
  Statement st(db_, row == 0 ? "SELECT key, address, outcome, seconds, reason FROM probes"
                               " WHERE key >= ? ORDER BY key"
                             : "SELECT key, address, outcome, seconds, reason FROM probes"
                               " WHERE key >= ? AND key % 128 = ? ORDER BY key");
  st.Bind(1, since_ms * kRowsPerMs);
  if (row != 0) st.Bind(2, static_cast<int64_t>(row));
  ProbeRecord r;
  while (st.Step() == SQLITE_ROW) {
    const int64_t key = st.Int(0);
    r.time_ms = key / kRowsPerMs;
    r.row = static_cast<int>(key % kRowsPerMs);
    r.address = st.Text(1);
    r.answered = st.Int(2) != 0;
    r.seconds = st.Real(3);
    r.reason = st.Text(4);
    fn(r);
  }
  if (st.code() != SQLITE_DONE) Fail("read the probes", st.code());
}

std::vector<HistoryDb::RowCount> HistoryDb::CountByRow(int64_t since_ms) {
  // Counted here over one range of the key: cheaper than SQLite sorting it
  // by row.
  Statement st(db_, "SELECT key, outcome FROM probes WHERE key >= ?");
  st.Bind(1, since_ms * kRowsPerMs);
  std::vector<RowCount> counts(kRowsPerMs);
  while (st.Step() == SQLITE_ROW) {
    RowCount& c = counts[static_cast<size_t>(st.Int(0) % kRowsPerMs)];
    ++c.probes;
    c.answered += st.Int(1) != 0 ? 1 : 0;
  }
  if (st.code() != SQLITE_DONE) Fail("count the probes", st.code());
  std::vector<RowCount> out;
  for (size_t row = 1; row < counts.size(); ++row) {
    if (counts[row].probes > 0)
      out.push_back({static_cast<int>(row), counts[row].probes, counts[row].answered});
  }
  return out;
}

void HistoryDb::ForEachAlert(int64_t since_ms, const std::function<void(const AlertRecord&)>& fn) {
  Statement st(db_,
               "SELECT time, row, text, accounts, outcome, detail FROM alerts WHERE time >= ?"
               " ORDER BY time");
  st.Bind(1, since_ms);
  AlertRecord a;
  while (st.Step() == SQLITE_ROW) {
    a.time_ms = st.Int(0);
    a.row = static_cast<int>(st.Int(1));
    a.text = st.Text(2);
    a.accounts = st.Text(3);
    a.outcome = st.Text(4);
    a.detail = st.Text(5);
    fn(a);
  }
  if (st.code() != SQLITE_DONE) Fail("read the alerts", st.code());
}

void HistoryDb::ForEachCycle(int64_t since_ms, const std::function<void(const CycleRecord&)>& fn) {
  Statement st(db_,
               "SELECT start, end, rows, failed, skipped FROM cycles WHERE start >= ?"
               " ORDER BY start");
  st.Bind(1, since_ms);
  while (st.Step() == SQLITE_ROW) {
    fn({st.Int(0), st.Int(1), static_cast<int>(st.Int(2)), static_cast<int>(st.Int(3)),
        static_cast<int>(st.Int(4))});
  }
  if (st.code() != SQLITE_DONE) Fail("read the cycles", st.code());
}

bool HistoryDb::LastCycle(CycleRecord* cycle) {
  Statement st(db_,
               "SELECT start, end, rows, failed, skipped FROM cycles ORDER BY start DESC LIMIT 1");
  const int code = st.Step();
  if (code == SQLITE_DONE) return false;
  if (code != SQLITE_ROW) Fail("read the cycles", code);
  *cycle = {st.Int(0), st.Int(1), static_cast<int>(st.Int(2)), static_cast<int>(st.Int(3)),
            static_cast<int>(st.Int(4))};
  return true;
}

std::string HistoryDb::IntegrityCheck() {
  Statement st(db_, "PRAGMA integrity_check");
  if (st.Step() != SQLITE_ROW) Fail("check the database", st.code());
  return st.Text(0);
}

}  // namespace tallyvox::history
