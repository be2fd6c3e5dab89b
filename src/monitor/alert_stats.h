// AlertStats: the alert numbers a metrics endpoint exports, kept from the
// monitor's reports. Add it to the monitor's observers; read it from any
// thread.
//
//   OutboxPending()          alerts waiting in the outbox now
//                            (tallyvox_outbox_pending)
//   AlertsSuppressedTotal()  alerts a policy held back since start-up:
//                            confirmation not reached, reminder not yet
//                            due (tallyvox_alerts_suppressed_total)
//
// Thread-safe: the hooks run on the monitor's thread, the reads anywhere.
#ifndef TALLYVOX_MONITOR_ALERT_STATS_H_
#define TALLYVOX_MONITOR_ALERT_STATS_H_

#include <atomic>
#include <cstdint>
#include <string>

#include "monitor/observer.h"

namespace tallyvox::monitor {

class AlertStats : public MonitorObserver {
 public:
  int64_t OutboxPending() const { return pending_.load(std::memory_order_relaxed); }
  int64_t AlertsSuppressedTotal() const { return suppressed_.load(std::memory_order_relaxed); }

  void AlertReported(const AlertEvent& e) override {
    if (e.outcome == AlertEvent::Outcome::kHeldBack) {
      suppressed_.fetch_add(1, std::memory_order_relaxed);
    }
  }
  void OutboxChanged(int pending) override { pending_.store(pending, std::memory_order_relaxed); }

 private:
  std::atomic<int64_t> pending_{0};
  std::atomic<int64_t> suppressed_{0};
};

}  // namespace tallyvox::monitor

#endif  // TALLYVOX_MONITOR_ALERT_STATS_H_
