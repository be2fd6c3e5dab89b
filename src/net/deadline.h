// TNetDeadline: a point on the steady clock after which a wait gives up.
//
// Never() has no limit; After(ms) is one wait's own limit; Within(budget) is
// the deadline of a whole operation (one probe of a server): it remembers
// the budget it was given, and a wait it ends fails with
// ENetDeadlineExpired, whose text names that budget ("no answer within
// 10 s").
//
// A wait with a time-out of its own and a deadline waits the lesser of the
// two (Cut). A value type; copies are independent.
#ifndef TALLYVOX_NET_DEADLINE_H_
#define TALLYVOX_NET_DEADLINE_H_

#include <chrono>
#include <cstdint>
#include <optional>

namespace tallyvox::net {

// A wait's own time limit: a duration, or no limit. The public properties
// and calls keep their int milliseconds; this is what they mean inside.
class TNetTimeout {
 public:
  static constexpr TNetTimeout NoLimit() { return TNetTimeout(std::nullopt); }
  // A negative duration waits not at all.
  static constexpr TNetTimeout Of(std::chrono::milliseconds limit) {
    return TNetTimeout(limit < std::chrono::milliseconds::zero() ? std::chrono::milliseconds::zero()
                                                                 : limit);
  }
  // Int milliseconds as the channels take them: negative means no limit.
  static constexpr TNetTimeout FromMs(int32_t timeout_ms) {
    return timeout_ms < 0 ? NoLimit() : Of(std::chrono::milliseconds(timeout_ms));
  }

  constexpr bool Unlimited() const { return !limit_.has_value(); }
  // REQUIRES: !Unlimited().
  constexpr std::chrono::milliseconds Limit() const { return *limit_; }
  // For the channels' waits: -2 for no limit, else the milliseconds.
  int32_t ToChannelMs() const;

  constexpr bool operator==(const TNetTimeout& other) const = default;

 private:
  constexpr explicit TNetTimeout(std::optional<std::chrono::milliseconds> limit) : limit_(limit) {}

  std::optional<std::chrono::milliseconds> limit_;
};

class TNetDeadline {
 public:
  using Clock = std::chrono::steady_clock;

  static TNetDeadline Never() { return TNetDeadline(Clock::time_point::max(), {}); }
  // timeout_ms -2 (or any negative value): no limit.
  static TNetDeadline After(int32_t timeout_ms);
  // `budget` from `start`. REQUIRES: budget >= 0.
  static TNetDeadline Within(std::chrono::milliseconds budget,
                             Clock::time_point start = Clock::now());
  // The one that passes first (a tie keeps `a`, with its budget).
  static TNetDeadline Earlier(const TNetDeadline& a, const TNetDeadline& b);

  bool Unlimited() const { return at_ == Clock::time_point::max(); }
  bool Passed() const { return !Unlimited() && Clock::now() >= at_; }
  Clock::time_point At() const { return at_; }
  // The budget given to Within (for After: the wait's own limit).
  std::chrono::milliseconds Budget() const { return budget_; }
  // Milliseconds left for poll(), rounded up so that a wait of that length
  // reaches the deadline: -1 when unlimited, 0 when passed.
  int RemainingMs() const;
  // A wait's own time-out cut to the time left. *by_deadline (when given)
  // tells whether the result is the time left rather than the wait's own
  // time-out: a wait of that length that ends without a result has met the
  // deadline.
  TNetTimeout Cut(TNetTimeout own, bool* by_deadline = nullptr) const;

  bool operator==(const TNetDeadline& other) const = default;

 private:
  TNetDeadline(Clock::time_point at, std::chrono::milliseconds budget) : at_(at), budget_(budget) {}

  Clock::time_point at_;
  std::chrono::milliseconds budget_;
};

}  // namespace tallyvox::net

#endif  // TALLYVOX_NET_DEADLINE_H_
