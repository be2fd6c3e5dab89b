#include "history/history_writer.h"

#include <chrono>
#include <utility>

namespace tallyvox::history {
namespace {

const char* AlertOutcome(monitor::AlertEvent::Outcome outcome) {
  switch (outcome) {
    case monitor::AlertEvent::Outcome::kDelivered:
      return "delivered";
    case monitor::AlertEvent::Outcome::kFailed:
      return "failed";
    case monitor::AlertEvent::Outcome::kHeldBack:
      return "held back";
    case monitor::AlertEvent::Outcome::kQueued:
      return "queued";
  }
  return "";
}

std::string Counted(size_t n, const char* one, const char* many) {
  return std::to_string(n) + " " + (n == 1 ? one : many);
}

std::string BatchText(const HistoryBatch& batch) {
  return Counted(batch.probes.size(), "probe", "probes") + ", " +
         Counted(batch.alerts.size(), "alert", "alerts");
}

}  // namespace

int64_t UnixMillis(TDateTime local) {
  return static_cast<int64_t>(UnixFromLocalDateTime(local)) * 1000 +
         DecodeDateTime(local).millisecond;
}

int64_t LocalToUnix::Millis(TDateTime local) {
  const DateTimeParts p = DecodeDateTime(local);
  const int64_t key = static_cast<int64_t>(EncodeDate(p.year, p.month, p.day)) * 24 + p.hour;
  const int64_t into_hour = (int64_t{p.minute} * 60 + p.second) * 1000 + p.millisecond;
  if (key != hour_key_ || key < 0) {
    hour_key_ = key;
    hour_start_ms_ = UnixMillis(local) - into_hour;
  }
  return hour_start_ms_ + into_hour;
}

HistoryWriter::HistoryWriter(HistoryWriterOptions options) : options_(std::move(options)) {
  thread_ = std::thread([this] { Run(); });
}

HistoryWriter::~HistoryWriter() {
  {
    MutexLock lock(&mu_);
    if (!gathering_.probes.empty() || !gathering_.alerts.empty()) {
      queue_.push_back(std::exchange(gathering_, {}));
    }
    stopping_ = true;
  }
  work_.SignalAll();
  thread_.join();
}

int64_t HistoryWriter::NowMs() const {
  if (options_.now_ms) return options_.now_ms();
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

void HistoryWriter::Report(const std::string& line) {
  if (options_.log) options_.log(line);
  if (options_.failed) options_.failed();
}

void HistoryWriter::ProbeFinished(const monitor::ProbeEvent& e) {
  if (e.outcome == monitor::ProbeEvent::Outcome::kSkipped) return;
  HistoryBatch full;
  {
    MutexLock lock(&mu_);
    gathering_.probes.push_back({to_unix_.Millis(e.start), e.row, e.address, e.answered(),
                                 e.seconds, e.failed() ? e.reason : ""});
    if (gathering_.probes.size() + gathering_.alerts.size() < options_.max_batch_records) return;
    full = std::exchange(gathering_, {});
  }
  HandOver(std::move(full));
}

void HistoryWriter::AlertReported(const monitor::AlertEvent& e) {
  HistoryBatch full;
  {
    MutexLock lock(&mu_);
    gathering_.alerts.push_back(
        {NowMs(), e.row, e.text, e.account, AlertOutcome(e.outcome),
         e.outcome == monitor::AlertEvent::Outcome::kFailed ? e.error : e.reason});
    if (gathering_.probes.size() + gathering_.alerts.size() < options_.max_batch_records) return;
    full = std::exchange(gathering_, {});
  }
  HandOver(std::move(full));
}

void HistoryWriter::CycleFinished(const monitor::CycleEvent& e) {
  HistoryBatch batch;
  {
    MutexLock lock(&mu_);
    batch = std::exchange(gathering_, {});
    batch.cycle =
        CycleRecord{to_unix_.Millis(e.start), to_unix_.Millis(e.end), e.rows, e.failed, e.skipped};
  }
  HandOver(std::move(batch));
}

void HistoryWriter::HandOver(HistoryBatch batch) {
  bool dropped = false;
  {
    MutexLock lock(&mu_);
    if (queue_.size() >= options_.max_queued_batches) {
      dropped = true;
    } else {
      queue_.push_back(std::move(batch));
    }
  }
  if (!dropped) {
    work_.Signal();
    return;
  }
  Report("history: " + std::to_string(options_.max_queued_batches) +
         " batches wait to be written to " + options_.database + "; dropped " + BatchText(batch));
}

void HistoryWriter::Flush() {
  MutexLock lock(&mu_);
  while (!queue_.empty() || writing_) idle_.Wait(&mu_);
}

void HistoryWriter::Run() {
  for (;;) {
    HistoryBatch batch;
    {
      MutexLock lock(&mu_);
      while (queue_.empty() && !stopping_) work_.Wait(&mu_);
      if (queue_.empty()) return;
      batch = std::move(queue_.front());
      queue_.pop_front();
      writing_ = true;
    }
    WriteOne(batch);
    {
      MutexLock lock(&mu_);
      writing_ = false;
    }
    idle_.SignalAll();
  }
}

void HistoryWriter::WriteOne(const HistoryBatch& batch) {
  try {
    if (db_ == nullptr) {
      db_ = std::make_unique<HistoryDb>(options_.database);
      next_prune_ = std::chrono::steady_clock::now();
    }
    db_->Write(batch);
  } catch (const HistoryError& e) {
    // A damaged or vanished file is opened afresh for the next batch.
    db_.reset();
    Report(std::string(e.what()) + "; lost " + BatchText(batch) + ", polling goes on");
    return;
  }
  PruneIfDue();
}

void HistoryWriter::PruneIfDue() {
  const auto now = std::chrono::steady_clock::now();
  if (now < next_prune_) return;
  next_prune_ = now + options_.prune_every;
  try {
    db_->Prune(NowMs() - int64_t{options_.keep_days} * 86400000);
  } catch (const HistoryError& e) {
    Report(e.what());
  }
}

}  // namespace tallyvox::history
