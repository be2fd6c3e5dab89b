// TNetStack: the process-wide socket stack, a thin layer over POSIX sockets
// that stands in for Windows Sockets. Every call that fails records the
// Windows Sockets error number (errno mapped by WinsockErrorFromErrno) in a
// per-thread last-error slot read by LastError().
//
// TNetComponent: base of every connection and channel. The stack is in
// service from the first live TNetComponent of the process to the last one;
// a process-wide lock guards their count. The stack object itself is never
// destroyed.
//
// Addresses are IPv4 dotted quads; ports are host-order integers.
#ifndef TALLYVOX_NET_STACK_H_
#define TALLYVOX_NET_STACK_H_

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "net/deadline.h"

namespace tallyvox::net {

class TNetStack {
 public:
  // The live stack. REQUIRES: at least one TNetComponent exists.
  static TNetStack& Instance();
  // Live component count (for tests of the stack's lifetime).
  static int32_t InstanceCount();
  static bool Exists();

  // Each returns -1 (or false) on failure with LastError() set, unless noted.
  int NewStreamSocket();
  // Binds a client socket to a local address. Port 0 reserves no port: the
  // port is chosen by the connect that follows (IP_BIND_ADDRESS_NO_PORT), so
  // ports held by closed connections in TIME_WAIT toward other servers stay
  // usable. A bind to port 0 chose one at once, and could scan or run out of
  // the ephemeral range on a busy machine.
  int Bind(int fd, const std::string& ip, int32_t port);
  // Connects, waiting without limit when timeout_ms is -2, else at most
  // timeout_ms. Returns 0 connected, -1 failed (LastError set), -2 when the
  // limit passed first. A finished connect is noticed at once.
  int Connect(int fd, const std::string& ip, int32_t port, int32_t timeout_ms);
  // Readability of one socket; timeout_ms -2 waits without limit. Returns 1
  // readable (data, end of stream or error pending), 0 on time-out, -1 error.
  int WaitReadable(int fd, int32_t timeout_ms);
  // Writability, likewise.
  int WaitWritable(int fd, int32_t timeout_ms);
  // recv/send with no flags (send never raises SIGPIPE). With dont_wait a
  // send takes what fits at once and fails with WSAEWOULDBLOCK when
  // nothing does.
  int32_t Recv(int fd, void* buffer, int32_t length);
  int32_t Send(int fd, const void* buffer, int32_t length, bool dont_wait = false);
  int SetNoDelay(int fd, bool on);
  int ShutdownSend(int fd);
  int CloseSocket(int fd);
  // "LOCALHOST" (any case) -> "127.0.0.1"; a dotted quad -> its plain form;
  // anything else is looked up (IPv4, first answer) through the resolver in
  // force (net/resolver.h), on the calling thread. Raises ENetSocketError
  // for a failed lookup, and ENetInvalidIPAddress, without a lookup, for a
  // numeric text that the system's resolver would read in octal or hex
  // ("1.2.3.0256", "0x7f.1"): it would reach another machine than written.
  std::string ResolveHost(const std::string& host);
  // The same with the lookup bounded by `deadline` (LookupHost: on a lookup
  // thread when limited; names and numbers are answered at once, with no
  // thread). nullopt when the deadline passes before the answer.
  std::optional<std::string> ResolveHost(const std::string& host, const TNetDeadline& deadline);
  // True for a text that splits at its first three dots into four parts,
  // each a decimal integer from 0 to 255; leading zeros are decimal too
  // ("0127.0.0.1" is 127.0.0.1). The plain form goes to *ip when given.
  static bool IsDottedQuad(const std::string& host, std::string* ip = nullptr);
  std::string LocalHostName();
  int GetSockName(int fd, std::string* ip, int32_t* port);
  int GetPeerName(int fd, std::string* ip, int32_t* port);

  // Windows Sockets number of the calling thread's last failure.
  static int32_t LastError();
  static void SetLastError(int32_t error);
  // Raises ENetSocketError for LastError() (or `error` when given).
  [[noreturn]] static void RaiseSocketError(int32_t error = -1);

 private:
  friend class TNetComponent;
  TNetStack() = default;
  // The one stack object, made on first use and never destroyed.
  static TNetStack& Shared();
};

enum class TNetStatus {
  hsResolving,
  hsConnecting,
  hsConnected,
  hsDisconnecting,
  hsDisconnected,
  hsStatusText
};

// The status observer receives the status and its text ("Connected.", ...).
using TNetStatusEvent = std::function<void(TNetStatus, const std::string&)>;

class TNetComponent {
 public:
  TNetComponent();
  virtual ~TNetComponent();
  TNetComponent(const TNetComponent&) = delete;
  TNetComponent& operator=(const TNetComponent&) = delete;

  TNetStatusEvent OnStatus;

 protected:
  // Formats the status text for `status` with `arg` and tells OnStatus.
  void DoStatus(TNetStatus status, const std::string& arg = "");
};

// The status texts: "Resolving hostname %s.", "Connecting to %s.",
// "Connected.", "Disconnecting.", "Disconnected.", "%s".
std::string StatusText(TNetStatus status, const std::string& arg);

}  // namespace tallyvox::net

#endif  // TALLYVOX_NET_STACK_H_
