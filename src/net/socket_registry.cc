#include "net/socket_registry.h"

#include <sys/socket.h>
#include <unistd.h>

#include <unordered_set>

#include "base/mutex.h"

namespace tallyvox::net {
namespace {

struct Registry {
  Mutex mu;
  std::unordered_set<int> fds GUARDED_BY(mu);
  bool closed GUARDED_BY(mu) = false;
};

Registry& TheRegistry() {
  static Registry* registry = new Registry;  // never destroyed: used until exit
  return *registry;
}

}  // namespace

bool SocketRegistry::Add(int fd) {
  Registry& r = TheRegistry();
  MutexLock lock(&r.mu);
  if (r.closed) return false;
  r.fds.insert(fd);
  return true;
}

int SocketRegistry::CloseRegistered(int fd) {
  Registry& r = TheRegistry();
  {
    MutexLock lock(&r.mu);
    r.fds.erase(fd);
  }
  // Closed without the lock (a close of a connected socket sends its FIN
  // and may take a while; other threads' sockets come and go meanwhile):
  // once erased, a stop no longer shuts it down, and the number may be
  // reused only after the close, by a socket registered anew.
  return ::close(fd);
}

std::size_t SocketRegistry::ShutDownAll() {
  Registry& r = TheRegistry();
  MutexLock lock(&r.mu);
  r.closed = true;
  for (int fd : r.fds) ::shutdown(fd, SHUT_RDWR);
  return r.fds.size();
}

void SocketRegistry::Reopen() {
  Registry& r = TheRegistry();
  MutexLock lock(&r.mu);
  r.closed = false;
}

bool SocketRegistry::Closed() {
  Registry& r = TheRegistry();
  MutexLock lock(&r.mu);
  return r.closed;
}

std::size_t SocketRegistry::Count() {
  Registry& r = TheRegistry();
  MutexLock lock(&r.mu);
  return r.fds.size();
}

}  // namespace tallyvox::net
