// Stopping the monitor from another thread within a second, whatever it is
// waiting for.
//
// StopSignal::Request() (thread-safe) sets the stop flag, runs the
// signal's shut-down (the programs pass one that shuts down every socket in
// use, net/socket_registry.h: a blocked probe or mail delivery fails at
// once, and no new socket can be made) and quits every modal wait
// (ModalLoop) in progress. Code on the monitor thread then calls
// ThrowIfStopped() at the points where it would otherwise report the
// failure the stop caused (a probe, a delivery, a message box), so the stop
// unwinds the running handler with MonitorStopped instead of showing false
// "Problem" lines or sending false alerts.
#ifndef TALLYVOX_MONITOR_STOP_H_
#define TALLYVOX_MONITOR_STOP_H_

#include <atomic>
#include <functional>
#include <stdexcept>
#include <vector>

#include "base/mutex.h"
#include "base/thread_annotations.h"
class QEventLoop;

namespace tallyvox::monitor {

// Unwinds a handler because the program is stopping; the default handler
// swallows it.
class MonitorStopped : public std::runtime_error {
 public:
  MonitorStopped() : std::runtime_error("The monitor is stopping.") {}
};

class StopSignal {
 public:
  // `shut_down` runs on the thread that requests the stop, after the flag is
  // set, at every request; it must be thread-safe and must not block.
  explicit StopSignal(std::function<void()> shut_down = {}) : shut_down_(std::move(shut_down)) {}
  bool Requested() const { return requested_.load(); }
  void ThrowIfStopped() const {
    if (Requested()) throw MonitorStopped();
  }
  void Request() EXCLUDES(mu_);

 private:
  friend class ModalLoop;
  void Register(QEventLoop* loop) EXCLUDES(mu_);
  void Unregister(QEventLoop* loop) EXCLUDES(mu_);

  const std::function<void()> shut_down_;
  std::atomic<bool> requested_{false};
  Mutex mu_;
  std::vector<QEventLoop*> loops_ GUARDED_BY(mu_);
};

// The wait of a modal box on the monitor thread: a nested Qt event loop in
// which timer ticks and posted calls go on being delivered, until Close()
// (from any thread) or a stop. Usage (a view's ShowMessage):
//   ModalLoop box(stop);
//   post "show the box, call box.Close() when it is closed" to the GUI;
//   box.Run();   // raises MonitorStopped when the stop ended the wait
class ModalLoop {
 public:
  explicit ModalLoop(StopSignal& stop) : stop_(stop) {}
  ModalLoop(const ModalLoop&) = delete;
  ModalLoop& operator=(const ModalLoop&) = delete;
  // REQUIRES: called once, on the thread that owns the monitor.
  void Run() EXCLUDES(mu_);
  // Thread-safe; may come before Run (Run then returns at once).
  void Close() EXCLUDES(mu_);

 private:
  StopSignal& stop_;
  Mutex mu_;
  QEventLoop* loop_ GUARDED_BY(mu_) = nullptr;
  bool closed_ GUARDED_BY(mu_) = false;
};

}  // namespace tallyvox::monitor

#endif  // TALLYVOX_MONITOR_STOP_H_
