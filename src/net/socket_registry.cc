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
  MutexLock lock(&r.mu);
  r.fds.erase(fd);
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
