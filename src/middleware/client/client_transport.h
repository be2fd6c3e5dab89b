// Client transports: they carry one encoded middleware message at a time to
// an application server and read the answering message back. The request
// exchange of client.h drives them; the connection pool gives each pooled
// connection a private transport copied with CopySettingsFrom.
//
// Class chain: TMwCustomTransport (middleware/wire/transport_stream.h: what a
// transport stream needs of its transport) -> TMwCustomClientTransport
// (settings, connection string, fallback servers, redirect alternatives,
// events, idle thread) -> TMwCustomTCPIPClientTransport (one TNetTCPClient,
// the framing of framing.h) -> TMwTCPIPClientTransport.
//
// Framing of one message (see framing.h for the bytes):
//   transmit: BeginTransmit (write buffering on), TransmitLength (4-byte
//     length, or the 21-byte verified header when VerifyTransfer), then
//     TransmitStream (the buffer from 0), EndTransmit (one flush; LastActivity)
//   receive: BeginReceive, ReceiveLength (verified header, -1 under
//     mwtsoReadUntilDisconnect without VerifyTransfer, else 4 bytes),
//     ReceiveStream (exactly that many bytes, or until the peer closes),
//     EndReceive (LastActivity).
//
// Waits of a response: with RequestTimeout >= 1 every wait for response
// bytes (the header, the length and each part of the body) is bounded by
// RequestTimeout seconds and fails with net::ENetReadTimeout "Read Timeout",
// so a server that accepts and never answers cannot hold the caller. With
// RequestTimeout 0 the first wait only polls and with -1 it uses the
// connection's default (none set here); the later waits then have no bound
// at all. The connect waits ConnectTimeout seconds; 0 is the system's plain
// connect, bounded only by the operating system. A connect deadline, when
// set, bounds every connect as well: see SetConnectDeadline. A deadline for
// a whole operation, when set, bounds every wait of the connection, however
// the server paces its bytes: see SetDeadline.
// The body buffer grows only as bytes arrive: an announced length is never
// allocated up front. A negative length (other than read-until-disconnect)
// or one above kMwHardMessageLimit fails with EMwException 0x04001011
// "Transportstream size out of bounds.", as does one above
// MaxTransportStreamSize (checked by the stream's Fetch).
//
// Concurrency: one caller thread at a time per transport. The idle thread
// reads only the time of the last message and calls OnIdle.
#ifndef TALLYVOX_MIDDLEWARE_CLIENT_CLIENT_TRANSPORT_H_
#define TALLYVOX_MIDDLEWARE_CLIENT_CLIENT_TRANSPORT_H_

#include <atomic>
#include <chrono>
#include <cstdint>
#include <exception>
#include <functional>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "base/datetime.h"
#include "base/mutex.h"
#include "base/periodic_thread.h"
#include "middleware/client/connection_string.h"
#include "middleware/wire/stream_controller.h"
#include "middleware/wire/string_list.h"
#include "middleware/wire/transport_stream.h"
#include "net/deadline.h"
#include "net/tcp_client.h"

namespace tallyvox::mw {

class TMwCustomClient;
class TMwCustomClientTransport;

// The states of one request exchange, defined with the exchange (client.h).
enum TMwRequestStates : int;

// Transport state options, a set of bits.
enum TMwTransportStateOption : uint32_t {
  // Without VerifyTransfer an incoming message has no prefix and ends when
  // the server closes the connection (outgoing messages keep theirs).
  mwtsoReadUntilDisconnect = 1u << 0,
  // No effect in a client.
  mwtsoDisconnectAfterResponse = 1u << 1,
};
using TMwTransportStateOptions = uint32_t;

// A length above this is refused even when MaxTransportStreamSize is 0.
constexpr int64_t kMwHardMessageLimit = 1LL << 30;

// The info object handed to every primitive. Nothing in a client sets its
// flags.
class TMwClientTransportInfo : public TMwTransportInfo {};

using TMwTransportInfoEvent =
    std::function<void(TMwCustomClientTransport* sender, TMwTransportInfo* info)>;
using TMwTransportStreamEvent = std::function<void(
    TMwCustomClientTransport* sender, TMwTransportInfo* info, TMwCustomTransportStream& stream)>;
using TMwTransportNotifyEvent = std::function<void(TMwCustomClientTransport* sender)>;
using TMwReconnectEvent =
    std::function<void(TMwCustomClientTransport* sender, bool alternative, int retries_left)>;
// Raised by the request exchange for every failure while transmitting,
// receiving or reconnecting. The handler may change `new_state` (rsReconnect
// on entry) to rsCancel, rsReassemble, ...; the exception is not raised
// further.
using TMwOnClientException =
    std::function<void(TMwCustomClient* sender, TMwRequestStates old_state,
                       TMwRequestStates& new_state, const std::exception& e)>;

class TMwCustomClientTransport : public TMwCustomTransport {
 public:
  TMwCustomClientTransport();
  // Stops the idle thread.
  ~TMwCustomClientTransport() override;
  TMwCustomClientTransport(const TMwCustomClientTransport&) = delete;
  TMwCustomClientTransport& operator=(const TMwCustomClientTransport&) = delete;

