#include "assembly/runner.h"

#include <QDeadlineTimer>
#include <QThread>
#include <exception>

#include <openssl/crypto.h>

#include "monitor/post_call.h"
#include "net/socket_registry.h"

namespace tallyvox::monitor {

void ShutDownSockets() { net::SocketRegistry::ShutDownAll(); }

class MonitorRunner::Thread : public QThread {
 public:
  explicit Thread(MonitorRunner* runner) : runner_(runner) {}

 protected:
  void run() override {
    runner_->Run([this] { exec(); });
  }

 private:
  MonitorRunner* runner_;
};

MonitorRunner::MonitorRunner(Build build) : build_(std::move(build)) {}

MonitorRunner::~MonitorRunner() {
  if (thread_ == nullptr) return;
  if (!Stop(std::chrono::seconds(1))) {
    // Destroying a running QThread aborts the process: leave it to the end.
    (void)thread_.release();
  }
}

void MonitorRunner::Start(Started started) {
  started_ = std::move(started);
  thread_ = std::make_unique<Thread>(this);
  thread_->setObjectName("monitor");
  thread_->start();
}

void MonitorRunner::Run(const std::function<void()>& exec) {
  struct RanOut {
    std::atomic<bool>& flag;
    ~RanOut() { flag.store(true, std::memory_order_release); }
  } ran_out{ran_out_};
  std::unique_ptr<MonitorAssembly> assembly;
  std::string error;
  try {
    assembly = build_(stop_);
  } catch (const std::exception& e) {
    error = e.what();
  }
  if (assembly != nullptr && guard_) assembly->GuardStalls(*guard_);
  if (started_) started_(assembly.get(), error);
  if (assembly == nullptr) return;
  {
    MutexLock lock(&mu_);
    assembly_ = assembly.get();
    for (auto& call : pending_) Queue(std::move(call));
    pending_.clear();
  }
  if (!stop_.Requested()) exec();
  {
    MutexLock lock(&mu_);
    assembly_ = nullptr;
  }
  assembly.reset();
  // The thread's OpenSSL state (its error queue) is otherwise freed only as
  // the thread exits, which may come after a joining process has ended.
  OPENSSL_thread_stop();
}

void MonitorRunner::Post(std::function<void(Monitor&)> call) {
  PostToAssembly([call = std::move(call)](MonitorAssembly& a) { call(a.monitor()); });
}

void MonitorRunner::PostToAssembly(std::function<void(MonitorAssembly&)> call) {
  MutexLock lock(&mu_);
  if (stop_.Requested()) return;
  if (assembly_ == nullptr) {
    pending_.push_back(std::move(call));
    return;
  }
  Queue(std::move(call));
}

void MonitorRunner::Queue(std::function<void(MonitorAssembly&)> call) {
  MonitorAssembly* a = assembly_;
  PostCall(&a->monitor(), [a, call = std::move(call)] { call(*a); });
}

bool MonitorRunner::Stop(std::chrono::milliseconds bound) {
  stop_.Request();
  if (thread_ == nullptr) return true;
  thread_->quit();
  if (!thread_->wait(QDeadlineTimer(static_cast<qint64>(bound.count())))) return false;
  return ran_out_.load(std::memory_order_acquire);
}

bool MonitorRunner::Finished() const {
  return thread_ == nullptr || (thread_->isFinished() && ran_out_.load(std::memory_order_acquire));
}

}  // namespace tallyvox::monitor
