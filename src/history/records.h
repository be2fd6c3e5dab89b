// The probe history's records as plain values: what the writer stores and
// what the report and the status page read back. Times are UTC, in
// milliseconds since 1970.
#ifndef TALLYVOX_HISTORY_RECORDS_H_
#define TALLYVOX_HISTORY_RECORDS_H_

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace tallyvox::history {

// One probe of one roster row (a skipped row is not recorded).
struct ProbeRecord {
  int64_t time_ms = 0;  // the probe's start
  int row = 0;          // 1..111
  std::string address;  // as probed
  bool answered = false;
  double seconds = 0;  // how long the probe took
  std::string reason;  // failed: why ("Connection lost. (Read Timeout)"); else empty
};

// What became of one alert: "delivered" or "failed" through an account,
// "held back" by the policy or "queued" in the outbox.
struct AlertRecord {
  int64_t time_ms = 0;
  int row = 0;           // the row that raised it; 0 for others
  std::string text;      // "IP 10.0.0.5 Is Down!"
  std::string accounts;  // the account it went through; empty when none
  std::string outcome;
  std::string detail;  // the error or the reason held back
};

// One poll cycle.
struct CycleRecord {
  int64_t start_ms = 0;
  int64_t end_ms = 0;
  int rows = 0;
  int failed = 0;
  int skipped = 0;
};

// What one transaction writes: the probes and alerts since the last batch
// and the cycle that ended it (none for the rest written at a stop).
struct HistoryBatch {
  std::vector<ProbeRecord> probes;
  std::vector<AlertRecord> alerts;
  std::optional<CycleRecord> cycle;
};

}  // namespace tallyvox::history

#endif  // TALLYVOX_HISTORY_RECORDS_H_
