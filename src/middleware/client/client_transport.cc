#include "middleware/client/client_transport.h"
#include "base/text.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <limits>
#include <stdexcept>

#include "middleware/client/client_exceptions.h"
#include "middleware/client/process_identity.h"
#include "middleware/wire/framing.h"
#include "net/exceptions.h"

namespace tallyvox::mw {
namespace {

// The same refusal as the stream's own size check (Fetch), for lengths the
// transport refuses itself.
[[noreturn]] void ThrowSizeOutOfBounds() {
  throw EMwException("Transportstream size out of bounds.", kMwErrTransportStreamSize);
}

int32_t ToInteger(const std::string& text) {
  size_t used = 0;
  long long value = 0;
  try {
    value = std::stoll(text, &used, 10);
  } catch (const std::exception&) {
    used = 0;
  }
  if (used == 0 || used != text.size() || value < std::numeric_limits<int32_t>::min() ||
      value > std::numeric_limits<int32_t>::max()) {
    throw EConvertError("'" + text + "' is not a valid integer value");
  }
  return static_cast<int32_t>(value);
}

// Seconds to milliseconds for a time-out, saturating.
int32_t SecondsToMs(int32_t seconds) {
  const int64_t ms = static_cast<int64_t>(seconds) * 1000;
  return static_cast<int32_t>(std::min<int64_t>(ms, std::numeric_limits<int32_t>::max()));
}

[[noreturn]] void NotImplemented(const std::string& text) {
  throw EMwException(text, kMwErrNotDefined);
}

}  // namespace

// ---------------------------------------------------------------------------
// TMwCustomClientTransport

// The idle thread is started by the first positive IdleInterval: with no
// period it would only wait to be stopped, and a pooled connection creates a
// transport for every probe.
TMwCustomClientTransport::TMwCustomClientTransport()
    : info_(std::make_shared<TMwClientTransportInfo>()),
      idle_thread_([this] { return std::chrono::milliseconds(SecondsToMs(idle_interval_.load())); },
                   [this] { IdleTick(); }) {}

TMwCustomClientTransport::~TMwCustomClientTransport() {
  StopIdleThread();
  std::vector<std::pair<const void*, std::function<void()>>> notify;
  {
    MutexLock lock(&free_mu_);
    notify.swap(free_notifications_);
  }
  for (auto& [key, fn] : notify) {
    if (fn) fn();
  }
}

void TMwCustomClientTransport::AddFreeNotification(const void* key, std::function<void()> on_free) {
  MutexLock lock(&free_mu_);
  for (auto& entry : free_notifications_) {
    if (entry.first == key) {
      entry.second = std::move(on_free);
      return;
    }
  }
  free_notifications_.emplace_back(key, std::move(on_free));
}

void TMwCustomClientTransport::RemoveFreeNotification(const void* key) {
  MutexLock lock(&free_mu_);
  std::erase_if(free_notifications_, [key](const auto& entry) { return entry.first == key; });
}

bool TMwCustomClientTransport::IsSerializedTransport() const {
  NotImplemented("IsSerializedTransport is not implmented");
}

bool TMwCustomClientTransport::IsConnectionlessTransport() const {
  NotImplemented("IsConnectionlessTransport is not implmented");
}

void TMwCustomClientTransport::SetStreamFormat(const std::string& name) {
  TMwRegisteredTransportStreamList::Instance().Select(name, /*request_response=*/true);
  stream_format_ = name;
}

const TMwCustomTransportStreamController& TMwCustomClientTransport::StreamController() const {
  return TMwRegisteredTransportStreamList::Instance().Select(stream_format_, true);
}

void TMwCustomClientTransport::SetIdleInterval(int32_t seconds) {
  const int32_t previous = idle_interval_.exchange(seconds);
  if (seconds > 0) idle_thread_.Start();
  if (previous != seconds) idle_thread_.Restart();  // a new interval takes effect at once
}

void TMwCustomClientTransport::SetParams(const TMwStrings& params) {
  params_ = params;
  ParamsChanged();
}

void TMwCustomClientTransport::ParamsChanged() {
  const std::string value = params_.Value("MAXTRANSPORTSTREAMSIZE");
  if (!value.empty()) max_transport_stream_size_ = ToInteger(value);
}

std::string TMwCustomClientTransport::Domain() const {
  return domain_.empty() ? "DEFAULT" : domain_;
}

std::string TMwCustomClientTransport::Identity() const {
  return identity_.empty() ? MwProcessIdentity() : identity_;
}

// ---- Connection string ----

TMwConnectionString TMwCustomClientTransport::ConnectionString() const {
  TMwConnectionString out;
  WriteConnectionString(&out);
  return out;
}

void TMwCustomClientTransport::SetConnectionString(const TMwConnectionString& value) {
  ApplyConnectionString(value);
}

void TMwCustomClientTransport::WriteConnectionString(TMwConnectionString* out) const {
  std::string params = params_.Text();
  while (!params.empty() && (params.back() == '\n' || params.back() == '\r')) params.pop_back();
  out->Add("PARAMS=" + params);
  out->Add("STREAMFORMAT=" + stream_format_);
  out->Add(std::string("VERIFYTRANSFER=") + (verify_transfer_ ? "YES" : "NO"));
  out->Add("STRINGCONVERSION=" + std::to_string(static_cast<int>(string_conversion_)));
  out->Add("IDLEINTERVAL=" + std::to_string(idle_interval_.load()));
}

void TMwCustomClientTransport::ApplyConnectionString(const TMwConnectionString& value) {
  std::string v;
  if (!(v = value.Values("PARAMS")).empty()) {
    TMwStrings params;
    params.SetText(v);
    SetParams(params);
  }
  if (!(v = value.Values("STREAMFORMAT")).empty()) SetStreamFormat(v);
  if (!(v = value.Values("VERIFYTRANSFER")).empty()) SetVerifyTransfer(UpperCase(v) == "YES");
  if (!(v = value.Values("STRINGCONVERSION")).empty()) {
    string_conversion_ = static_cast<TMwStringConversion>(ToInteger(v));
  }
  if (!(v = value.Values("IDLEINTERVAL")).empty()) SetIdleInterval(ToInteger(v));
}

void TMwCustomClientTransport::NextFallbackServer() {
  if (fallback_servers_.empty()) return;
  if (fallback_position_ >= fallback_servers_.size()) fallback_position_ = 0;
  const TMwConnectionString entry = fallback_servers_[fallback_position_];
  ++fallback_position_;
  ApplyConnectionString(entry);
}

void TMwCustomClientTransport::SetRedirectAlternatives(const TMwConnectionString& text) {
  alternatives_.clear();
  alternatives_.push_back(text.Section(""));
  for (const char* name : {"CLIENT_ALT1", "CLIENT_ALT2"}) {
    if (text.HasSection(name)) alternatives_.push_back(text.Section(name));
  }
}

bool TMwCustomClientTransport::NextRedirectAlternative() {
  if (alternative_position_ >= alternatives_.size()) return false;
  const TMwConnectionString entry = alternatives_[alternative_position_];
  ++alternative_position_;
  ApplyConnectionString(entry);
  return true;
}

void TMwCustomClientTransport::ResetFallbackPositions() {
  fallback_position_ = 0;
  alternative_position_ = 0;
}

// ---- Connection ----

void TMwCustomClientTransport::Reconnect() {
  try {
    Disconnect();
  } catch (...) {
    Connect();
    throw;
  }
  Connect();
}

void TMwCustomClientTransport::SetActive(bool value) {
  if (value == IsConnected()) return;
  desired_active_ = value;
  if (loading_) return;
  if (value) {
    Connect();
  } else {
    Disconnect();
  }
}

void TMwCustomClientTransport::EndLoading() {
  loading_ = false;
  if (desired_active_ == IsConnected()) return;
  try {
    if (desired_active_) {
      Connect();
    } else {
      Disconnect();
    }
  } catch (const std::exception&) {
    // Errors while applying the stored state are swallowed.
  }
}

void TMwCustomClientTransport::CopySettingsFrom(const TMwCustomClientTransport& source) {
  if (&source == this) return;
  stream_format_ = source.stream_format_;
  request_timeout_ = source.request_timeout_;
  SetVerifyTransfer(source.verify_transfer_);
  SetIdleInterval(source.idle_interval_.load());
  format_settings_ = source.format_settings_;
  string_conversion_ = source.string_conversion_;
  SetParams(source.params_);
  // The limit as the source has it: its Params may have been cleared since
  // the limit was set, which keeps the limit.
  max_transport_stream_size_ = source.max_transport_stream_size_;
  state_options_ = source.state_options_;
  OnConnected = source.OnConnected;
  OnDisconnected = source.OnDisconnected;
  OnSend = source.OnSend;
  OnReceive = source.OnReceive;
  SetOnIdle(source.OnIdle());
  max_retries_ = source.max_retries_;
  max_retries_alternative_ = source.max_retries_alternative_;
  OnReconnect = source.OnReconnect;
  OnConnectionLost = source.OnConnectionLost;
  OnException = source.OnException;
  connect_timeout_ = source.connect_timeout_;
  connect_deadline_ = source.connect_deadline_;
  deadline_ = source.deadline_;
  auto_fallback_ = source.auto_fallback_;
  fallback_servers_ = source.fallback_servers_;
}

void TMwCustomClientTransport::SetConnectDeadline(std::chrono::steady_clock::time_point deadline) {
  connect_deadline_->store(deadline.time_since_epoch().count());
}

void TMwCustomClientTransport::ClearConnectDeadline() { connect_deadline_->store(kNoDeadline); }

std::optional<std::chrono::steady_clock::time_point> TMwCustomClientTransport::ConnectDeadline()
    const {
  const auto ticks = connect_deadline_->load();
  if (ticks == kNoDeadline) return std::nullopt;
  return std::chrono::steady_clock::time_point(std::chrono::steady_clock::duration(ticks));
}

void TMwCustomClientTransport::SetDeadline(const net::TNetDeadline& deadline) {
  MutexLock lock(&deadline_->mu);
  deadline_->value = deadline;
}

net::TNetDeadline TMwCustomClientTransport::Deadline() const {
  MutexLock lock(&deadline_->mu);
  return deadline_->value;
}

int32_t TMwCustomClientTransport::ConnectWaitMs() const {
  const net::TNetDeadline whole = Deadline();
  if (whole.Passed()) throw net::ENetDeadlineExpired(whole.Budget());
  const int32_t timeout_ms = ConnectTimeout() <= 0 ? 0 : SecondsToMs(ConnectTimeout());
  const auto deadline = ConnectDeadline();
  if (!deadline) return timeout_ms;
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                        *deadline - std::chrono::steady_clock::now())
                        .count();
  if (left <= 0) throw net::ENetConnectTimeout();
  if (timeout_ms != 0 && timeout_ms <= left) return timeout_ms;
  return static_cast<int32_t>(std::min<int64_t>(left, std::numeric_limits<int32_t>::max()));
}

