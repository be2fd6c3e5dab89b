#include "monitor/pulse.h"

namespace tallyvox::monitor {

MonitorPulse::MonitorPulse() : last_beat_(Clock::now().time_since_epoch().count()) {}

void MonitorPulse::Beat() {
  last_beat_.store(Clock::now().time_since_epoch().count(), std::memory_order_release);
}

void MonitorPulse::ProbeStarted(const std::string& address) {
  {
    MutexLock lock(&mu_);
    address_ = address;
  }
  Beat();
}

MonitorPulse::Clock::time_point MonitorPulse::LastBeat() const {
  return Clock::time_point(Clock::duration(last_beat_.load(std::memory_order_acquire)));
}

std::string MonitorPulse::LastProbedAddress() const {
  MutexLock lock(&mu_);
  return address_;
}

}  // namespace tallyvox::monitor