  // A new transport of the same class with default settings (the pool makes
  // each connection's own transport this way).
  virtual std::unique_ptr<TMwCustomClientTransport> NewInstance() const = 0;
  // Whether all pooled connections share this transport (never here).
  virtual bool IsSharedTransport() const { return false; }
  virtual bool IsSerializedTransport() const;
  virtual bool IsConnectionlessTransport() const;

  // ---- Settings ----
  // Name of a registered transport stream format ("STANDARD"). Assigning an
  // unknown or unsuitable name raises std::runtime_error and keeps the old.
  const std::string& StreamFormat() const { return stream_format_; }
  virtual void SetStreamFormat(const std::string& name);
  // The controller of StreamFormat.
  const TMwCustomTransportStreamController& StreamController() const;

  int32_t RequestTimeout() const { return request_timeout_; }  // seconds
  void SetRequestTimeout(int32_t seconds) { request_timeout_ = seconds; }
  int32_t ConnectTimeout() const { return connect_timeout_; }  // seconds; 0 = blocking
  void SetConnectTimeout(int32_t seconds) { connect_timeout_ = seconds; }
  bool VerifyTransfer() const { return verify_transfer_; }
  virtual void SetVerifyTransfer(bool value) { verify_transfer_ = value; }
  TMwTransportStateOptions TransportStateOptions() const { return state_options_; }
  void SetTransportStateOptions(TMwTransportStateOptions v) { state_options_ = v; }
  int32_t MaxRetries() const { return max_retries_; }
  void SetMaxRetries(int32_t v) { max_retries_ = v; }
  int32_t MaxRetriesAlternative() const { return max_retries_alternative_; }
  void SetMaxRetriesAlternative(int32_t v) { max_retries_alternative_ = v; }
  TMwStringConversion StringConversion() const override { return string_conversion_; }
  void SetStringConversion(TMwStringConversion v) { string_conversion_ = v; }
  TMwFormatSettings FormatSettings() const override { return format_settings_; }
  void SetFormatSettings(const TMwFormatSettings& v) { format_settings_ = v; }
  int32_t IdleInterval() const { return idle_interval_; }  // seconds; <= 0 = never
  void SetIdleInterval(int32_t seconds);
  bool AutoFallback() const { return auto_fallback_; }
  void SetAutoFallback(bool v) { auto_fallback_ = v; }

  // A deadline on the steady clock for every connect, so that the several
  // connects of one operation (a pooled connection's, then the request's)
  // share one bound: each waits at most the lesser of ConnectTimeout and the
  // time left, and once none is left a connect fails at once with "Connect
  // timed out." (net::ENetConnectTimeout), as a timed-out one does. Transports
  // made by CopySettingsFrom share the deadline of their source instead of
  // copying it: setting or clearing it on the source applies to them too,
  // also to pooled connections made before. None until set. Thread-safe.
  void SetConnectDeadline(std::chrono::steady_clock::time_point deadline);
  void ClearConnectDeadline();
  std::optional<std::chrono::steady_clock::time_point> ConnectDeadline() const;

