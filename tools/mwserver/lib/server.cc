#include "mwserver/lib/server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/resource.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <map>
#include <utility>
#include <vector>

#include "middleware/wire/framing.h"
#include "mwserver/lib/frame_reader.h"
#include "mwserver/lib/request_handler.h"

namespace tallyvox::mwserver {
namespace {

using Clock = std::chrono::steady_clock;

constexpr size_t kReadChunk = 64 * 1024;
// What --fault huge announces: 256 MiB, of which only 16 bytes follow.
constexpr size_t kHugeLength = 0x10000000;
// Descriptors besides listeners and connections: the standard streams, the
// epoll set, the stop event and the signal descriptor, with some to spare.
constexpr long long kReservedDescriptors = 16;
// The gap between the bytes of --fault trickle without --delay.
constexpr int kTrickleGapMs = 100;

struct Listener {
  int fd = -1;
  std::string address;  // "ip:port"
  const Behaviour* behaviour = nullptr;
};

// How long an answer (with --fault trickle: each byte of it) is held back.
int AnswerDelayMs(const Behaviour& b) {
  return b.fault == Fault::kTrickle && b.delay_ms == 0 ? kTrickleGapMs : b.delay_ms;
}

struct Connection {
  int fd = -1;
  const Listener* listener = nullptr;
  std::string peer;
  FrameReader reader;
  std::string out;
  size_t out_offset = 0;
  bool writing = false;  // EPOLLOUT registered
  bool close_after_write = false;
  bool waiting = false;  // an answer is held back by --delay
  Clock::time_point answer_at;
  std::string pending;
  bool pending_close = false;
  bool mute = false;  // answers nothing more (after --fault huge)
  Clock::time_point last_activity;
  // The first byte of the request under way (the bytes buffered and not yet
  // a whole message), while the connection is not waiting to answer.
  Clock::time_point request_started;

  // No request under way and nothing to send: a connection that may go.
  bool Idle() const { return !waiting && out.empty() && reader.buffered() == 0; }

  Connection(const Behaviour& b, size_t max_message) : reader(b.framing, max_message) {}
};

std::string EndpointText(const sockaddr_in& addr) {
  char ip[INET_ADDRSTRLEN];
  inet_ntop(AF_INET, &addr.sin_addr, ip, sizeof ip);
  return std::string(ip) + ":" + std::to_string(ntohs(addr.sin_port));
}

}  // namespace

struct Server::Impl {
  ServerOptions options;
  LogSink log;
  int epoll_fd = -1;
  int stop_fd = -1;
  int signal_fd = -1;
  std::vector<std::unique_ptr<Listener>> listeners;
  std::map<int, Listener*> listener_by_fd;
  std::map<int, std::unique_ptr<Connection>> connections;
  bool accepting = true;  // the listeners are in the epoll set
  // After the system ran out of descriptors: try accepting again then.
  Clock::time_point retry_accept_at{};

  ~Impl() {
    for (auto& [fd, c] : connections) ::close(fd);
    for (auto& l : listeners) ::close(l->fd);
    if (signal_fd >= 0) ::close(signal_fd);
    if (stop_fd >= 0) ::close(stop_fd);
    if (epoll_fd >= 0) ::close(epoll_fd);
  }

  void Log(const std::string& line) { log(line); }

  bool Watch(int fd, uint32_t events, int op) {
    epoll_event ev{};
    ev.events = events;
    ev.data.fd = fd;
    return ::epoll_ctl(epoll_fd, op, fd, &ev) == 0;
  }

