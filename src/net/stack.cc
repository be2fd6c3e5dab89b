#include "net/stack.h"
#include "base/mutex.h"
#include "base/text.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstring>

#include "net/exceptions.h"
#include "net/resolver.h"
#include "net/socket_registry.h"

namespace tallyvox::net {

namespace {

// The live components; the stack is in service while there is one.
Mutex g_stack_lock;
int32_t g_instance_count GUARDED_BY(g_stack_lock) = 0;

thread_local int32_t t_last_error = 0;

int32_t RecordErrno() {
  t_last_error = WinsockErrorFromErrno(errno);
  return -1;
}

bool MakeAddress(const std::string& ip, int32_t port, sockaddr_in* sa) {
  std::memset(sa, 0, sizeof(*sa));
  sa->sin_family = AF_INET;
  sa->sin_port = htons(static_cast<uint16_t>(port));
  if (ip.empty()) {
    sa->sin_addr.s_addr = htonl(INADDR_ANY);
    return true;
  }
  return inet_pton(AF_INET, ip.c_str(), &sa->sin_addr) == 1;
}

std::string AddressText(const in_addr& a) {
  char buf[INET_ADDRSTRLEN] = {};
  inet_ntop(AF_INET, &a, buf, sizeof(buf));
  return buf;
}

// Remaining milliseconds until `deadline` for poll(); -1 = no limit.
int PollTimeout(bool limited, std::chrono::steady_clock::time_point deadline) {
  if (!limited) return -1;
  // Rounded up: a wait never ends before its time.
  auto left =
      std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
  return left.count() < 0 ? 0 : static_cast<int>(left.count());
}

bool SetBlocking(int fd, bool blocking) {
  int flags = fcntl(fd, F_GETFL, 0);
  if (flags < 0) return false;
  flags = blocking ? (flags & ~O_NONBLOCK) : (flags | O_NONBLOCK);
  return fcntl(fd, F_SETFL, flags) == 0;
}

}  // namespace

// The stack keeps no state between calls (the last error is per thread), so
// one object serves every period of service. Never destroyed: components may
// end in static destructors at exit.
TNetStack& TNetStack::Shared() {
  static TNetStack* const stack = new TNetStack();
  return *stack;
}

TNetStack& TNetStack::Instance() {
  MutexLock lock(&g_stack_lock);
  if (g_instance_count == 0) throw ENetStackInitializationFailed();
  return Shared();
}

int32_t TNetStack::InstanceCount() {
  MutexLock lock(&g_stack_lock);
  return g_instance_count;
}

bool TNetStack::Exists() {
  MutexLock lock(&g_stack_lock);
  return g_instance_count > 0;
}

int32_t TNetStack::LastError() { return t_last_error; }
void TNetStack::SetLastError(int32_t error) { t_last_error = error; }

void TNetStack::RaiseSocketError(int32_t error) {
  throw ENetSocketError(error < 0 ? t_last_error : error);
}

int TNetStack::NewStreamSocket() {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return RecordErrno();
  if (!SocketRegistry::Add(fd)) {  // the program is stopping
    close(fd);
    errno = ECONNABORTED;
    return RecordErrno();
  }
  return fd;
}

int TNetStack::Bind(int fd, const std::string& ip, int32_t port) {
  sockaddr_in sa;
  if (!MakeAddress(ip, port, &sa)) {
    t_last_error = kWsaeAddrNotAvail;
    return -1;
  }
  if (port == 0) {
    // Best effort: a kernel without the option picks the port here instead.
    const int on = 1;
    setsockopt(fd, IPPROTO_IP, IP_BIND_ADDRESS_NO_PORT, &on, sizeof(on));
  }
  if (bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof(sa)) != 0) return RecordErrno();
  return 0;
}

