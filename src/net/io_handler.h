// Channels: the byte pipe under a connection.
//
// TNetIOHandler is abstract; TNetIOHandlerSocket is the plain TCP channel
// over one TNetSocketHandle; the TLS channel derives from it and overrides
// CloseChannel, ConnectChannel, PrepareChannel, ReceiveRaw and SendRaw (and
// may override LastErrorNumber).
//
// Time-outs are in milliseconds; -2 means no limit.
//
// A channel may carry the deadline of the operation its connection serves
// (SetDeadline; Never until set, and then nothing changes): the plain socket
// channel then bounds the connect, with its host name lookup, and every
// write by it as well (see ConnectChannel and SendRaw). Reads are bounded
// by the time-out the connection passes to WaitReadable, which the
// connection cuts to the deadline itself.
#ifndef TALLYVOX_NET_IO_HANDLER_H_
#define TALLYVOX_NET_IO_HANDLER_H_

#include <cstdint>
#include <memory>
#include <string>

#include "net/deadline.h"
#include "net/stack.h"

namespace tallyvox::net {

// One socket and its endpoints.
class TNetSocketHandle {
 public:
  TNetSocketHandle() = default;
  ~TNetSocketHandle();  // closes an allocated socket
  TNetSocketHandle(const TNetSocketHandle&) = delete;
  TNetSocketHandle& operator=(const TNetSocketHandle&) = delete;

  int Handle() const { return handle_; }
  bool HandleAllocated() const { return allocated_; }
  const std::string& IP() const { return ip_; }
  int32_t Port() const { return port_; }
  const std::string& PeerIP() const { return peer_ip_; }
  int32_t PeerPort() const { return peer_port_; }
  int32_t ClientPortMin() const { return client_port_min_; }
  int32_t ClientPortMax() const { return client_port_max_; }

  // Clears handle, allocated flag and endpoints (closing an allocated socket).
  void Reset();
  // Closes a socket still held, then creates an IPv4 stream socket.
  // Raises ENetInvalidSocket.
  void AllocateSocket();
  // Binds to `ip` ("" = any) and `port`, or tries the range max..min when
  // port is 0 and both ends are non-zero. Raises the ENetSocketHandleError
  // descendants or ENetSocketError. Records the local endpoint.
  void Bind(const std::string& ip, int32_t port, int32_t port_min, int32_t port_max);
  void SetPeer(const std::string& ip, int32_t port);
  // Connects to the peer set by SetPeer. timeout_ms -2: no limit. Returns 0
  // on success (both endpoints recorded), -2 when the limit passed, else the
  // Windows Sockets error number of the failure.
  int32_t Connect(int32_t timeout_ms);
  // Marks not allocated, shuts down sending and closes. No-op when closed.
  void CloseSocket();
  // 1 readable, 0 time-out, -1 error (LastError set).
  int WaitReadable(int32_t timeout_ms);
  void UpdateBindingLocal();
  void UpdateBindingPeer();

 private:
  int handle_ = -1;
  bool allocated_ = false;
  std::string ip_;
  int32_t port_ = 0;
  std::string peer_ip_;
  int32_t peer_port_ = 0;
  int32_t client_port_min_ = 0;
  int32_t client_port_max_ = 0;
};

class TNetIOHandler : public TNetComponent {
 public:
  ~TNetIOHandler() override = default;

  virtual void CloseChannel() = 0;
  // Opens the channel to host:port. timeout_ms -1 or 0: connect without a
  // limit and raise ENetSocketError on failure; -2: no limit, failure raises
  // ENetConnectException; otherwise ENetConnectTimeout at the limit and
  // ENetConnectException for a failure.
  virtual void ConnectChannel(const std::string& host, int32_t port, int32_t timeout_ms,
                              int32_t local_port_max, int32_t local_port_min, int32_t local_port,
                              const std::string& local_ip) = 0;
  virtual bool ChannelOpen() = 0;
  virtual void PrepareChannel() = 0;
  // True when a receive would not block. timeout_ms -2: no limit.
  virtual bool WaitReadable(int32_t timeout_ms) = 0;
  // Return >0 bytes moved, 0 closed by the peer, <0 failure (the connection
  // then raises ENetSocketError(LastErrorNumber())).
  virtual int32_t ReceiveRaw(void* buffer, int32_t length) = 0;
  virtual int32_t SendRaw(const void* buffer, int32_t length) = 0;
  // Windows Sockets number of the last failure of ReceiveRaw/SendRaw.
  virtual int32_t LastErrorNumber() { return TNetStack::LastError(); }

  // The deadline of the operation in progress (the connection sets it
  // before it connects and writes).
  void SetDeadline(const TNetDeadline& deadline) { deadline_ = deadline; }
  const TNetDeadline& Deadline() const { return deadline_; }

 private:
  TNetDeadline deadline_ = TNetDeadline::Never();
};

class TNetIOHandlerSocket : public TNetIOHandler {
 public:
  TNetIOHandlerSocket() = default;
  ~TNetIOHandlerSocket() override;

  void CloseChannel() override;
  // With a Deadline(), the connect's own limit (timeout_ms > 0) counts from
  // here and covers the host name lookup as well, and neither waits past
  // the deadline: a lookup or connect the deadline ends raises
  // ENetDeadlineExpired, one its own limit ends ENetConnectTimeout. A
  // lookup runs on a lookup thread then (net/resolver.h). Without one, as
  // TNetIOHandler says, the lookup on the calling thread.
  void ConnectChannel(const std::string& host, int32_t port, int32_t timeout_ms,
                      int32_t local_port_max, int32_t local_port_min, int32_t local_port,
                      const std::string& local_ip) override;
  bool ChannelOpen() override;
  void PrepareChannel() override;
  // Raises ENetConnClosedGracefully when the socket is not allocated.
  bool WaitReadable(int32_t timeout_ms) override;
  // Raise ENetClosedSocket "Disconnected." when the socket is not allocated.
  // With a Deadline(), SendRaw waits for room at most until it and then
  // takes what fits; when none came in time it fails with kWsaeTimedOut.
  int32_t ReceiveRaw(void* buffer, int32_t length) override;
  int32_t SendRaw(const void* buffer, int32_t length) override;

  // Null until the first PrepareChannel.
  TNetSocketHandle* Binding() { return binding_.get(); }
  bool UseNagle = true;

 private:
  // The peer's address: a host name looked up within `limit` (Never: on
  // this thread, without a bound).
  std::string PeerAddress(const std::string& host, const TNetDeadline& limit);
  // The connect to the resolved peer, waiting until `limit` (the channel's
  // Deadline() when that is the sooner: then a time-out is the deadline's).
  void ConnectWithin(const TNetDeadline& limit, int32_t timeout_ms);

  std::unique_ptr<TNetSocketHandle> binding_;
};

}  // namespace tallyvox::net

#endif  // TALLYVOX_NET_IO_HANDLER_H_
