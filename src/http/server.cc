#include "http/server.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <deque>
#include <system_error>
#include <unordered_map>

#include "base/mutex.h"
#include "base/thread_annotations.h"
#include "http/socket_io.h"
#include "http/tls_context.h"

namespace tallyvox::http {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr size_t kReadChunk = 16 * 1024;
// After the descriptors ran out (EMFILE): try accepting again after this.
constexpr milliseconds kAcceptPause{100};
// Accepts per turn of the event loop, so reading goes on during a flood.
constexpr int kAcceptsPerTurn = 64;
// What a worker reads and drops before closing a served connection.
constexpr size_t kDropOnClose = 64 * 1024;
constexpr milliseconds kStopBound{100};

// A connection on the event thread: accepted, being read, or refused and
// lingering.
struct Connection {
  Connection(std::unique_ptr<ConnIo> i, Clock::time_point now, const ServerOptions& o)
      : fd(i->fd()),
        io(std::move(i)),
        deadline(now + o.request_deadline),
        last_input(now),
        reader(o.limits) {}
  int fd;                        // -1 once closed or handed to a worker
  std::unique_ptr<ConnIo> io;    // reads and writes fd (plain or TLS)
  Clock::time_point deadline;    // the whole request's, from the accept
  Clock::time_point last_input;  // the accept or the last bytes received
  RequestReader reader;
  // Refused and answered: its further input is read and dropped until
  // linger_end, then it is closed.
  bool answered = false;
  Clock::time_point linger_end;
};

// A complete request waiting for a worker.
struct Job {
  int fd = -1;
  std::unique_ptr<ConnIo> io;
  Request request;
  Clock::time_point deadline;
  size_t bytes = 0;
};

int MillisUntil(Clock::time_point now, Clock::time_point then) {
  const auto ms = std::chrono::ceil<milliseconds>(then - now).count();
  return static_cast<int>(std::clamp<int64_t>(ms, 0, 60000));
}

}  // namespace

class Server::Core : public std::enable_shared_from_this<Server::Core> {
 public:
  Core(int listen_fd, int stop_fd, Router router, ServerOptions options, int threads)
      : listen_fd_(listen_fd),
        stop_fd_(stop_fd),
        router_(std::move(router)),
        options_(options),
        running_(threads) {}
  ~Core() {
    if (listen_fd_ >= 0) ::close(listen_fd_);
    ::close(stop_fd_);
  }

  void RunEvents();
  void RunWorker();
  // Wakes every thread and closes the queued connections. Idempotent.
  void Stop();
  // True once every thread has ended, false after `bound`.
  bool WaitForThreads(milliseconds bound);
  ServerStats Stats() const;

 private:
  // The event thread's steps.
  int NextTimeout(Clock::time_point now) const;
  void ReadFrom(Connection& c, Clock::time_point now);
  void Answer(Connection& c, int status, Clock::time_point now);
  void Answer(Connection& c, const Response& r, Clock::time_point now);
  void Enqueue(Connection& c, Clock::time_point now);
  void Expire(Clock::time_point now);
  void AcceptSome(Clock::time_point now);
  void EvictOne();
  void Close(Connection& c);
  void Publish();
  // A worker's: dispatches the request to its handler, which answers now
  // or later (a deferred route) through a Responder.
  void Serve(Job& job);
  // The Responder of a request on `io`: Send writes the answer and closes.
  Responder MakeResponder(std::unique_ptr<ConnIo> io, bool head_only);
  // Writes the answer within the write deadline, then closes the connection.
  void Write(std::unique_ptr<ConnIo> io, bool head_only, Response response);
  void ThreadEnded();

  int listen_fd_;      // the event thread's (then closed by it)
  const int stop_fd_;  // an eventfd, readable once Stop() ran
  const Router router_;
  const ServerOptions options_;

  // The event thread's alone.
  std::vector<std::unique_ptr<Connection>> conns_;
  Clock::time_point accept_resume_{};
  std::array<char, kReadChunk> buf_{};