  // Binds and listens on ip:port (port 0: one the system chooses); the
  // port bound, or 0 with a message in *error.
  int Bind(const std::string& ip, int port, const Behaviour* behaviour, std::string* error) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
      *error = std::string("socket: ") + std::strerror(errno);
      return 0;
    }
    const int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    inet_pton(AF_INET, ip.c_str(), &addr.sin_addr);
    socklen_t len = sizeof addr;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        ::listen(fd, 511) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
      *error = "cannot listen on " + ip + ":" + std::to_string(port) + ": " + std::strerror(errno);
      ::close(fd);
      return 0;
    }
    const int bound = ntohs(addr.sin_port);
    auto listener = std::make_unique<Listener>();
    listener->fd = fd;
    listener->address = ip + ":" + std::to_string(bound);
    listener->behaviour = behaviour;
    if (!Watch(fd, EPOLLIN, EPOLL_CTL_ADD)) {
      *error = std::string("epoll: ") + std::strerror(errno);
      ::close(fd);
      return 0;
    }
    listener_by_fd[fd] = listener.get();
    listeners.push_back(std::move(listener));
    return bound;
  }

  // Closes the listeners from index `first` on.
  void DropListenersFrom(size_t first) {
    while (listeners.size() > first) {
      const int fd = listeners.back()->fd;
      ::epoll_ctl(epoll_fd, EPOLL_CTL_DEL, fd, nullptr);
      ::close(fd);
      listener_by_fd.erase(fd);
      listeners.pop_back();
    }
  }

  // Every address of `entry` on one port. With port 0 the first address
  // takes a port of the system's choosing and the others the same one; when
  // one of them has it taken already, the whole entry starts again.
  bool BindEntry(const ListenEntry& entry, std::string* error) {
    constexpr int kAttempts = 20;
    const size_t first = listeners.size();
    for (int attempt = 0; attempt < kAttempts; ++attempt) {
      int port = entry.port;
      bool ok = true;
      for (int i = 0; i < entry.count && ok; ++i) {
        const int bound = Bind(OffsetAddress(entry.first_ip, i), port, &entry.behaviour, error);
        ok = bound != 0;
        port = bound;
      }
      if (ok) return true;
      DropListenersFrom(first);
      if (entry.port != 0) return false;
    }
    return false;
  }

  void Close(Connection* c) {
    const int fd = c->fd;
    ::epoll_ctl(epoll_fd, EPOLL_CTL_DEL, fd, nullptr);
    ::close(fd);
    connections.erase(fd);
    if (!accepting && static_cast<int>(connections.size()) < options.max_connections) {
      SetAccepting(true);
    }
  }

  // Takes the listeners out of the epoll set, or puts them back: while out,
  // new connections wait in the listen queue.
  void SetAccepting(bool on) {
    if (on == accepting) return;
    accepting = on;
    for (const auto& l : listeners) Watch(l->fd, EPOLLIN, on ? EPOLL_CTL_ADD : EPOLL_CTL_DEL);
    if (on) retry_accept_at = Clock::time_point{};
  }

  // At the connection cap: closes the connection idle the longest. False
  // when every connection has a request or an answer under way.
  bool MakeRoom() {
    Connection* idlest = nullptr;
    for (auto& [fd, c] : connections) {
      if (c->Idle() && (idlest == nullptr || c->last_activity < idlest->last_activity)) {
        idlest = c.get();
      }
    }
    if (idlest == nullptr) return false;
    Log("mwserver " + idlest->listener->address + " " + idlest->peer +
        " closed: idle the longest, to make room");
    Close(idlest);
    return true;
  }

  // The listener is readable: at least one connection waits in its queue.
  void Accept(Listener* l) {
    for (bool first = true;; first = false) {
      if (static_cast<int>(connections.size()) >= options.max_connections) {
        if (!first) return;  // any further ones wake the loop again
        if (!MakeRoom()) {
          SetAccepting(false);  // until a connection closes
          return;
        }
      }
      sockaddr_in peer{};
      socklen_t len = sizeof peer;
      const int fd =
          ::accept4(l->fd, reinterpret_cast<sockaddr*>(&peer), &len, SOCK_NONBLOCK | SOCK_CLOEXEC);
      if (fd < 0) {
        if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
          // Out of descriptors or memory: stop accepting for a second
          // rather than being woken for the same connection again and again.
          Log("mwserver " + l->address + " cannot accept: " + std::strerror(errno));
          SetAccepting(false);
          retry_accept_at = Clock::now() + std::chrono::seconds(1);
        }
        return;  // EAGAIN, or a connection that died in the queue
      }
      const std::string peer_text = EndpointText(peer);
      if (l->behaviour->fault == Fault::kClose) {
        Log("mwserver " + l->address + " " + peer_text + " closed on accept (fault close)");
        ::close(fd);
        continue;
      }
      auto c = std::make_unique<Connection>(*l->behaviour, options.max_message);
      c->fd = fd;
      c->listener = l;
      c->peer = peer_text;
      c->last_activity = Clock::now();
      if (!Watch(fd, EPOLLIN | EPOLLRDHUP, EPOLL_CTL_ADD)) {
        ::close(fd);
        continue;
      }
      connections[fd] = std::move(c);
    }
  }

  // Sends what can be sent now; false when the connection was closed.
  bool Flush(Connection* c) {
    while (c->out_offset < c->out.size()) {
      const ssize_t n =
          ::send(c->fd, c->out.data() + c->out_offset, c->out.size() - c->out_offset, MSG_NOSIGNAL);
      if (n > 0) {
        c->out_offset += static_cast<size_t>(n);
        continue;
      }
      if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
        if (!c->writing) {
          c->writing = true;
          Watch(c->fd, EPOLLIN | EPOLLOUT | EPOLLRDHUP, EPOLL_CTL_MOD);
        }
        return true;
      }
      if (n < 0 && errno == EINTR) continue;
      Close(c);
      return false;
    }
    c->out.clear();
    c->out_offset = 0;
    if (c->writing) {
      c->writing = false;
      Watch(c->fd, EPOLLIN | EPOLLRDHUP, EPOLL_CTL_MOD);
    }
    if (c->close_after_write) {
      ::shutdown(c->fd, SHUT_WR);
      Close(c);
      return false;
    }
    return true;
  }

  bool Queue(Connection* c, const std::string& bytes, bool close_after) {
    if (c->out.size() - c->out_offset + bytes.size() > options.max_output) {
      Log("mwserver " + c->listener->address + " " + c->peer +
          " closed: client does not read its answers");
      Close(c);
      return false;
    }
    c->out += bytes;
    c->close_after_write = c->close_after_write || close_after;
    return Flush(c);
  }

  // The framed answer for `response` under the listener's fault mode.
  std::string Frame(const Connection& c, const std::string& response, bool* close_after) {
    const Framing framing =
        c.reader.framing() == Framing::kAuto ? Framing::kPlain : c.reader.framing();
    *close_after = false;
    switch (c.listener->behaviour->fault) {
      case Fault::kBadHeader: {
        std::string header = mw::FormatVerifiedLength(static_cast<uint32_t>(response.size()));
        header[18] = header[18] == '0' ? '1' : '0';  // the checksum no longer matches
        return header + response;
      }
      case Fault::kBadHex: {
        std::string header = "MWMSG XZZZZZZZZ ";
        char tail[4];
        std::snprintf(tail, sizeof tail, "X%02X", mw::XorChecksum(header));
        return header + tail + "\n\r" + response;
      }
      case Fault::kHuge:
        return FramePrefix(framing, kHugeLength) + response.substr(0, 16);
      case Fault::kRawClose:
        *close_after = true;
        return response;
      default:
        return FramePrefix(framing, response.size()) + response;
    }
  }

  // Answers the complete messages in the connection's buffer; false when the
  // connection was closed.
  bool Process(Connection* c) {
    const Behaviour& b = *c->listener->behaviour;
    while (!c->waiting) {
      if (c->mute) {
        c->reader.Clear();
        return true;
      }
      std::string message;
      const FrameReader::Status status = c->reader.Next(&message);
      if (status == FrameReader::Status::kNeedMore) return true;
      const std::string who = "mwserver " + c->listener->address + " " + c->peer + " ";
      if (status == FrameReader::Status::kInvalid) {
        Log(who + "closed: invalid verified length header");
        Close(c);
        return false;
      }
      if (status == FrameReader::Status::kTooLarge) {
        Log(who + "closed: announced message length over the limit of " +
            std::to_string(options.max_message) + " bytes");
        Close(c);
        return false;
      }
      // Bytes left over begin the next request.
      c->request_started = Clock::now();
      HandledRequest handled = HandleRequest(b, message);
      if (b.fault == Fault::kDrop) {
        if (!options.quiet) Log(who + handled.log + " -> dropped (fault drop)");
        Close(c);
        return false;
      }
      if (b.fault == Fault::kSilent) {
        if (!options.quiet) Log(who + handled.log + " -> no answer (fault silent)");
        continue;
      }
      if (!options.quiet) Log(who + handled.log);
      bool close_after = false;
      std::string framed = Frame(*c, handled.response, &close_after);
      c->mute = b.fault == Fault::kHuge;
      if (AnswerDelayMs(b) > 0) {
        c->waiting = true;
        c->pending = std::move(framed);
        c->pending_close = close_after;
        c->answer_at = Clock::now() + std::chrono::milliseconds(AnswerDelayMs(b));
        return true;
      }
      if (!Queue(c, framed, close_after)) return false;
      if (close_after) return true;
    }
    return true;
  }

  void Readable(Connection* c) {
    char chunk[kReadChunk];
    for (;;) {
      const ssize_t n = ::recv(c->fd, chunk, sizeof chunk, 0);
      if (n > 0) {
        c->last_activity = Clock::now();
        if (c->reader.buffered() == 0) c->request_started = c->last_activity;
        c->reader.Append(std::string_view(chunk, static_cast<size_t>(n)));
        if (c->reader.buffered() > options.max_message + mw::kMwVerifiedHeaderSize + kReadChunk) {
          Log("mwserver " + c->listener->address + " " + c->peer + " closed: input over the cap");
          Close(c);
          return;
        }
        if (!Process(c)) return;
        continue;
      }
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
      Close(c);  // peer closed or failed
      return;
    }
  }

  // Releases held answers whose delay has passed, closes connections whose
  // request is overdue or that stayed idle too long, and accepts again once
  // a pause for lack of descriptors is over.
  void Timers() {
    const auto now = Clock::now();
    std::vector<int> fds;
    for (auto& [fd, c] : connections) fds.push_back(fd);
    for (int fd : fds) {
      auto it = connections.find(fd);
      if (it == connections.end()) continue;
      Connection* c = it->second.get();
      const std::string who = "mwserver " + c->listener->address + " " + c->peer + " ";
      if (c->waiting && now >= c->answer_at && c->listener->behaviour->fault == Fault::kTrickle &&
          c->pending.size() > 1) {
        // One byte now, the next after the gap; the last goes the usual way.
        c->last_activity = now;
        c->answer_at = now + std::chrono::milliseconds(AnswerDelayMs(*c->listener->behaviour));
        const std::string byte = c->pending.substr(0, 1);
        c->pending.erase(0, 1);
        Queue(c, byte, false);
      } else if (c->waiting && now >= c->answer_at) {
        c->waiting = false;
        c->last_activity = now;
        c->request_started = now;  // for a request that arrived meanwhile
        const bool close_after = c->pending_close;
        if (!Queue(c, std::exchange(c->pending, std::string()), close_after)) continue;
        if (!close_after && !Process(c)) continue;
      } else if (!c->waiting && c->reader.buffered() > 0 &&
                 now - c->request_started > std::chrono::seconds(options.request_timeout_s)) {
        // Every byte may come slowly, but the request as a whole may not.
        Log(who + "closed: request not complete within " +
            std::to_string(options.request_timeout_s) + " s");
        Close(c);
      } else if (c->Idle() &&
                 now - c->last_activity > std::chrono::seconds(options.idle_timeout_s)) {
        Log(who + "closed: idle");
        Close(c);
      }
    }
    if (!accepting && retry_accept_at != Clock::time_point{} && now >= retry_accept_at &&
        static_cast<int>(connections.size()) < options.max_connections) {
      SetAccepting(true);
    }
  }

  int NextTimeoutMs() const {
    int timeout = 1000;
    const auto now = Clock::now();
    for (const auto& [fd, c] : connections) {
      if (!c->waiting) continue;
      const auto ms =
          std::chrono::duration_cast<std::chrono::milliseconds>(c->answer_at - now).count();
      if (ms < timeout) timeout = ms < 0 ? 0 : static_cast<int>(ms) + 1;
    }
    return timeout;
  }
};