  // A deadline for everything the transport does until it is cleared (one
  // probe of a server): the connect with its host name lookup, every wait
  // for response bytes and every write of its connection take at most the
  // lesser of their own time-out (ConnectTimeout, RequestTimeout, ...) and
  // the time left, so that the operation ends by then whatever the server
  // sends. A wait the deadline ends fails with net::ENetDeadlineExpired (a
  // net::ENetReadTimeout, "no answer within N s" with N the deadline's
  // budget), and once it has passed a connect fails with it at once.
  // Shared by the transports made by CopySettingsFrom, as the connect
  // deadline is. Never() until set: then every wait has only its own
  // time-out. Thread-safe.
  void SetDeadline(const net::TNetDeadline& deadline);
  void ClearDeadline() { SetDeadline(net::TNetDeadline::Never()); }
  net::TNetDeadline Deadline() const;

  // Copied into every message as its stream parameters. Every change
  // re-reads MAXTRANSPORTSTREAMSIZE: a present, non-empty value becomes the
  // limit; an absent or empty one keeps the previous limit.
  const TMwStrings& Params() const { return params_; }
  virtual void SetParams(const TMwStrings& params);
  int32_t MaxTransportStreamSize() const override { return max_transport_stream_size_; }

  // Naming values of request subjects: Domain() is "DEFAULT" and Identity()
  // the process identity (process_identity.h) unless set.
  virtual void SetDomain(const std::string& v) { domain_ = v; }
  virtual void SetIdentity(const std::string& v) { identity_ = v; }
  std::string Domain() const;
  std::string Identity() const;

  // ---- Connection string, fallback servers, redirect alternatives ----
  TMwConnectionString ConnectionString() const;
  void SetConnectionString(const TMwConnectionString& value);
  const TMwConnectionStringArray& FallbackServers() const { return fallback_servers_; }
  void SetFallbackServers(const TMwConnectionStringArray& v) { fallback_servers_ = v; }
  // Applies the fallback entry at the position (wrapping to the first) and
  // advances. Does nothing when there are none.
  virtual void NextFallbackServer();
  // Reads a redirect status text: the unnamed section, then sections
  // CLIENT_ALT1 and CLIENT_ALT2 when present, replace the alternatives.
  virtual void SetRedirectAlternatives(const TMwConnectionString& text);
  // Applies the alternative at the position and advances; false (nothing
  // changed) when all are used.
  virtual bool NextRedirectAlternative();
  const TMwConnectionStringArray& RedirectAlternatives() const { return alternatives_; }
  // Back to the first fallback server and the first alternative.
  void ResetFallbackPositions();

  // ---- Connection ----
  virtual void Connect() = 0;
  // Never raises because of the connection; always raises OnDisconnected.
  virtual void Disconnect() = 0;
  // Never raises.
  virtual bool IsConnected() = 0;
  // Disconnect, then Connect (also when Disconnect raised).
  virtual void Reconnect();
  bool Active() { return IsConnected(); }
  // Setting the value IsConnected already reports does nothing; otherwise
  // connects or disconnects (deferred while loading).
  virtual void SetActive(bool value);
  // Component loading: SetActive only remembers the value until EndLoading,
  // which applies it with its errors swallowed.
  void BeginLoading() { loading_ = true; }
  void EndLoading();

  // Copies the configuration from `source`: see the .cc for the list, which
  // includes Params and MaxTransportStreamSize as the source has it (a
  // limit survives the source's Params being cleared). MinClientPort and
  // MaxClientPort are never copied; the connect deadline is shared.
  virtual void CopySettingsFrom(const TMwCustomClientTransport& source);

  const std::shared_ptr<TMwClientTransportInfo>& TransportInfo() const { return info_; }
  // When the last message was carried (wall clock, for showing; the idle
  // thread measures idle time on the steady clock).
  TDateTime LastActivity() const { return last_activity_.load(); }