int TNetStack::Connect(int fd, const std::string& ip, int32_t port, int32_t timeout_ms) {
  sockaddr_in sa;
  if (!MakeAddress(ip, port, &sa)) {
    t_last_error = kWsaeAddrNotAvail;
    return -1;
  }
  // Non-blocking connect awaited with poll(): the wait can be bounded and a
  // finished connect is noticed as soon as it completes.
  const bool limited = timeout_ms != -2;
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::milliseconds(limited ? timeout_ms : 0);
  if (!SetBlocking(fd, false)) return RecordErrno();
  int rc = connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof(sa));
  if (rc != 0 && errno != EINPROGRESS && errno != EINTR) {
    RecordErrno();
    SetBlocking(fd, true);
    return -1;
  }
  if (rc != 0) {
    for (;;) {
      pollfd p{fd, POLLOUT, 0};
      int n = poll(&p, 1, PollTimeout(limited, deadline));
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) {
        RecordErrno();
        SetBlocking(fd, true);
        return -1;
      }
      if (n == 0) {
        SetBlocking(fd, true);
        return -2;
      }
      if (p.revents & POLLNVAL) {
        t_last_error = kWsaeNotSock;
        return -1;
      }
      break;
    }
    int err = 0;
    socklen_t len = sizeof(err);
    if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0) err = errno;
    if (err != 0) {
      t_last_error = WinsockErrorFromErrno(err);
      SetBlocking(fd, true);
      return -1;
    }
  }
  if (!SetBlocking(fd, true)) return RecordErrno();
  return 0;
}

namespace {

// Waits for `events` on one socket: 1 ready, 0 time-out, -1 error.
int WaitFor(int fd, short events, int32_t timeout_ms) {
  const bool limited = timeout_ms != -2 && timeout_ms >= 0;
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::milliseconds(limited ? timeout_ms : 0);
  for (;;) {
    pollfd p{fd, events, 0};
    int n = poll(&p, 1, PollTimeout(limited, deadline));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return RecordErrno();
    if (n > 0 && (p.revents & POLLNVAL)) {
      t_last_error = kWsaeNotSock;
      return -1;
    }
    return n > 0 ? 1 : 0;
  }
}

}  // namespace

int TNetStack::WaitReadable(int fd, int32_t timeout_ms) { return WaitFor(fd, POLLIN, timeout_ms); }

int TNetStack::WaitWritable(int fd, int32_t timeout_ms) { return WaitFor(fd, POLLOUT, timeout_ms); }

int32_t TNetStack::Recv(int fd, void* buffer, int32_t length) {
  for (;;) {
    ssize_t n = recv(fd, buffer, static_cast<size_t>(length), 0);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return RecordErrno();
    return static_cast<int32_t>(n);
  }
}

int32_t TNetStack::Send(int fd, const void* buffer, int32_t length, bool dont_wait) {
  const int flags = MSG_NOSIGNAL | (dont_wait ? MSG_DONTWAIT : 0);
  for (;;) {
    // MSG_NOSIGNAL: a peer that has gone away yields EPIPE, never SIGPIPE.
    ssize_t n = send(fd, buffer, static_cast<size_t>(length), flags);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return RecordErrno();
    return static_cast<int32_t>(n);
  }
}

int TNetStack::SetNoDelay(int fd, bool on) {
  int v = on ? 1 : 0;
  if (setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &v, sizeof(v)) != 0) return RecordErrno();
  return 0;
}

int TNetStack::ShutdownSend(int fd) {
  if (shutdown(fd, SHUT_WR) != 0) return RecordErrno();
  return 0;
}

int TNetStack::CloseSocket(int fd) {
  if (SocketRegistry::CloseRegistered(fd) != 0) return RecordErrno();
  return 0;
}

bool TNetStack::IsDottedQuad(const std::string& host, std::string* ip) {
  std::string plain;
  size_t start = 0;
  for (int part = 0; part < 4; ++part) {
    const size_t end = part < 3 ? host.find('.', start) : host.size();
    if (end == std::string::npos || end == start) return false;
    int value = 0;
    for (size_t i = start; i < end; ++i) {
      const char c = host[i];
      if (c < '0' || c > '9') return false;
      value = value * 10 + (c - '0');
      if (value > 255) return false;
    }
    if (part > 0) plain += '.';
    plain += std::to_string(value);
    start = end + 1;
  }
  if (ip != nullptr) *ip = std::move(plain);
  return true;
}

