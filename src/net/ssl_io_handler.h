// TNetSSLIOHandlerSocket: the TLS channel. It runs implicit TLS over the
// plain TCP socket channel: right after the TCP connect, before any protocol
// byte, it performs a TLS client handshake, and every receive and send of the
// connection then goes through the TLS session.
//
// Every connect builds a fresh TNetSSLContext and TNetSSLSocket from
// SSLOptions; CloseChannel sends one close_notify and destroys both, so one
// channel can serve several connections one after another.
//
// Defaults are safe (see ssl_options.h): TLS 1.2 or newer, the server's
// certificate verified against the system CA store (plus RootCertFile) and
// its name against the host, SNI sent. A failed handshake raises
// ENetOSSLConnectError "Error connecting with SSL." + CR LF + OpenSSL's reason.
//
// Time limits: the handshake is bounded by SSLOptions.HandshakeTimeout (by
// default the open's connect time-out). A read is bounded by the time-out the
// connection passed to WaitReadable, also when a record arrives only in part.
// A write waits for the peer at most SSLOptions.WriteTimeout (by default the
// open's connect time-out as well). A Deadline() of the channel bounds the
// handshake and every write too.
//
// Usage (the SMTP clients share one channel):
//   TNetSSLIOHandlerSocket tls;
//   tls.SSLOptions.RootCertFile = "/path/ca.pem";    // optional extra CA
//   TNetTCPClient client;
//   client.SetIOHandler(&tls);
//   client.Host = "mail.example.com"; client.Port = 465;
//   client.OpenConnection(10000);                      // TCP + TLS handshake
#ifndef TALLYVOX_NET_SSL_IO_HANDLER_H_
#define TALLYVOX_NET_SSL_IO_HANDLER_H_

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "net/io_handler.h"
#include "net/ssl_context.h"
#include "net/ssl_exceptions.h"
#include "net/ssl_options.h"
#include "net/ssl_socket.h"

namespace tallyvox::net {

class TNetSSLIOHandlerSocket : public TNetIOHandlerSocket {
 public:
  TNetSSLIOHandlerSocket() = default;
  // Ends an open session (one close_notify) and closes the socket.
  ~TNetSSLIOHandlerSocket() override;

  TNetSSLOptions SSLOptions;

  // Observers; none is needed. OnStatusInfo receives "SSL status: \"...\""
  // handshake states and the "Cipher: ..." line; OnGetPassword supplies the
  // password of an encrypted KeyFile; OnVerifyPeer sees each certificate of
  // the server's chain and may refuse it (it cannot accept one that
  // OpenSSL's verification refused); OnBeforeConnect runs after the TCP
  // connect, before the handshake.
  std::function<void(const std::string&)> OnStatusInfo;
  std::function<std::string()> OnGetPassword;
  std::function<bool(TNetX509&)> OnVerifyPeer;
  std::function<void()> OnBeforeConnect;

  // Ends any old session, connects the socket channel, then builds a fresh
  // context and starts the TLS session. Raises as the socket channel does,
  // and the ENetOpenSSLError descendants; the caller (OpenConnection) then
  // closes the channel.
  void ConnectChannel(const std::string& host, int32_t port, int32_t timeout_ms,
                      int32_t local_port_max, int32_t local_port_min, int32_t local_port,
                      const std::string& local_ip) override;
  // Destroys the session (one close_notify when the handshake finished) and
  // the context, then closes the socket. A closed channel stays closed.
  void CloseChannel() override;
  void PrepareChannel() override;
  // True at once when OpenSSL already holds decrypted bytes; otherwise the
  // socket channel's readability test. Remembers timeout_ms as the limit
  // of the next ReceiveRaw.
  bool WaitReadable(int32_t timeout_ms) override;
  // Through the TLS session. Raise ENetClosedSocket "Disconnected." when the
  // channel is closed; ReceiveRaw raises ENetReadTimeout when the limit of
  // the last WaitReadable passes while a record is incomplete. SendRaw
  // fails with kWsaeTimedOut when the peer takes no bytes within the write limit.
  int32_t ReceiveRaw(void* buffer, int32_t length) override;
  int32_t SendRaw(const void* buffer, int32_t length) override;
  int32_t LastErrorNumber() override;

  // Overridable steps of the TLS channel.
  virtual void DoBeforeConnect();
  virtual void DoStatusInfo(const std::string& text);
  virtual std::string DoGetPassword();
  virtual bool DoVerifyPeer(TNetX509& cert);
  // Creates the session on the connected socket and runs the handshake.
  // REQUIRES: the socket is connected and the context built.
  virtual void StartSSL();

  // The current session and context; null while closed.
  TNetSSLSocket* SSLSocket() const { return socket_.get(); }
  TNetSSLContext* SSLContext() const { return context_.get(); }

 private:
  void EndSession();

  std::unique_ptr<TNetSSLContext> context_;
  std::unique_ptr<TNetSSLSocket> socket_;
  std::string host_;
  TNetDeadline handshake_deadline_ = TNetDeadline::Never();
  TNetDeadline read_deadline_ = TNetDeadline::Never();
  int32_t write_limit_ms_ = -2;  // -2: no limit
  int32_t last_error_ = 0;
};

}  // namespace tallyvox::net

#endif  // TALLYVOX_NET_SSL_IO_HANDLER_H_