Server::Server(ServerOptions options, LogSink log) : impl_(std::make_unique<Impl>()) {
  impl_->options = std::move(options);
  impl_->log = log ? std::move(log) : [](const std::string& line) {
    std::fprintf(stdout, "%s\n", line.c_str());
    std::fflush(stdout);
  };
}

Server::~Server() = default;

bool Server::Start(std::string* error) {
  Impl& s = *impl_;
  s.epoll_fd = ::epoll_create1(EPOLL_CLOEXEC);
  s.stop_fd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (s.epoll_fd < 0 || s.stop_fd < 0 || !s.Watch(s.stop_fd, EPOLLIN, EPOLL_CTL_ADD)) {
    *error = std::string("epoll: ") + std::strerror(errno);
    return false;
  }
  for (const ListenEntry& entry : s.options.listeners) {
    if (!s.BindEntry(entry, error)) return false;
  }
  for (const auto& listener : s.listeners) s.Log("mwserver listening on " + listener->address);
  // Every connection needs a descriptor: keep the cap below the open-file
  // limit (less the listeners and a few for the loop itself).
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY) {
    const long long room = static_cast<long long>(limit.rlim_cur) -
                           static_cast<long long>(s.listeners.size()) - kReservedDescriptors;
    if (room < s.options.max_connections) {
      s.options.max_connections = static_cast<int>(std::max(1LL, room));
      s.Log("mwserver serves at most " + std::to_string(s.options.max_connections) +
            " connections at once (open file limit " + std::to_string(limit.rlim_cur) + ")");
    }
  }
  return true;
}

