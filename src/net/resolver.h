// Host name lookups, and where they run.
//
// TNetResolver is the seam: the process's lookups go through the resolver
// set with SetResolver (the system's getaddrinfo until one is set), so a
// test can put in one that answers slowly or never.
//
// LookupHost bounds a lookup by a deadline. getaddrinfo cannot be cut short
// where it runs, so a lookup with a deadline runs on a thread of its own
// holding its shared state (the host, the resolver, the answer); the waiter
// gives up when the deadline passes (or the socket registry is closed by a
// stop request) and leaves the lookup to finish on its own: its answer is
// then dropped and the thread ends. At most kMaxAbandonedLookups abandoned
// lookups may still be running: past that, a lookup with a deadline fails at
// once with ENetSocketError(kWsaTryAgain), as a resolver that is busy
// answers, without starting a thread, until one of them returns. A lookup
// without a deadline runs on the calling thread, as before.
//
// Thread safety: every function may be called from any thread.
#ifndef TALLYVOX_NET_RESOLVER_H_
#define TALLYVOX_NET_RESOLVER_H_

#include <memory>
#include <optional>
#include <string>

#include "net/deadline.h"

namespace tallyvox::net {

class TNetResolver {
 public:
  virtual ~TNetResolver() = default;
  // The first IPv4 address of `host` as a dotted quad. Raises
  // ENetSocketError for a failed lookup. May block without limit, and may
  // run on a lookup thread after its caller gave up.
  virtual std::string Lookup(const std::string& host) = 0;
};

// The system's resolver (getaddrinfo, IPv4, first answer).
std::shared_ptr<TNetResolver> SystemResolver();

// Makes `resolver` the one every later lookup uses (nullptr: the system's)
// and returns the one in force before. A lookup under way keeps its own.
std::shared_ptr<TNetResolver> SetResolver(std::shared_ptr<TNetResolver> resolver);

// Abandoned lookups that may still run at once (see the file comment).
constexpr int kMaxAbandonedLookups = 8;

// Looks `host` up with the resolver in force. Returns nullopt when
// `deadline` passes (or the socket registry closes) first. Raises what the
// resolver raises, and ENetSocketError(kWsaTryAgain) when too many lookups
// are abandoned or no lookup thread can be started.
std::optional<std::string> LookupHost(const std::string& host, const TNetDeadline& deadline);

// Abandoned lookups that have not returned yet.
int AbandonedLookups();

}  // namespace tallyvox::net

#endif  // TALLYVOX_NET_RESOLVER_H_