  mutable Mutex mu_;
  CondVar work_cv_;  // a job queued, or stopping
  CondVar done_cv_;  // a thread ended
  std::deque<Job> queue_ GUARDED_BY(mu_);
  size_t queued_bytes_ GUARDED_BY(mu_) = 0;
  bool stopping_ GUARDED_BY(mu_) = false;
  // Connections whose answer a deferred handler gives later, by descriptor:
  // out of the event thread's list (never evicted nor timed out) and of the
  // queue; as many as the deferred handlers let wait (the probe route's
  // bound). Closed by Stop().
  std::unordered_map<int, std::unique_ptr<ConnIo>> deferred_ GUARDED_BY(mu_);
  int running_ GUARDED_BY(mu_);  // threads not yet ended

  // Published by the event thread for Stats().
  std::atomic<int> connections_{0};
  std::atomic<size_t> connection_bytes_{0};
  std::atomic<uint64_t> accepted_{0};
  std::atomic<uint64_t> evicted_{0};
  std::atomic<uint64_t> timed_out_{0};
};

void Server::Core::RunEvents() {
  std::vector<pollfd> fds;
  for (;;) {
    const Clock::time_point now = Clock::now();
    fds.clear();
    fds.push_back({stop_fd_, POLLIN, 0});
    // A negative descriptor is skipped by poll: accepting pauses after EMFILE.
    fds.push_back({now >= accept_resume_ ? listen_fd_ : -1, POLLIN, 0});
    for (const auto& c : conns_) {
      fds.push_back({c->fd, c->answered ? static_cast<short>(POLLIN) : c->io->Events(), 0});
    }
    const int n = ::poll(fds.data(), fds.size(), NextTimeout(now));
    if (n < 0 && errno != EINTR) std::this_thread::sleep_for(milliseconds(10));
    if (fds[0].revents != 0) break;
    const Clock::time_point after = Clock::now();
    for (size_t i = 0; n >= 0 && i < conns_.size(); ++i) {
      if (fds[2 + i].revents != 0 || (conns_[i]->io && conns_[i]->io->Buffered()))
        ReadFrom(*conns_[i], after);
    }
    Expire(after);
    std::erase_if(conns_, [](const auto& c) { return c->fd < 0; });
    if (n > 0 && fds[1].revents != 0) AcceptSome(after);
    Publish();
  }
  for (const auto& c : conns_) Close(*c);
  conns_.clear();
  ::close(listen_fd_);
  listen_fd_ = -1;
  Publish();
  ThreadEnded();
}

int Server::Core::NextTimeout(Clock::time_point now) const {
  Clock::time_point next = Clock::time_point::max();
  if (now < accept_resume_) next = accept_resume_;
  for (const auto& c : conns_) {
    if (!c->answered && c->io && c->io->Buffered()) return 0;  // bytes at hand already
    next = std::min(next, c->answered ? c->linger_end : c->deadline);
  }
  return next == Clock::time_point::max() ? -1 : MillisUntil(now, next);
}

void Server::Core::ReadFrom(Connection& c, Clock::time_point now) {
  const ssize_t n = c.io->Read(buf_.data(), buf_.size());
  if (n == ConnIo::kWait) return;
  if (n == ConnIo::kRefuse) {  // plain HTTP on a TLS port: told so in the clear
    Response r = StatusResponse(400);
    r.body = "This port speaks HTTPS only: ask for https://\n";
    Answer(c, r, now);
    return;
  }
  if (n <= 0) {  // the client is gone (or done after our answer)
    Close(c);
    return;
  }
  if (c.answered) return;  // dropped
  c.last_input = now;
  switch (c.reader.Feed(std::string_view(buf_.data(), static_cast<size_t>(n)))) {
    case RequestReader::State::kReading:
      return;
    case RequestReader::State::kRefused:
      Answer(c, c.reader.refusal_status(), now);
      return;
    case RequestReader::State::kComplete:
      Enqueue(c, now);
      return;
  }
}

// Answers a refusal from the event thread (a short answer into an empty
// socket buffer: it does not wait), then lingers: the rest of the request
// is read and dropped, so the close does not reset the connection before
// the client has read the answer.
void Server::Core::Answer(Connection& c, int status, Clock::time_point now) {
  Answer(c, StatusResponse(status), now);
}

void Server::Core::Answer(Connection& c, const Response& r, Clock::time_point now) {
  c.io->SendNow(SerializeHead(r, std::time(nullptr)) + r.body);
  c.io->ShutdownWrite();
  c.answered = true;
  c.linger_end = now + options_.linger;
  c.reader = RequestReader(options_.limits);  // lets go of what it held
}

