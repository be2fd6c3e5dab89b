// DeliveryQueue: a thread of its own that runs mail deliveries one after
// another, in the order posted, so that the monitor's thread (and with it
// the probes of a parallel cycle) never waits for a mail server. A job's
// outcome goes back to the monitor's thread as a posted call (PostCall);
// a job never touches the view or the observers. What must not overlap a
// delivery (new mail settings) is a job of its own, between the ones posted
// before it and those posted after it.
//
// Thread-safe. Invariant: at most one job runs at a time, in the order
// posted.
#ifndef TALLYVOX_ALERTS_DELIVERY_QUEUE_H_
#define TALLYVOX_ALERTS_DELIVERY_QUEUE_H_

#include <deque>
#include <functional>
#include <thread>

#include "base/mutex.h"
#include "base/thread_annotations.h"

namespace tallyvox::monitor {

class DeliveryQueue {
 public:
  DeliveryQueue();
  // Drops the jobs still waiting, lets the one under way end (at once after
  // a stop, which shuts its sockets down) and joins the thread.
  ~DeliveryQueue();
  DeliveryQueue(const DeliveryQueue&) = delete;
  DeliveryQueue& operator=(const DeliveryQueue&) = delete;

  void Post(std::function<void()> job) EXCLUDES(mu_);

 private:
  void Run() EXCLUDES(mu_);

  Mutex mu_;
  CondVar cv_;
  std::deque<std::function<void()>> jobs_ GUARDED_BY(mu_);
  bool quit_ GUARDED_BY(mu_) = false;
  std::thread thread_;  // last: starts once the rest is built
};

}  // namespace tallyvox::monitor

#endif  // TALLYVOX_ALERTS_DELIVERY_QUEUE_H_
