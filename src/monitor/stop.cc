#include "monitor/stop.h"

#include <QEventLoop>
#include <algorithm>

#include "monitor/post_call.h"

namespace tallyvox::monitor {

void StopSignal::Request() {
  requested_.store(true);
  if (shut_down_) shut_down_();
  MutexLock lock(&mu_);
  for (QEventLoop* loop : loops_) {
    PostCall(loop, [loop] { loop->quit(); });
  }
}

void StopSignal::Register(QEventLoop* loop) {
  MutexLock lock(&mu_);
  loops_.push_back(loop);
}

void StopSignal::Unregister(QEventLoop* loop) {
  MutexLock lock(&mu_);
  loops_.erase(std::remove(loops_.begin(), loops_.end(), loop), loops_.end());
}

void ModalLoop::Run() {
  stop_.ThrowIfStopped();
  QEventLoop loop;
  {
    MutexLock lock(&mu_);
    if (closed_) return;
    loop_ = &loop;
  }
  stop_.Register(&loop);
  // A stop between the check above and the registration would be missed.
  if (!stop_.Requested()) loop.exec();
  stop_.Unregister(&loop);
  {
    MutexLock lock(&mu_);
    loop_ = nullptr;
  }
  stop_.ThrowIfStopped();
}

void ModalLoop::Close() {
  MutexLock lock(&mu_);
  closed_ = true;
  if (QEventLoop* loop = loop_) PostCall(loop, [loop] { loop->quit(); });
}

}  // namespace tallyvox::monitor