void TMwCustomClientTransport::DoConnected() {
  if (OnConnected) OnConnected(this, info_.get());
}

void TMwCustomClientTransport::DoDisconnected() {
  if (OnDisconnected) OnDisconnected(this, info_.get());
}

void TMwCustomClientTransport::TouchLastActivity() {
  last_activity_ = Now();
  activity_at_ = std::chrono::steady_clock::now().time_since_epoch().count();
}

// ---- Primitives of the base class ----

void TMwCustomClientTransport::BeginTransmit(TMwTransportInfo*, TMwCustomTransportStream&) {}

void TMwCustomClientTransport::TransmitBuffer(TMwTransportInfo*, const void*, int32_t) {
  NotImplemented("TransmitBuffer not implemented in transport.");
}

void TMwCustomClientTransport::EndTransmit(TMwTransportInfo* info, TMwCustomTransportStream&) {
  if (info != nullptr && info->CloseConnectionAfterTransmit) Disconnect();
  TouchLastActivity();
}

void TMwCustomClientTransport::BeginReceive(TMwTransportInfo*, TMwCustomTransportStream&) {}

bool TMwCustomClientTransport::ReceiveBuffer(TMwTransportInfo*, std::string*, int32_t) {
  NotImplemented("ReceiveBuffer not implemented in transport.");
}