namespace {

// True when the system's resolver would take `host` for a number written in
// another base: one to four dot-separated parts, each decimal digits or "0x"
// and hex digits, one of them with a leading zero or "0x".
bool ReadsAsOctalOrHex(const std::string& host) {
  bool other_base = false;
  size_t parts = 0;
  size_t start = 0;
  for (;;) {
    const size_t dot = host.find('.', start);
    const size_t end = dot == std::string::npos ? host.size() : dot;
    const std::string_view part(host.data() + start, end - start);
    if (part.empty() || ++parts > 4) return false;
    const bool hex = part.size() >= 2 && part[0] == '0' && (part[1] == 'x' || part[1] == 'X');
    for (size_t i = hex ? 2 : 0; i < part.size(); ++i) {
      const unsigned char c = static_cast<unsigned char>(part[i]);
      if (hex ? !std::isxdigit(c) : !std::isdigit(c)) return false;
    }
    other_base |= hex || (part.size() > 1 && part[0] == '0');
    if (dot == std::string::npos) return other_base;
    start = dot + 1;
  }
}

}  // namespace

std::string TNetStack::ResolveHost(const std::string& host) {
  return *ResolveHost(host, TNetDeadline::Never());
}

std::optional<std::string> TNetStack::ResolveHost(const std::string& host,
                                                  const TNetDeadline& deadline) {
  if (SameText(host, "LOCALHOST")) return std::string("127.0.0.1");
  std::string quad;
  if (IsDottedQuad(host, &quad)) return quad;
  if (ReadsAsOctalOrHex(host)) throw ENetInvalidIPAddress(host);
  try {
    return LookupHost(host, deadline);
  } catch (const ENetSocketError& e) {
    t_last_error = e.LastError();
    throw;
  }
}

std::string TNetStack::LocalHostName() {
  char buf[256] = {};
  if (gethostname(buf, sizeof(buf) - 1) != 0) {
    RecordErrno();
    return std::string();
  }
  return buf;
}

int TNetStack::GetSockName(int fd, std::string* ip, int32_t* port) {
  sockaddr_in sa{};
  socklen_t len = sizeof(sa);
  if (getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len) != 0) return RecordErrno();
  *ip = AddressText(sa.sin_addr);
  *port = ntohs(sa.sin_port);
  return 0;
}

int TNetStack::GetPeerName(int fd, std::string* ip, int32_t* port) {
  sockaddr_in sa{};
  socklen_t len = sizeof(sa);
  if (getpeername(fd, reinterpret_cast<sockaddr*>(&sa), &len) != 0) return RecordErrno();
  *ip = AddressText(sa.sin_addr);
  *port = ntohs(sa.sin_port);
  return 0;
}

TNetComponent::TNetComponent() {
  MutexLock lock(&g_stack_lock);
  ++g_instance_count;
}

TNetComponent::~TNetComponent() {
  MutexLock lock(&g_stack_lock);
  --g_instance_count;
}

std::string StatusText(TNetStatus status, const std::string& arg) {
  switch (status) {
    case TNetStatus::hsResolving:
      return "Resolving hostname " + arg + ".";
    case TNetStatus::hsConnecting:
      return "Connecting to " + arg + ".";
    case TNetStatus::hsConnected:
      return "Connected.";
    case TNetStatus::hsDisconnecting:
      return "Disconnecting.";
    case TNetStatus::hsDisconnected:
      return "Disconnected.";
    case TNetStatus::hsStatusText:
      return arg;
  }
  return arg;
}

void TNetComponent::DoStatus(TNetStatus status, const std::string& arg) {
  if (OnStatus) OnStatus(status, StatusText(status, arg));
}

}  // namespace tallyvox::net
