#include "net/resolver.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <exception>
#include <system_error>
#include <thread>
#include <utility>

#include "base/mutex.h"
#include "net/exceptions.h"
#include "net/socket_registry.h"

namespace tallyvox::net {
namespace {

using Clock = TNetDeadline::Clock;

// How often a waiting lookup looks whether a stop closed the socket
// registry (a stop has no other way to reach it).
constexpr std::chrono::milliseconds kStopCheck(100);

class GetAddrInfoResolver : public TNetResolver {
 public:
  std::string Lookup(const std::string& host) override {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* res = nullptr;
    const int rc = getaddrinfo(host.c_str(), nullptr, &hints, &res);
    if (rc != 0 || res == nullptr) {
      // Windows reports a failed name lookup as "host not found" or "try
      // again"; these numbers have no text in the table.
      const int32_t err = rc == EAI_AGAIN    ? kWsaTryAgain
                          : rc == EAI_SYSTEM ? WinsockErrorFromErrno(errno)
                                             : kWsaHostNotFound;
      if (res != nullptr) freeaddrinfo(res);
      throw ENetSocketError(err);
    }
    char text[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &reinterpret_cast<sockaddr_in*>(res->ai_addr)->sin_addr, text, sizeof text);
    freeaddrinfo(res);
    return text;
  }
};

Mutex g_resolver_mu;
std::shared_ptr<TNetResolver> g_resolver GUARDED_BY(g_resolver_mu);  // null: the system's
std::atomic<int> g_abandoned{0};

std::shared_ptr<TNetResolver> CurrentResolver() {
  MutexLock lock(&g_resolver_mu);
  return g_resolver ? g_resolver : SystemResolver();
}

// What a lookup thread and its waiter share; the thread holds it until it
// returns, also after the waiter gave up.
struct PendingLookup {
  Mutex mu;
  CondVar cv;
  bool done GUARDED_BY(mu) = false;
  bool abandoned GUARDED_BY(mu) = false;
  std::string ip GUARDED_BY(mu);
  std::exception_ptr error GUARDED_BY(mu);
};

void RunLookup(const std::shared_ptr<PendingLookup>& lookup,
               const std::shared_ptr<TNetResolver>& resolver, const std::string& host) {
  std::string ip;
  std::exception_ptr error;
  try {
    ip = resolver->Lookup(host);
  } catch (...) {
    error = std::current_exception();
  }
  MutexLock lock(&lookup->mu);
  lookup->done = true;
  lookup->ip = std::move(ip);
  lookup->error = std::move(error);  // the thread keeps no reference of its own
  if (lookup->abandoned) {
    g_abandoned.fetch_sub(1);
  } else {
    lookup->cv.Signal();
  }
}

// Starts the lookup thread; raises kWsaTryAgain when none may be started.
std::shared_ptr<PendingLookup> StartLookup(const std::string& host) {
  if (g_abandoned.load() >= kMaxAbandonedLookups) throw ENetSocketError(kWsaTryAgain);
  auto lookup = std::make_shared<PendingLookup>();
  try {
    std::thread(RunLookup, lookup, CurrentResolver(), host).detach();
  } catch (const std::system_error&) {
    throw ENetSocketError(kWsaTryAgain);
  }
  return lookup;
}

}  // namespace

std::shared_ptr<TNetResolver> SystemResolver() {
  static const std::shared_ptr<TNetResolver> system = std::make_shared<GetAddrInfoResolver>();
  return system;
}

std::shared_ptr<TNetResolver> SetResolver(std::shared_ptr<TNetResolver> resolver) {
  MutexLock lock(&g_resolver_mu);
  std::swap(g_resolver, resolver);
  return resolver ? resolver : SystemResolver();
}

std::optional<std::string> LookupHost(const std::string& host, const TNetDeadline& deadline) {
  if (deadline.Unlimited()) return CurrentResolver()->Lookup(host);
  if (SocketRegistry::Closed()) throw ENetSocketError(kWsaeConnAborted);
  if (deadline.Passed()) return std::nullopt;  // no thread for a lookup with no time
  const std::shared_ptr<PendingLookup> lookup = StartLookup(host);
  MutexLock lock(&lookup->mu);
  while (!lookup->done) {
    if (deadline.Passed() || SocketRegistry::Closed()) {
      lookup->abandoned = true;
      g_abandoned.fetch_add(1);
      if (SocketRegistry::Closed()) throw ENetSocketError(kWsaeConnAborted);
      return std::nullopt;
    }
    lookup->cv.WaitUntil(&lookup->mu, std::min(deadline.At(), Clock::now() + kStopCheck));
  }
  // Both results move out under the lock, so the waiter owns them alone: the
  // lookup thread, which may drop the last reference to the shared state
  // later, never destroys an exception the waiter still reads.
  if (lookup->error) std::rethrow_exception(std::exchange(lookup->error, nullptr));
  return std::move(lookup->ip);
}

int AbandonedLookups() { return g_abandoned.load(); }

}  // namespace tallyvox::net
