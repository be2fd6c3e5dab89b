// StatusBoard: the live state the status page shows, kept from the
// monitor's events (monitor/observer.h): per ticked row its address, state
// and since when, the last failure's reason and the last probe's time; the
// last poll cycle; the alerts waiting in the outbox.
//
// A row shows once it has been probed and goes when a cycle finds its box
// unticked. "Since" is when this program saw the row's state change (its
// first probe for the first state). Times are UTC milliseconds.
//
// Thread-safe: the hooks run on the monitor's thread, Snapshot on the HTTP
// workers; each holds the lock only to copy.
#ifndef TALLYVOX_STATUS_STATUS_BOARD_H_
#define TALLYVOX_STATUS_STATUS_BOARD_H_

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "base/mutex.h"
#include "monitor/observer.h"

namespace tallyvox::status {

struct RowStatus {
  int row = 0;
  std::string address;
  bool up = false;
  int64_t since_ms = 0;  // the state's start
  std::string reason;    // the last failure's reason ("" before one)
  double seconds = 0;    // the last probe's response time
  int64_t last_probe_ms = 0;
};

struct CycleStatus {
  bool seen = false;  // a cycle has finished
  int64_t start_ms = 0;
  int64_t end_ms = 0;
  double seconds = 0;
  int rows = 0;
  int failed = 0;
};

struct StatusSnapshot {
  std::vector<RowStatus> rows;  // by row
  CycleStatus cycle;
  int outbox_pending = 0;
  int64_t interval_ms = 0;  // the polling interval (0: unknown)
};

class StatusBoard : public monitor::MonitorObserver {
 public:
  explicit StatusBoard(int64_t interval_ms) : interval_ms_(interval_ms) {}

  void ProbeFinished(const monitor::ProbeEvent& event) override;
  void CycleFinished(const monitor::CycleEvent& event) override;
  void OutboxChanged(int pending) override;

  StatusSnapshot Snapshot() const;

 private:
  const int64_t interval_ms_;
  mutable Mutex mu_;
  std::map<int, RowStatus> rows_ GUARDED_BY(mu_);
  CycleStatus cycle_ GUARDED_BY(mu_);
  int pending_ GUARDED_BY(mu_) = 0;
};

}  // namespace tallyvox::status

#endif  // TALLYVOX_STATUS_STATUS_BOARD_H_