void Server::Core::Enqueue(Connection& c, Clock::time_point now) {
  Job job;
  job.bytes = c.reader.HeldBytes();
  job.fd = c.fd;
  job.io = std::move(c.io);
  job.request = c.reader.TakeRequest();
  job.deadline = c.deadline;
  {
    MutexLock lock(&mu_);
    if (!stopping_ && queue_.size() < static_cast<size_t>(options_.queue_capacity)) {
      queued_bytes_ += job.bytes;
      queue_.push_back(std::move(job));
      c.fd = -1;  // the worker's now
    } else {
      c.io = std::move(job.io);
    }
  }
  if (c.fd < 0) {
    work_cv_.Signal();
  } else {
    Answer(c, 503, now);
  }
}

void Server::Core::Expire(Clock::time_point now) {
  for (const auto& c : conns_) {
    if (c->fd < 0) continue;
    if (c->answered) {
      if (now >= c->linger_end) Close(*c);
    } else if (now >= c->deadline) {
      // Mid-handshake a TLS client gets no answer: there is no channel yet.
      const Response r = StatusResponse(408);
      if (c->io->Ready()) c->io->SendNow(SerializeHead(r, std::time(nullptr)) + r.body);
      Close(*c);
      timed_out_.fetch_add(1, std::memory_order_relaxed);
    }
  }
}

void Server::Core::AcceptSome(Clock::time_point now) {
  for (int i = 0; i < kAcceptsPerTurn; ++i) {
    const int fd = io::Accept(listen_fd_);
    if (fd < 0) {
      if (errno == EINTR || errno == ECONNABORTED || errno == EPROTO) continue;
      if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
        accept_resume_ = now + kAcceptPause;
      }
      return;
    }
    accepted_.fetch_add(1, std::memory_order_relaxed);
    std::unique_ptr<ConnIo> conn_io = options_.tls ? options_.tls->Accept(fd) : PlainConnIo(fd);
    if (conn_io == nullptr) {
      ::close(fd);
      continue;
    }
    conns_.push_back(std::make_unique<Connection>(std::move(conn_io), now, options_));
    if (conns_.size() > static_cast<size_t>(options_.max_connections)) EvictOne();
  }
}

// Closes one connection other than the newest to keep the bound: one that
// was answered already if any, else the one idle the longest.
void Server::Core::EvictOne() {
  auto victim = conns_.end();
  for (auto it = conns_.begin(); it + 1 != conns_.end(); ++it) {
    const Connection& c = **it;
    if (victim == conns_.end()) {
      victim = it;
      continue;
    }
    const Connection& v = **victim;
    if (c.answered != v.answered ? c.answered : c.last_input < v.last_input) victim = it;
  }
  if (victim == conns_.end()) return;
  Close(**victim);
  conns_.erase(victim);
  evicted_.fetch_add(1, std::memory_order_relaxed);
}

void Server::Core::Close(Connection& c) {
  c.io.reset();
  if (c.fd >= 0) ::close(c.fd);
  c.fd = -1;
}

void Server::Core::Publish() {
  size_t bytes = 0;
  for (const auto& c : conns_) bytes += c->reader.HeldBytes();
  connections_.store(static_cast<int>(conns_.size()), std::memory_order_relaxed);
  connection_bytes_.store(bytes, std::memory_order_relaxed);
}

void Server::Core::RunWorker() {
  for (;;) {
    Job job;
    {
      MutexLock lock(&mu_);
      while (!stopping_ && queue_.empty()) work_cv_.Wait(&mu_);
      if (stopping_) break;
      job = std::move(queue_.front());
      queue_.pop_front();
      queued_bytes_ -= job.bytes;
    }
    Serve(job);
  }
  ThreadEnded();
}

void Server::Core::Serve(Job& job) {
  // A request that waited past its deadline is not run: its client may
  // have given up, and the work would only delay the next ones.
  const bool head_only = job.request.method == "HEAD";
  if (Clock::now() >= job.deadline) {
    Write(std::move(job.io), head_only, StatusResponse(503));
    return;
  }
  router_.Dispatch(job.request, MakeResponder(std::move(job.io), head_only));
}

