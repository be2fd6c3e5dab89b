#include "net/io_handler.h"

#include <optional>

#include "net/exceptions.h"

namespace tallyvox::net {

// ---- TNetSocketHandle ----

TNetSocketHandle::~TNetSocketHandle() { CloseSocket(); }

void TNetSocketHandle::Reset() {
  CloseSocket();
  handle_ = -1;
  allocated_ = false;
  ip_.clear();
  port_ = 0;
  peer_ip_.clear();
  peer_port_ = 0;
}

void TNetSocketHandle::AllocateSocket() {
  CloseSocket();
  int fd = TNetStack::Instance().NewStreamSocket();
  if (fd < 0) throw ENetInvalidSocket();
  handle_ = fd;
  allocated_ = true;
}

void TNetSocketHandle::Bind(const std::string& ip, int32_t port, int32_t port_min,
                            int32_t port_max) {
  TNetStack& stack = TNetStack::Instance();
  client_port_min_ = port_min;
  client_port_max_ = port_max;
  if (port != 0 || port_min == 0 || port_max == 0) {
    if (stack.Bind(handle_, ip, port) != 0) {
      if (TNetStack::LastError() == kWsaeAddrInUse) throw ENetCouldNotBindSocket();
      TNetStack::RaiseSocketError();
    }
  } else {
    if (port_max < port_min) throw ENetInvalidPortRange(port_min, port_max);
    bool bound = false;
    for (int32_t p = port_max; p >= port_min && !bound; --p) {
      bound = stack.Bind(handle_, ip, p) == 0;
    }
    if (!bound) throw ENetCanNotBindPortInRange(port_min, port_max);
  }
  UpdateBindingLocal();
}

void TNetSocketHandle::SetPeer(const std::string& ip, int32_t port) {
  peer_ip_ = ip;
  peer_port_ = port;
}

int32_t TNetSocketHandle::Connect(int32_t timeout_ms) {
  int rc = TNetStack::Instance().Connect(handle_, peer_ip_, peer_port_, timeout_ms);
  if (rc == -2) return -2;
  if (rc != 0) return TNetStack::LastError();
  UpdateBindingLocal();
  UpdateBindingPeer();
  return 0;
}

void TNetSocketHandle::CloseSocket() {
  if (!allocated_) return;
  allocated_ = false;
  TNetStack& stack = TNetStack::Instance();
  stack.ShutdownSend(handle_);
  stack.CloseSocket(handle_);
  handle_ = -1;
}

int TNetSocketHandle::WaitReadable(int32_t timeout_ms) {
  return TNetStack::Instance().WaitReadable(handle_, timeout_ms);
}

void TNetSocketHandle::UpdateBindingLocal() {
  TNetStack::Instance().GetSockName(handle_, &ip_, &port_);
}

void TNetSocketHandle::UpdateBindingPeer() {
  TNetStack::Instance().GetPeerName(handle_, &peer_ip_, &peer_port_);
}

// ---- TNetIOHandlerSocket ----

TNetIOHandlerSocket::~TNetIOHandlerSocket() {
  if (binding_) binding_->CloseSocket();
}

void TNetIOHandlerSocket::CloseChannel() {
  if (binding_) binding_->CloseSocket();
}

bool TNetIOHandlerSocket::ChannelOpen() { return binding_ && binding_->HandleAllocated(); }

void TNetIOHandlerSocket::PrepareChannel() {
  if (binding_) {
    binding_->Reset();
  } else {
    binding_ = std::make_unique<TNetSocketHandle>();
  }
}

void TNetIOHandlerSocket::ConnectChannel(const std::string& host, int32_t port, int32_t timeout_ms,
                                         int32_t local_port_max, int32_t local_port_min,
                                         int32_t local_port, const std::string& local_ip) {
  if (!binding_) binding_ = std::make_unique<TNetSocketHandle>();
  TNetStack& stack = TNetStack::Instance();
  binding_->AllocateSocket();
  binding_->Bind(local_ip, local_port, local_port_min, local_port_max);
  // With a deadline the connect's own limit starts now and covers the
  // lookup too; neither waits past the deadline.
  const TNetDeadline& deadline = Deadline();
  const TNetDeadline limit =
      deadline.Unlimited()
          ? deadline
          : TNetDeadline::Earlier(TNetDeadline::After(timeout_ms > 0 ? timeout_ms : -2), deadline);
  if (!TNetStack::IsDottedQuad(host)) DoStatus(TNetStatus::hsResolving, host);
  binding_->SetPeer(PeerAddress(host, limit), port);
  if (!UseNagle && stack.SetNoDelay(binding_->Handle(), true) != 0) {
    TNetStack::RaiseSocketError();
  }
  DoStatus(TNetStatus::hsConnecting, binding_->PeerIP());
  if (!deadline.Unlimited()) {
    ConnectWithin(limit, timeout_ms);
    return;
  }
  if (timeout_ms == -1 || timeout_ms == 0) {
    int32_t err = binding_->Connect(-2);
    if (err != 0) TNetStack::RaiseSocketError(err);
    return;
  }
  int32_t err = binding_->Connect(timeout_ms);
  if (err == -2) {
    CloseChannel();
    throw ENetConnectTimeout();
  }
  if (err != 0) throw ENetConnectException::Failed(err);
}

std::string TNetIOHandlerSocket::PeerAddress(const std::string& host, const TNetDeadline& limit) {
  std::optional<std::string> ip = TNetStack::Instance().ResolveHost(host, limit);
  if (ip) return *ip;
  CloseChannel();
  if (limit == Deadline()) throw ENetDeadlineExpired(Deadline().Budget());
  throw ENetConnectTimeout();
}

void TNetIOHandlerSocket::ConnectWithin(const TNetDeadline& limit, int32_t timeout_ms) {
  const int32_t err = binding_->Connect(limit.RemainingMs());
  if (err == -2) {
    CloseChannel();
    if (limit == Deadline()) throw ENetDeadlineExpired(Deadline().Budget());
    throw ENetConnectTimeout();
  }
  if (err == 0) return;
  if (timeout_ms == -1 || timeout_ms == 0) TNetStack::RaiseSocketError(err);
  throw ENetConnectException::Failed(err);
}

bool TNetIOHandlerSocket::WaitReadable(int32_t timeout_ms) {
  if (!ChannelOpen()) throw ENetConnClosedGracefully();
  int rc = binding_->WaitReadable(timeout_ms);
  if (rc < 0) TNetStack::RaiseSocketError();
  return rc > 0;
}

int32_t TNetIOHandlerSocket::ReceiveRaw(void* buffer, int32_t length) {
  if (!ChannelOpen()) throw ENetClosedSocket();
  return TNetStack::Instance().Recv(binding_->Handle(), buffer, length);
}

int32_t TNetIOHandlerSocket::SendRaw(const void* buffer, int32_t length) {
  if (!ChannelOpen()) throw ENetClosedSocket();
  TNetStack& stack = TNetStack::Instance();
  const int fd = binding_->Handle();
  if (Deadline().Unlimited()) return stack.Send(fd, buffer, length);
  // A blocking send would wait for room for every byte; this one waits for
  // some room until the deadline and takes what fits.
  for (;;) {
    const int ready = stack.WaitWritable(fd, Deadline().RemainingMs());
    if (ready < 0) return -1;
    if (ready == 0 && !Deadline().Passed()) continue;  // woke a moment early
    if (ready == 0) {
      TNetStack::SetLastError(kWsaeTimedOut);
      return -1;
    }
    const int32_t sent = stack.Send(fd, buffer, length, /*dont_wait=*/true);
    if (sent >= 0 || TNetStack::LastError() != kWsaeWouldBlock) return sent;
  }
}

}  // namespace tallyvox::net