  // ---- Primitives (info is normally TransportInfo()) ----
  virtual void BeginTransmit(TMwTransportInfo* info, TMwCustomTransportStream& stream);
  virtual void TransmitBuffer(TMwTransportInfo* info, const void* bytes, int32_t count);
  virtual void EndTransmit(TMwTransportInfo* info, TMwCustomTransportStream& stream);
  virtual void BeginReceive(TMwTransportInfo* info, TMwCustomTransportStream& stream);
  virtual bool ReceiveBuffer(TMwTransportInfo* info, std::string* bytes, int32_t count);
  virtual int32_t WaitForData(TMwTransportInfo* info);
  virtual void EndReceive(TMwTransportInfo* info, TMwCustomTransportStream& stream);
  // The stream hooks: ReceiveLength yields -1 here; TransmitLength does nothing.
  void DoSend(TMwTransportInfo* info, TMwCustomTransportStream& stream) override;
  void DoReceive(TMwTransportInfo* info, TMwCustomTransportStream& stream) override;

  // ---- Events ----
  TMwTransportInfoEvent OnConnected;
  TMwTransportInfoEvent OnDisconnected;
  TMwTransportStreamEvent OnSend;
  TMwTransportStreamEvent OnReceive;
  TMwReconnectEvent OnReconnect;
  TMwTransportNotifyEvent OnConnectionLost;
  TMwOnClientException OnException;
  // Components that refer to this transport register here; `on_free` runs
  // when the transport is destroyed (so they can clear their reference).
  void AddFreeNotification(const void* key, std::function<void()> on_free) EXCLUDES(free_mu_);
  void RemoveFreeNotification(const void* key) EXCLUDES(free_mu_);

  // Called on the idle thread; set it through SetOnIdle.
  void SetOnIdle(TMwTransportNotifyEvent handler) EXCLUDES(idle_mu_);
  TMwTransportNotifyEvent OnIdle() const EXCLUDES(idle_mu_);

 protected:
  virtual void ParamsChanged();
  void DoConnected();
  void DoDisconnected();
  void TouchLastActivity();
  // Milliseconds for OpenConnection: ConnectTimeout (0: the plain connect),
  // cut to the time left before the connect deadline. Raises
  // net::ENetDeadlineExpired when the Deadline() has passed and
  // net::ENetConnectTimeout when the connect deadline has.
  int32_t ConnectWaitMs() const;
  // Writes the settings as connection string lines / applies the present,
  // non-empty keys of a connection string.
  virtual void WriteConnectionString(TMwConnectionString* out) const;
  virtual void ApplyConnectionString(const TMwConnectionString& value);
  // Stops and joins the idle thread; derived destructors call it first so
  // the thread never sees a half-destroyed transport.
  void StopIdleThread() { idle_thread_.Stop(); }

  bool connected_ = false;

 private:
  // One run of the idle thread: OnIdle when idle for longer than
  // IdleInterval.
  void IdleTick();

  std::shared_ptr<TMwClientTransportInfo> info_;
  std::string stream_format_ = "STANDARD";
  int32_t request_timeout_ = 30;
  int32_t connect_timeout_ = 60;
  bool verify_transfer_ = false;
  TMwTransportStateOptions state_options_ = 0;
  int32_t max_retries_ = 0;
  int32_t max_retries_alternative_ = 0;
  TMwStringConversion string_conversion_ = mwscFixed;
  TMwFormatSettings format_settings_;
  std::atomic<int32_t> idle_interval_{-1};
  bool auto_fallback_ = false;
  // Steady-clock ticks of the connect deadline, kNoDeadline for none; shared
  // with the transports copied from this one.
  static constexpr std::chrono::steady_clock::rep kNoDeadline =
      std::numeric_limits<std::chrono::steady_clock::rep>::max();
  std::shared_ptr<std::atomic<std::chrono::steady_clock::rep>> connect_deadline_ =
      std::make_shared<std::atomic<std::chrono::steady_clock::rep>>(kNoDeadline);
  // The Deadline(), shared likewise.
  struct SharedDeadline {
    mutable Mutex mu;
    net::TNetDeadline value GUARDED_BY(mu) = net::TNetDeadline::Never();
  };
  std::shared_ptr<SharedDeadline> deadline_ = std::make_shared<SharedDeadline>();
  TMwStrings params_;
  int32_t max_transport_stream_size_ = 0;
  std::string domain_;
  std::string identity_;
  TMwConnectionStringArray fallback_servers_;
  size_t fallback_position_ = 0;
  TMwConnectionStringArray alternatives_;
  size_t alternative_position_ = 0;
  bool loading_ = false;
  bool desired_active_ = false;
  std::atomic<TDateTime> last_activity_{0.0};
  // Steady-clock ticks of the last message; kNoActivity before the first.
  static constexpr std::chrono::steady_clock::rep kNoActivity =
      std::numeric_limits<std::chrono::steady_clock::rep>::min();
  std::atomic<std::chrono::steady_clock::rep> activity_at_{kNoActivity};

