#include "net/ssl_io_handler.h"

#include "net/exceptions.h"

namespace tallyvox::net {

TNetSSLIOHandlerSocket::~TNetSSLIOHandlerSocket() { EndSession(); }

void TNetSSLIOHandlerSocket::EndSession() {
  socket_.reset();  // at most one close_notify
  context_.reset();
  read_deadline_ = TNetDeadline::Never();
}

void TNetSSLIOHandlerSocket::PrepareChannel() {
  EndSession();
  TNetIOHandlerSocket::PrepareChannel();
}

void TNetSSLIOHandlerSocket::CloseChannel() {
  EndSession();
  TNetIOHandlerSocket::CloseChannel();
}

void TNetSSLIOHandlerSocket::ConnectChannel(const std::string& host, int32_t port,
                                            int32_t timeout_ms, int32_t local_port_max,
                                            int32_t local_port_min, int32_t local_port,
                                            const std::string& local_ip) {
  EndSession();
  TNetIOHandlerSocket::ConnectChannel(host, port, timeout_ms, local_port_max, local_port_min,
                                      local_port, local_ip);
  // The handshake and write limits: the options when set, else the connect
  // time-out (none when the connect itself had none).
  const int32_t connect_limit = timeout_ms > 0 ? timeout_ms : -2;
  const int32_t handshake_limit =
      SSLOptions.HandshakeTimeout != 0 ? SSLOptions.HandshakeTimeout : connect_limit;
  handshake_deadline_ = TNetDeadline::Earlier(TNetDeadline::After(handshake_limit), Deadline());
  write_limit_ms_ = SSLOptions.WriteTimeout != 0 ? SSLOptions.WriteTimeout : connect_limit;
  host_ = host;
  try {
    DoBeforeConnect();
    const TNetSSLMode mode =
        SSLOptions.Mode == TNetSSLMode::sslmUnassigned ? TNetSSLMode::sslmClient : SSLOptions.Mode;
    context_ = std::make_unique<TNetSSLContext>(SSLOptions, mode, this);
    StartSSL();
  } catch (...) {
    EndSession();  // nothing was established: no close_notify goes out
    throw;
  }
}

void TNetSSLIOHandlerSocket::StartSSL() {
  if (socket_) return;
  socket_ = std::make_unique<TNetSSLSocket>(context_.get(), this, Binding()->Handle());
  socket_->Connect(host_, handshake_deadline_);
  if (OnStatusInfo) DoStatusInfo(socket_->CipherStatusText());
}

bool TNetSSLIOHandlerSocket::WaitReadable(int32_t timeout_ms) {
  if (ChannelOpen() && socket_ && socket_->HasPendingBytes()) return true;
  read_deadline_ = TNetDeadline::After(timeout_ms);
  return TNetIOHandlerSocket::WaitReadable(timeout_ms);
}

int32_t TNetSSLIOHandlerSocket::ReceiveRaw(void* buffer, int32_t length) {
  if (!ChannelOpen() || !socket_) throw ENetClosedSocket();
  const TNetDeadline deadline = read_deadline_;
  read_deadline_ = TNetDeadline::Never();
  return socket_->Read(buffer, length, deadline, &last_error_);
}

int32_t TNetSSLIOHandlerSocket::SendRaw(const void* buffer, int32_t length) {
  if (!ChannelOpen() || !socket_) throw ENetClosedSocket();
  return socket_->Write(buffer, length,
                        TNetDeadline::Earlier(TNetDeadline::After(write_limit_ms_), Deadline()),
                        &last_error_);
}

int32_t TNetSSLIOHandlerSocket::LastErrorNumber() { return last_error_; }

void TNetSSLIOHandlerSocket::DoBeforeConnect() {
  if (OnBeforeConnect) OnBeforeConnect();
}

void TNetSSLIOHandlerSocket::DoStatusInfo(const std::string& text) {
  if (OnStatusInfo) OnStatusInfo(text);
}

std::string TNetSSLIOHandlerSocket::DoGetPassword() {
  return OnGetPassword ? OnGetPassword() : std::string();
}

bool TNetSSLIOHandlerSocket::DoVerifyPeer(TNetX509& cert) {
  return OnVerifyPeer ? OnVerifyPeer(cert) : true;
}

}  // namespace tallyvox::net
