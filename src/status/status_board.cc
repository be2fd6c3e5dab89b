#include "status/status_board.h"

#include "history/history_writer.h"

namespace tallyvox::status {

void StatusBoard::ProbeFinished(const monitor::ProbeEvent& e) {
  MutexLock lock(&mu_);
  if (e.outcome == monitor::ProbeEvent::Outcome::kSkipped) {
    rows_.erase(e.row);
    return;
  }
  const int64_t start = history::UnixMillis(e.start);
  auto [it, fresh] = rows_.try_emplace(e.row);
  RowStatus& r = it->second;
  if (fresh || r.up != e.answered() || r.address != e.address) r.since_ms = start;
  r.row = e.row;
  r.address = e.address;
  r.up = e.answered();
  if (e.failed()) r.reason = e.reason;
  r.seconds = e.seconds;
  r.last_probe_ms = start;
}

void StatusBoard::CycleFinished(const monitor::CycleEvent& e) {
  MutexLock lock(&mu_);
  cycle_ = {true,    history::UnixMillis(e.start), history::UnixMillis(e.end), e.seconds, e.rows,
            e.failed};
}

void StatusBoard::OutboxChanged(int pending) {
  MutexLock lock(&mu_);
  pending_ = pending;
}

StatusSnapshot StatusBoard::Snapshot() const {
  StatusSnapshot s;
  MutexLock lock(&mu_);
  for (const auto& [row, status] : rows_) s.rows.push_back(status);
  s.cycle = cycle_;
  s.outbox_pending = pending_;
  s.interval_ms = interval_ms_;
  return s;
}

}  // namespace tallyvox::status
