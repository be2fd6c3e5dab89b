// HistoryWriter: records every probe, alert and cycle the monitor reports in
// the history database (history_db.h), from a thread of its own.
//
// On the monitor's thread the hooks only copy each event into the batch
// being gathered; a cycle's end hands the batch to a queue of at most
// `max_queued_batches`, and the writer thread writes each batch in one
// transaction. The monitor thread never waits for the database: when the
// queue is full (the disk or a lock holds the writer), the new batch is
// dropped, logged and counted as an error, and polling goes on.
//
// A database that cannot be opened or written (a full disk, a read-only
// folder, a file locked by another program, a damaged file) is logged
// through `log` ("history: cannot write ... : database or disk is full") and
// counted through `failed`, from the writer thread; its batch is lost, the
// database keeps what it had (each batch is one transaction), and the next
// batch tries again (opening the file again when it could not be opened).
// Rows older than `keep_days` are pruned once the database opens and then
// once a day.
//
// Thread-safe: the hooks run on the monitor's thread, Flush and the
// destructor on any thread. The destructor writes what was gathered and what
// waits in the queue, then ends the thread.
#ifndef TALLYVOX_HISTORY_HISTORY_WRITER_H_
#define TALLYVOX_HISTORY_HISTORY_WRITER_H_

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "base/mutex.h"
#include "history/history_db.h"
#include "history/records.h"
#include "monitor/observer.h"

namespace tallyvox::history {

struct HistoryWriterOptions {
  std::string database;  // the file
  int keep_days = 30;
  size_t max_queued_batches = 64;
  // A batch is handed over early past this many records (probes outside
  // cycles, alerts of outbox retries), so none grows without bound.
  size_t max_batch_records = 4096;
  std::chrono::steady_clock::duration prune_every = std::chrono::hours(24);
  // Called from either thread, never under the writer's lock. May be empty.
  std::function<void(const std::string& line)> log;
  std::function<void()> failed;
  // UTC now in milliseconds (tests replace it); empty: the system clock.
  std::function<int64_t()> now_ms;
};

// A full local timestamp as UTC milliseconds since 1970.
int64_t UnixMillis(TDateTime local);

// UnixMillis for timestamps that mostly share their local hour (a cycle's
// probes): the C library's mktime once per local hour (glibc's also looks
// at /etc/localtime on every call), the rest by arithmetic. Daylight-saving
// changes fall on a local hour's start, so every result is UnixMillis's.
// Not thread-safe: one user at a time.
class LocalToUnix {
 public:
  int64_t Millis(TDateTime local);

 private:
  int64_t hour_key_ = -1;  // local days * 24 + hour; -1: none yet
  int64_t hour_start_ms_ = 0;
};

class HistoryWriter : public monitor::MonitorObserver {
 public:
  explicit HistoryWriter(HistoryWriterOptions options);
  ~HistoryWriter() override;
  HistoryWriter(const HistoryWriter&) = delete;
  HistoryWriter& operator=(const HistoryWriter&) = delete;

  void ProbeFinished(const monitor::ProbeEvent& event) override;
  void CycleFinished(const monitor::CycleEvent& event) override;
  void AlertReported(const monitor::AlertEvent& event) override;

  // Waits until every batch handed over so far has been written or failed.
  void Flush();

 private:
  void HandOver(HistoryBatch batch);  // REQUIRES: not holding mu_
  void Run();
  void WriteOne(const HistoryBatch& batch);
  void PruneIfDue();
  void Report(const std::string& line);
  int64_t NowMs() const;

  const HistoryWriterOptions options_;
  Mutex mu_;
  CondVar work_;
  CondVar idle_;
  HistoryBatch gathering_ GUARDED_BY(mu_);
  LocalToUnix to_unix_ GUARDED_BY(mu_);
  std::deque<HistoryBatch> queue_ GUARDED_BY(mu_);
  bool writing_ GUARDED_BY(mu_) = false;
  bool stopping_ GUARDED_BY(mu_) = false;
  // The writer thread's own.
  std::unique_ptr<HistoryDb> db_;
  std::chrono::steady_clock::time_point next_prune_{};
  std::thread thread_;
};

}  // namespace tallyvox::history

#endif  // TALLYVOX_HISTORY_HISTORY_WRITER_H_