  mutable Mutex idle_mu_;
  TMwTransportNotifyEvent on_idle_ GUARDED_BY(idle_mu_);
  PeriodicThread idle_thread_;

  Mutex free_mu_;
  std::vector<std::pair<const void*, std::function<void()>>> free_notifications_
      GUARDED_BY(free_mu_);
};

class TMwCustomTCPIPClientTransport : public TMwCustomClientTransport {
 public:
  TMwCustomTCPIPClientTransport();
  // Disconnects (errors swallowed) and destroys the TCP client.
  ~TMwCustomTCPIPClientTransport() override;

  std::unique_ptr<TMwCustomClientTransport> NewInstance() const override;
  bool IsSerializedTransport() const override { return true; }
  bool IsConnectionlessTransport() const override { return false; }

  const std::string& Host() const { return host_; }
  void SetHost(const std::string& host);
  int32_t Port() const { return port_; }
  void SetPort(int32_t port);
  int32_t MinClientPort() const { return min_client_port_; }
  void SetMinClientPort(int32_t port);
  int32_t MaxClientPort() const { return max_client_port_; }
  void SetMaxClientPort(int32_t port);

  // The current TCP client (null before the first Connect).
  net::TNetTCPClient* TcpClient() const { return tcp_.get(); }

  void Connect() override;
  void Disconnect() override;
  bool IsConnected() override;
  void CopySettingsFrom(const TMwCustomClientTransport& source) override;

  void BeginTransmit(TMwTransportInfo* info, TMwCustomTransportStream& stream) override;
  void TransmitLength(TMwTransportInfo* info, TMwCustomTransportStream& stream) override;
  void TransmitStream(TMwTransportInfo* info, TMwCustomTransportStream& stream) override;
  void TransmitBuffer(TMwTransportInfo* info, const void* bytes, int32_t count) override;
  void EndTransmit(TMwTransportInfo* info, TMwCustomTransportStream& stream) override;
  bool ReceiveLength(TMwTransportInfo* info, TMwCustomTransportStream& stream,
                     int32_t* length) override;
  bool ReceiveStream(TMwTransportInfo* info, TMwCustomTransportStream& stream,
                     int32_t length) override;
  bool ReceiveBuffer(TMwTransportInfo* info, std::string* bytes, int32_t count) override;
  int32_t WaitForData(TMwTransportInfo* info) override;

 protected:
  void WriteConnectionString(TMwConnectionString* out) const override;
  void ApplyConnectionString(const TMwConnectionString& value) override;

 private:
  // The TCP client, with the transport's Deadline() applied; raises
  // net::ENetNotConnected before the first Connect.
  net::TNetTCPClient& Tcp();
  // Milliseconds for a wait of a response (see the header comment).
  int32_t FirstWaitMs() const;
  int32_t NextWaitMs() const;
  // Makes `count` bytes available in the input buffer.
  void FillInput(int32_t count, bool* first_wait);
  // The 21-byte verified header; raises "Invalid data" when it is bad.
  uint32_t ReadVerifiedLength();

  std::string host_ = "127.0.0.1";
  int32_t port_ = 3000;
  int32_t min_client_port_ = 0;
  int32_t max_client_port_ = 0;
  std::unique_ptr<net::TNetTCPClient> tcp_;
};

class TMwTCPIPClientTransport : public TMwCustomTCPIPClientTransport {
 public:
  std::unique_ptr<TMwCustomClientTransport> NewInstance() const override {
    return std::make_unique<TMwTCPIPClientTransport>();
  }
};

}  // namespace tallyvox::mw

#endif  // TALLYVOX_MIDDLEWARE_CLIENT_CLIENT_TRANSPORT_H_