int32_t TMwCustomClientTransport::WaitForData(TMwTransportInfo*) { return -1; }

void TMwCustomClientTransport::EndReceive(TMwTransportInfo* info, TMwCustomTransportStream&) {
  if (info != nullptr && info->CloseConnectionAfterReceive) Disconnect();
  TouchLastActivity();
}

void TMwCustomClientTransport::DoSend(TMwTransportInfo* info, TMwCustomTransportStream& stream) {
  if (OnSend) OnSend(this, info, stream);
}

void TMwCustomClientTransport::DoReceive(TMwTransportInfo* info, TMwCustomTransportStream& stream) {
  if (OnReceive) OnReceive(this, info, stream);
}

// ---- Idle thread ----

void TMwCustomClientTransport::SetOnIdle(TMwTransportNotifyEvent handler) {
  MutexLock lock(&idle_mu_);
  on_idle_ = std::move(handler);
}

TMwTransportNotifyEvent TMwCustomClientTransport::OnIdle() const {
  MutexLock lock(&idle_mu_);
  return on_idle_;
}

// A transport that has carried no message yet is idle since ever.
void TMwCustomClientTransport::IdleTick() {
  using std::chrono::steady_clock;
  const steady_clock::rep at = activity_at_.load();
  const bool idle = at == kNoActivity ||
                    std::chrono::duration_cast<std::chrono::seconds>(
                        steady_clock::now() - steady_clock::time_point(steady_clock::duration(at)))
                            .count() > idle_interval_.load();
  if (idle) {
    const TMwTransportNotifyEvent handler = OnIdle();
    if (handler) handler(this);
  }
}