Responder Server::Core::MakeResponder(std::unique_ptr<ConnIo> io, bool head_only) {
  const int fd = io->fd();
  {
    MutexLock lock(&mu_);
    deferred_.emplace(fd, std::move(io));
  }
  return Responder([core = shared_from_this(), fd, head_only](Response response) {
    std::unique_ptr<ConnIo> conn;
    {
      MutexLock lock(&core->mu_);
      // Stop() closed it already (the number may be another file's now).
      const auto it = core->deferred_.find(fd);
      if (it == core->deferred_.end()) return;
      conn = std::move(it->second);
      core->deferred_.erase(it);
    }
    core->Write(std::move(conn), head_only, std::move(response));
  });
}

void Server::Core::Write(std::unique_ptr<ConnIo> io, bool head_only, Response response) {
  std::string head;
  try {
    head = SerializeHead(response, std::time(nullptr));
  } catch (const std::invalid_argument&) {
    response = StatusResponse(500);
    head = SerializeHead(response, std::time(nullptr));
  }
  const int fd = io->fd();
  io->SendAll(head, head_only ? std::string_view() : std::string_view(response.body),
              Clock::now() + options_.write_deadline, stop_fd_);
  io->ShutdownWrite();
  io::DropInput(fd, kDropOnClose);
  io.reset();
  ::close(fd);
}

void Server::Core::Stop() {
  {
    MutexLock lock(&mu_);
    if (stopping_) return;
    stopping_ = true;
    for (Job& job : queue_) {
      job.io.reset();
      ::close(job.fd);
    }
    queue_.clear();
    for (auto& [fd, io] : deferred_) {
      io.reset();
      ::close(fd);
    }
    deferred_.clear();
    queued_bytes_ = 0;
  }
  work_cv_.SignalAll();
  const uint64_t one = 1;
  [[maybe_unused]] const ssize_t n = ::write(stop_fd_, &one, sizeof one);
}

void Server::Core::ThreadEnded() {
  {
    MutexLock lock(&mu_);
    --running_;
  }
  done_cv_.SignalAll();
}

bool Server::Core::WaitForThreads(milliseconds bound) {
  const auto deadline = Clock::now() + bound;
  MutexLock lock(&mu_);
  while (running_ > 0) {
    if (!done_cv_.WaitUntil(&mu_, deadline)) return running_ <= 0;
  }
  return true;
}

ServerStats Server::Core::Stats() const {
  ServerStats s;
  s.connections = connections_.load(std::memory_order_relaxed);
  s.held_bytes = connection_bytes_.load(std::memory_order_relaxed);
  {
    MutexLock lock(&mu_);
    s.queued = static_cast<int>(queue_.size());
    s.held_bytes += queued_bytes_;
  }
  s.accepted = accepted_.load(std::memory_order_relaxed);
  s.evicted = evicted_.load(std::memory_order_relaxed);
  s.timed_out = timed_out_.load(std::memory_order_relaxed);
  return s;
}

Server::Server(const std::string& host, int port, Router router, ServerOptions options) {
  std::string error;
  io::Bound bound;
  const int listen_fd = io::Listen(host, port, &bound, &error);
  port_ = bound.port;
  bound_host_ = bound.host;
  const std::string where =
      (host.find(':') != std::string::npos ? "[" + host + "]" : host) + ":" + std::to_string(port);
  if (listen_fd < 0) throw ServerError("cannot listen on " + where + ": " + error);
  const int stop_fd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (stop_fd < 0) {
    ::close(listen_fd);
    throw ServerError("cannot serve " + where + ": eventfd: " + std::strerror(errno));
  }
  core_ =
      std::make_shared<Core>(listen_fd, stop_fd, std::move(router), options, 1 + options.workers);
  try {
    threads_.emplace_back([core = core_] { core->RunEvents(); });
    for (int i = 0; i < options.workers; ++i) {
      threads_.emplace_back([core = core_] { core->RunWorker(); });
    }
  } catch (const std::system_error& e) {
    core_->Stop();
    for (std::thread& t : threads_) t.join();
    throw ServerError("cannot serve " + where + ": " + e.what());
  }
}

Server::~Server() {
  core_->Stop();
  const bool ended = core_->WaitForThreads(kStopBound);
  for (std::thread& t : threads_) {
    if (ended) {
      t.join();
    } else {
      t.detach();  // a handler still runs; the core stays alive with it
    }
  }
}

ServerStats Server::Stats() const { return core_->Stats(); }

}  // namespace tallyvox::http
