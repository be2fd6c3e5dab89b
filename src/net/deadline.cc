#include "net/deadline.h"

#include <algorithm>
#include <limits>

namespace tallyvox::net {

TNetDeadline TNetDeadline::After(int32_t timeout_ms) {
  if (timeout_ms < 0) return Never();
  const std::chrono::milliseconds limit(timeout_ms);
  return TNetDeadline(Clock::now() + limit, limit);
}

TNetDeadline TNetDeadline::Within(std::chrono::milliseconds budget, Clock::time_point start) {
  return TNetDeadline(start + budget, budget);
}

TNetDeadline TNetDeadline::Earlier(const TNetDeadline& a, const TNetDeadline& b) {
  return b.at_ < a.at_ ? b : a;
}

int TNetDeadline::RemainingMs() const {
  if (Unlimited()) return -1;
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(at_ - Clock::now()).count();
  if (left <= 0) return 0;
  return static_cast<int>(std::min<int64_t>(left, std::numeric_limits<int>::max()));
}

int32_t TNetTimeout::ToChannelMs() const {
  if (Unlimited()) return -2;
  return static_cast<int32_t>(
      std::min<int64_t>(limit_->count(), std::numeric_limits<int32_t>::max()));
}

TNetTimeout TNetDeadline::Cut(TNetTimeout own, bool* by_deadline) const {
  if (by_deadline != nullptr) *by_deadline = false;
  if (Unlimited()) return own;
  const std::chrono::milliseconds left(RemainingMs());
  if (!own.Unlimited() && own.Limit() < left) return own;
  if (by_deadline != nullptr) *by_deadline = true;
  return TNetTimeout::Of(left);
}

}  // namespace tallyvox::net