// ---------------------------------------------------------------------------
// TMwCustomTCPIPClientTransport

TMwCustomTCPIPClientTransport::TMwCustomTCPIPClientTransport() = default;

TMwCustomTCPIPClientTransport::~TMwCustomTCPIPClientTransport() {
  StopIdleThread();
  if (tcp_) {
    try {
      Disconnect();
    } catch (...) {
    }
  }
  tcp_.reset();
}

std::unique_ptr<TMwCustomClientTransport> TMwCustomTCPIPClientTransport::NewInstance() const {
  return std::make_unique<TMwTCPIPClientTransport>();
}

void TMwCustomTCPIPClientTransport::SetHost(const std::string& host) {
  host_ = host;
  if (tcp_) tcp_->Host = host;
}

void TMwCustomTCPIPClientTransport::SetPort(int32_t port) {
  port_ = port;
  if (tcp_) tcp_->Port = port;
}

void TMwCustomTCPIPClientTransport::SetMinClientPort(int32_t port) {
  min_client_port_ = port;
  if (tcp_) tcp_->LocalPortMin = port;
}

void TMwCustomTCPIPClientTransport::SetMaxClientPort(int32_t port) {
  max_client_port_ = port;
  if (tcp_) tcp_->LocalPortMax = port;
}

void TMwCustomTCPIPClientTransport::Connect() {
  if (tcp_ && tcp_->IsOpen()) return;
  if (tcp_) {
    connected_ = false;
    tcp_.reset();
  }
  const int32_t wait_ms = ConnectWaitMs();
  tcp_ = std::make_unique<net::TNetTCPClient>();
  tcp_->Host = host_;
  tcp_->Port = port_;
  tcp_->LocalPortMin = min_client_port_;
  tcp_->LocalPortMax = max_client_port_;
  tcp_->SetDeadline(Deadline());
  // A failure propagates; the unopened client stays until the next Connect.
  tcp_->OpenConnection(wait_ms);
  DoConnected();
  connected_ = true;
}

void TMwCustomTCPIPClientTransport::Disconnect() {
  connected_ = false;
  if (tcp_) {
    try {
      if (tcp_->IsOpen()) tcp_->CloseConnection();
    } catch (...) {
    }
    try {
      tcp_.reset();
    } catch (...) {
    }
  }
  DoDisconnected();
}