void Server::Run(bool handle_signals) {
  Impl& s = *impl_;
  if (handle_signals) {
    sigset_t mask;
    sigemptyset(&mask);
    sigaddset(&mask, SIGTERM);
    sigaddset(&mask, SIGINT);
    sigprocmask(SIG_BLOCK, &mask, nullptr);
    s.signal_fd = ::signalfd(-1, &mask, SFD_NONBLOCK | SFD_CLOEXEC);
    if (s.signal_fd >= 0) s.Watch(s.signal_fd, EPOLLIN, EPOLL_CTL_ADD);
  }
  std::string ready = "mwserver ready";
  for (const auto& listener : s.listeners) ready += " " + listener->address;
  s.Log(ready);
  std::vector<epoll_event> events(256);
  for (;;) {
    const int n =
        ::epoll_wait(s.epoll_fd, events.data(), static_cast<int>(events.size()), s.NextTimeoutMs());
    if (n < 0 && errno != EINTR) break;
    for (int i = 0; i < n; ++i) {
      const int fd = events[i].data.fd;
      if (fd == s.stop_fd || fd == s.signal_fd) {
        s.Log("mwserver stopping");
        return;
      }
      if (auto l = s.listener_by_fd.find(fd); l != s.listener_by_fd.end()) {
        s.Accept(l->second);
        continue;
      }
      auto it = s.connections.find(fd);
      if (it == s.connections.end()) continue;
      Connection* c = it->second.get();
      if (events[i].events & EPOLLOUT) {
        if (!s.Flush(c)) continue;
      }
      if (events[i].events & (EPOLLIN | EPOLLRDHUP | EPOLLHUP | EPOLLERR)) s.Readable(c);
    }
    s.Timers();
  }
}

void Server::Stop() {
  const uint64_t one = 1;
  if (impl_->stop_fd >= 0) {
    [[maybe_unused]] ssize_t n = ::write(impl_->stop_fd, &one, sizeof one);
  }
}

}  // namespace tallyvox::mwserver
