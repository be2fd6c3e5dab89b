// SocketRegistry: the process-wide set of sockets the socket stack has open,
// so that a program can wake every blocking network wait at once when it is
// asked to stop.
//
// TNetStack registers each stream socket it creates (Add) and removes it
// right before closing it (Remove). ShutDownAll() calls shutdown(SHUT_RDWR)
// on every registered socket: a blocked poll, recv, send or connect on it
// returns at once and the operation fails as on a broken connection. From
// then on the registry is closed: Add refuses new sockets (the stack then
// fails to create one), so nothing can start a fresh wait after the stop.
// Reopen() lifts that (for tests that stop and start again in one process).
//
// Thread safety: every function may be called from any thread.
// CloseRegistered forgets a descriptor under the registry's lock before it
// closes it, so ShutDownAll never touches a descriptor number that has
// already been reused for another file; the close itself runs outside the
// lock, so that threads closing their sockets at once do not queue for it.
#ifndef TALLYVOX_NET_SOCKET_REGISTRY_H_
#define TALLYVOX_NET_SOCKET_REGISTRY_H_

#include <cstddef>

namespace tallyvox::net {

class SocketRegistry {
 public:
  // Records `fd`. Returns false (and records nothing) while the registry is
  // closed; the caller then closes the socket and reports a failure.
  static bool Add(int fd);
  // Forgets `fd` (under the registry's lock) and closes it. Returns the
  // result of close().
  static int CloseRegistered(int fd);
  // Shuts down every registered socket for reading and writing and closes
  // the registry. Returns how many sockets it shut down.
  static std::size_t ShutDownAll();
  // Opens the registry again after ShutDownAll.
  static void Reopen();
  static bool Closed();
  static std::size_t Count();
};

}  // namespace tallyvox::net

#endif  // TALLYVOX_NET_SOCKET_REGISTRY_H_