bool TMwCustomTCPIPClientTransport::IsConnected() {
  try {
    return tcp_ != nullptr && tcp_->IsOpen();
  } catch (...) {
    return false;
  }
}

void TMwCustomTCPIPClientTransport::CopySettingsFrom(const TMwCustomClientTransport& source) {
  TMwCustomClientTransport::CopySettingsFrom(source);
  if (const auto* tcp = dynamic_cast<const TMwCustomTCPIPClientTransport*>(&source)) {
    SetPort(tcp->port_);
    SetHost(tcp->host_);
  }
}

void TMwCustomTCPIPClientTransport::WriteConnectionString(TMwConnectionString* out) const {
  TMwCustomClientTransport::WriteConnectionString(out);
  out->Add("HOST=" + host_);
  out->Add("PORT=" + std::to_string(port_));
  out->Add("BOUNDPORTMIN=" + std::to_string(min_client_port_));
  out->Add("BOUNDPORTMAX=" + std::to_string(max_client_port_));
}

void TMwCustomTCPIPClientTransport::ApplyConnectionString(const TMwConnectionString& value) {
  TMwCustomClientTransport::ApplyConnectionString(value);
  std::string v;
  if (!(v = value.Values("HOST")).empty()) SetHost(v);
  if (!(v = value.Values("PORT")).empty()) SetPort(ToInteger(v));
  if (!(v = value.Values("BOUNDPORTMIN")).empty()) SetMinClientPort(ToInteger(v));
  if (!(v = value.Values("BOUNDPORTMAX")).empty()) SetMaxClientPort(ToInteger(v));
}

net::TNetTCPClient& TMwCustomTCPIPClientTransport::Tcp() {
  if (!tcp_) throw net::ENetNotConnected();
  // A pooled connection outlives the operation it was made in: each use
  // takes the deadline in force now.
  tcp_->SetDeadline(Deadline());
  return *tcp_;
}

// ---- Transmit ----

void TMwCustomTCPIPClientTransport::BeginTransmit(TMwTransportInfo*, TMwCustomTransportStream&) {
  Tcp().StartWriteBuffering(-1);
}

void TMwCustomTCPIPClientTransport::TransmitLength(TMwTransportInfo* info,
                                                   TMwCustomTransportStream& stream) {
  const int64_t length = stream.BufferSize();
  if (VerifyTransfer()) {
    Tcp().WriteText(FormatVerifiedLength(static_cast<uint32_t>(length)));
  } else {
    const std::string prefix = EncodePlainLength(static_cast<int32_t>(length));
    TransmitBuffer(info, prefix.data(), static_cast<int32_t>(prefix.size()));
  }
}

void TMwCustomTCPIPClientTransport::TransmitStream(TMwTransportInfo*,
                                                   TMwCustomTransportStream& stream) {
  const TMwMemoryStream& buffer = stream.Buffer();
  if (buffer.Size() > 0) Tcp().WriteBytes(buffer.Data(), static_cast<int32_t>(buffer.Size()));
}

void TMwCustomTCPIPClientTransport::TransmitBuffer(TMwTransportInfo*, const void* bytes,
                                                   int32_t count) {
  Tcp().WriteBytes(bytes, count, false);
}

void TMwCustomTCPIPClientTransport::EndTransmit(TMwTransportInfo* info,
                                                TMwCustomTransportStream& stream) {
  if (tcp_ && tcp_->WriteBuffering()) Tcp().EndWriteBuffering();
  TMwCustomClientTransport::EndTransmit(info, stream);
}

// ---- Receive ----

int32_t TMwCustomTCPIPClientTransport::FirstWaitMs() const {
  return RequestTimeout() >= 1 ? SecondsToMs(RequestTimeout()) : RequestTimeout();
}

int32_t TMwCustomTCPIPClientTransport::NextWaitMs() const {
  return RequestTimeout() >= 1 ? SecondsToMs(RequestTimeout()) : -1;
}

void TMwCustomTCPIPClientTransport::FillInput(int32_t count, bool* first_wait) {
  net::TNetTCPClient& tcp = Tcp();
  while (tcp.BufferedInputSize() < count) {
    const int32_t wait = *first_wait ? FirstWaitMs() : NextWaitMs();
    *first_wait = false;
    tcp.ReceiveMore(true, wait, true);
    tcp.CheckPeerClosed(true, true);
  }
}

