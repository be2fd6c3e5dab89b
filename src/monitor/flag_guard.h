// FlagGuard: sets a flag for the life of a scope and clears it on every way
// out, exceptions included.
#ifndef TALLYVOX_MONITOR_FLAG_GUARD_H_
#define TALLYVOX_MONITOR_FLAG_GUARD_H_

namespace tallyvox::monitor {

class FlagGuard {
 public:
  explicit FlagGuard(bool& flag) : flag_(flag) { flag_ = true; }
  ~FlagGuard() { flag_ = false; }
  FlagGuard(const FlagGuard&) = delete;
  FlagGuard& operator=(const FlagGuard&) = delete;

 private:
  bool& flag_;
};

}  // namespace tallyvox::monitor

#endif  // TALLYVOX_MONITOR_FLAG_GUARD_H_
