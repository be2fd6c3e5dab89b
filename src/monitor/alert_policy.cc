#include "monitor/alert_policy.h"

#include "monitor/clock.h"
#include "monitor/time_text.h"

namespace tallyvox::monitor {

AlertPolicy::State& AlertPolicy::RowState(int row, const std::string& address) {
  State& state = rows_[static_cast<size_t>(row - 1)];
  if (state.address != address) {
    state = State{};
    state.address = address;
  }
  return state;
}

AlertDecision AlertPolicy::Remind(State& state, TDateTime now) const {
  const int64_t every = static_cast<int64_t>(settings_.remind_minutes) * 60;
  if (state.alerted && every > 0 && ElapsedWholeSeconds(state.last_alert, now) < every) {
    const TDateTime due = state.last_alert + static_cast<double>(every) / kSecondsPerDay;
    return {false, "next reminder at " + LongTimeText(due)};
  }
  state.alerted = true;
  state.last_alert = now;
  return {true, ""};
}

AlertDecision AlertPolicy::Failed(int row, const std::string& address, TDateTime now) {
  State& state = RowState(row, address);
  if (state.failures < settings_.confirm) ++state.failures;
  if (state.failures < settings_.confirm) {
    return {false, "failure " + std::to_string(state.failures) + " of " +
                       std::to_string(settings_.confirm)};
  }
  return Remind(state, now);
}

bool AlertPolicy::Answered(int row, const std::string& address) {
  State& state = RowState(row, address);
  const bool recovered = state.alerted;
  state = State{};
  state.address = address;
  return recovered && settings_.recovery;
}

AlertDecision AlertPolicy::Stalled(TDateTime now) { return Remind(watchdog_, now); }

}  // namespace tallyvox::monitor