uint32_t TMwCustomTCPIPClientTransport::ReadVerifiedLength() {
  bool first = true;
  FillInput(static_cast<int32_t>(kMwVerifiedHeaderSize), &first);
  const std::string header = Tcp().ReadText(static_cast<int32_t>(kMwVerifiedHeaderSize));
  uint32_t length = 0;
  if (!ParseVerifiedLength(header, &length)) {
    throw EMwException("Invalid data", kMwErrInvalidData);
  }
  return length;
}

bool TMwCustomTCPIPClientTransport::ReceiveLength(TMwTransportInfo* info, TMwCustomTransportStream&,
                                                  int32_t* length) {
  if (VerifyTransfer()) {
    // A length above 2^31 - 1 reads back negative and is refused by
    // ReceiveStream (or by Fetch when a limit is set).
    *length = static_cast<int32_t>(ReadVerifiedLength());
  } else if (TransportStateOptions() & mwtsoReadUntilDisconnect) {
    *length = -1;
  } else {
    std::string bytes;
    ReceiveBuffer(info, &bytes, static_cast<int32_t>(kMwPlainLengthSize));
    *length = DecodePlainLength(bytes);
  }
  return true;
}

bool TMwCustomTCPIPClientTransport::ReceiveStream(TMwTransportInfo*,
                                                  TMwCustomTransportStream& stream,
                                                  int32_t length) {
  TMwMemoryStream& buffer = stream.Buffer();
  buffer.Clear();
  const bool until_closed = length == -1 && !VerifyTransfer() &&
                            (TransportStateOptions() & mwtsoReadUntilDisconnect) != 0;
  if (!until_closed && (length < 0 || length > kMwHardMessageLimit)) {
    ThrowSizeOutOfBounds();
  }
  net::TNetTCPClient& tcp = Tcp();
  // Moves `count` buffered input bytes straight to the end of the message.
  auto take_input = [&](int32_t count) {
    const int64_t at = buffer.Size();
    buffer.SetSize(at + count);
    tcp.ReadBytes(buffer.MutableData() + at, count);
  };
  bool first = true;
  if (until_closed) {
    // Everything until the server closes; each wait bounded as above.
    for (;;) {
      const int32_t available = tcp.BufferedInputSize();
      if (available > 0) {
        if (buffer.Size() + available > kMwHardMessageLimit) {
          ThrowSizeOutOfBounds();
        }
        take_input(available);
      }
      if (!tcp.IsOpen()) break;
      const int32_t wait = first ? FirstWaitMs() : NextWaitMs();
      first = false;
      if (tcp.ReceiveMore(false, wait, true) == 0 && tcp.BufferedInputSize() == 0) break;
    }
  } else {
    // Exactly `length` bytes, taken as they arrive: memory follows the
    // bytes received, never the announced length.
    int64_t remaining = length;
    while (remaining > 0) {
      if (tcp.BufferedInputSize() == 0) FillInput(1, &first);
      const int32_t take =
          static_cast<int32_t>(std::min<int64_t>(remaining, tcp.BufferedInputSize()));
      take_input(take);
      remaining -= take;
    }
  }
  buffer.Rewind();
  return true;
}

bool TMwCustomTCPIPClientTransport::ReceiveBuffer(TMwTransportInfo*, std::string* bytes,
                                                  int32_t count) {
  bool first = true;
  FillInput(count, &first);
  bytes->assign(static_cast<size_t>(std::max(count, 0)), '\0');
  if (count > 0) Tcp().ReadBytes(bytes->data(), count);
  return true;
}

int32_t TMwCustomTCPIPClientTransport::WaitForData(TMwTransportInfo*) {
  net::TNetTCPClient& tcp = Tcp();
  if (tcp.BufferedInputSize() == 0) tcp.ReceiveMore(true, FirstWaitMs(), true);
  if (!tcp.IsOpen()) return -1;
  return tcp.BufferedInputSize();
}

}  // namespace tallyvox::mw
