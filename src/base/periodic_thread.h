// PeriodicThread: a background thread that waits one period, runs an action,
// and again, until it is stopped. The middleware's transports (idle
// notification) and the connection pool (collector) each run one.
//
// The period is asked for before every wait, so a new value takes effect at
// the next wait; Restart() makes the thread start its current wait afresh
// with the period asked again. A period of zero or less waits until Restart
// or Stop. Pausing takes effect between runs and wakes nobody: a paused
// thread notices at the end of its wait and then sleeps until it is resumed.
// Waits run on std::chrono::steady_clock, so wall-clock steps do not shorten
// or lengthen them.
//
// Thread safety: every method may be called from any thread except Stop()
// (and the destructor), which must not be called from the action itself.
#ifndef TALLYVOX_BASE_PERIODIC_THREAD_H_
#define TALLYVOX_BASE_PERIODIC_THREAD_H_

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>

namespace tallyvox {

class PeriodicThread {
 public:
  using Period = std::function<std::chrono::milliseconds()>;
  using Action = std::function<void()>;

  // The thread does not run until Start(). `period` is called with an
  // internal lock held: it must only read a value.
  PeriodicThread(Period period, Action action);
  // Stop().
  ~PeriodicThread();
  PeriodicThread(const PeriodicThread&) = delete;
  PeriodicThread& operator=(const PeriodicThread&) = delete;

  // Starts the thread unless it runs already or was stopped.
  void Start();
  // The current wait starts again with the period asked anew.
  void Restart();
  // A paused thread runs no action until resumed.
  void SetPaused(bool paused);
  // Stops and joins the thread; it never starts again. An action that is
  // running is finished first.
  void Stop();

 private:
  void Run();

  const Period period_;
  const Action action_;
  std::mutex mutex_;
  std::condition_variable cv_;
  bool stop_ = false;
  bool paused_ = false;
  bool sleeping_paused_ = false;
  uint64_t generation_ = 0;
  std::thread thread_;
};

}  // namespace tallyvox

#endif  // TALLYVOX_BASE_PERIODIC_THREAD_H_
