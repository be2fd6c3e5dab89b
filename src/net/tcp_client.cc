#include "net/tcp_client.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cstring>

namespace tallyvox::net {

namespace {
constexpr int32_t kUntilClosedWanted = 2147483647;
}  // namespace

TNetTCPConnection::TNetTCPConnection() = default;

TNetTCPConnection::~TNetTCPConnection() {
  try {
    if (io_handler_ != nullptr) {
      peer_closed_ = true;
      io_handler_->CloseChannel();
    }
  } catch (...) {
    // Errors while tearing down cannot be acted on.
  }
  io_handler_ = nullptr;
}

void TNetTCPConnection::ReleaseOwnedHandler() {
  if (owned_ == nullptr) return;
  if (io_handler_ == owned_.get()) io_handler_ = nullptr;
  owned_.reset();
}

void TNetTCPConnection::SetIOHandler(TNetIOHandler* handler) {
  if (handler == io_handler_) return;
  ReleaseOwnedHandler();
  io_handler_ = handler;
}

void TNetTCPConnection::EnsureIOHandler() {
  if (io_handler_ != nullptr) return;
  auto handler = std::make_unique<TNetIOHandlerSocket>();
  handler->OnStatus = OnStatus;
  owned_ = std::move(handler);
  io_handler_ = owned_.get();
}

void TNetTCPConnection::DoOnDisconnected() {
  if (OnDisconnected) OnDisconnected();
}

void TNetTCPConnection::ResetInput() {
  input_.Clear();
  peer_closed_ = false;
}

// ---- Open state and closing ----

void TNetTCPConnection::CheckPeerClosed(bool raise_if_closed, bool ignore_buffer) {
  if (io_handler_ == nullptr) return;
  bool channel_open = io_handler_->ChannelOpen();
  if (peer_closed_ && channel_open) {
    DropSocket();
    DoStatus(TNetStatus::hsDisconnected);
    DoOnDisconnected();
  }
  bool closed = peer_closed_ || !channel_open;
  if (closed && (input_.Empty() || ignore_buffer) && raise_if_closed) {
    throw ENetConnClosedGracefully();
  }
}

bool TNetTCPConnection::IsOpen() {
  CheckPeerClosed(false, false);
  return io_handler_ != nullptr && io_handler_->ChannelOpen();
}

void TNetTCPConnection::DropSocket() {
  if (io_handler_ == nullptr) return;
  peer_closed_ = true;
  io_handler_->CloseChannel();
}

void TNetTCPConnection::CloseConnection() {
  DoStatus(TNetStatus::hsDisconnecting);
  DropSocket();
  ReleaseOwnedHandler();
  DoOnDisconnected();
  DoStatus(TNetStatus::hsDisconnected);
}

// ---- Input ----

TNetTimeout TNetTCPConnection::ReadTimeoutFor(int32_t timeout_ms) const {
  if (timeout_ms != -1) return TNetTimeout::FromMs(timeout_ms);
  return ReadTimeout == 0 ? TNetTimeout::NoLimit() : TNetTimeout::FromMs(ReadTimeout);
}

int32_t TNetTCPConnection::ReceiveMore(bool raise_if_closed, int32_t timeout_ms,
                                       bool raise_on_timeout) {
  const TNetTimeout timeout = ReadTimeoutFor(timeout_ms);
  CheckPeerClosed(raise_if_closed, false);
  if (io_handler_ == nullptr || !io_handler_->ChannelOpen()) {
    if (raise_if_closed) throw ENetNotConnected();
    return 0;
  }
  int32_t result = 0;
  do {
    bool by_deadline = false;
    if (!io_handler_->WaitReadable(deadline_.Cut(timeout, &by_deadline).ToChannelMs())) {
      if (by_deadline) throw ENetDeadlineExpired(deadline_.Budget());
      if (raise_on_timeout) throw ENetReadTimeout();
      return -1;
    }
    const int32_t chunk = RecvBufferSize > 0 ? RecvBufferSize : kDefaultBufferSize;
    if (recv_scratch_.size() != static_cast<size_t>(chunk)) recv_scratch_.resize(chunk);
    try {
      result = io_handler_->ReceiveRaw(recv_scratch_.data(), chunk);
    } catch (const ENetReadTimeout&) {  // the TLS channel, inside a record
      if (by_deadline) throw ENetDeadlineExpired(deadline_.Budget());
      throw;
    }
    if (result == 0) peer_closed_ = true;
    if (result < 0) {
      int32_t err = io_handler_->LastErrorNumber();
      if (err == kWsaeShutdown || err == kWsaeConnAborted) {
        DropSocket();
        if (!input_.Empty()) {
          result = 0;
        } else {
          TNetStack::RaiseSocketError(err);
        }
      } else {
        TNetStack::RaiseSocketError(err);
      }
    }
    if (result > 0) input_.Append(recv_scratch_.data(), static_cast<size_t>(result));
    CheckPeerClosed(raise_if_closed, false);
  } while (result == 0 && io_handler_ != nullptr && io_handler_->ChannelOpen());
  return result;
}

std::string TNetTCPConnection::ReadLine(const std::string& terminator, int32_t timeout_ms,
                                        int32_t max_length) {
  const std::string term = terminator.empty() ? std::string("\n") : terminator;
  if (max_length == -1) max_length = MaxLineLength;
  int32_t search_from = 0;
  int32_t pos;
  for (;;) {
    pos = input_.IndexOf(term, search_from);
    if (max_length > 0) {
      // pos is 0-based, so the line before the terminator has pos bytes.
      bool too_long = pos >= 0 ? pos > max_length : input_.Size() > max_length;
      if (too_long) {
        if (MaxLineAction == TNetMaxLineAction::maException) {
          throw ENetReadLnMaxLineLengthExceeded();
        }
        return input_.ExtractString(max_length);
      }
    }
    if (pos >= 0) break;
    // Resume after the bytes already searched (a terminator may straddle).
    search_from = std::max<int32_t>(0, input_.Size() - static_cast<int32_t>(term.size()) + 1);
    CheckPeerClosed(true, true);
    if (ReceiveMore(true, timeout_ms, true) == 0) return std::string();
  }
  std::string line = input_.ExtractString(pos + static_cast<int32_t>(term.size()));
  line.resize(line.size() - term.size());
  if (term == "\n" && !line.empty() && line.back() == '\r') line.pop_back();
  return line;
}

std::string TNetTCPConnection::ReadNonEmptyLine(int32_t max_tries) {
  std::string line;
  for (int32_t i = 0; i < max_tries; ++i) {
    line = NetTrim(ReadLine());
    if (!line.empty()) break;
  }
  return line;
}

void TNetTCPConnection::ReadBytes(void* buffer, int32_t count) {
  if (count <= 0) return;
  while (input_.Size() < count) {
    ReceiveMore(true, -1, true);
    CheckPeerClosed(true, true);
  }
  input_.Extract(buffer, count);
}

std::string TNetTCPConnection::ReadText(int32_t count) {
  if (count <= 0) return std::string();
  std::string s(static_cast<size_t>(count), '\0');
  ReadBytes(s.data(), count);
  return s;
}

int32_t TNetTCPConnection::ReadInt32(bool convert) {
  uint32_t v = 0;
  ReadBytes(&v, 4);
  if (convert) v = ntohl(v);
  return static_cast<int32_t>(v);
}

void TNetTCPConnection::ReadToStream(TNetByteStream& stream, int32_t count, bool until_closed) {
  if (count == -1 && !until_closed) count = ReadInt32(true);
  // The target is not sized to position + count up front: the bytes are
  // written as they arrive, so an announced length that never comes costs
  // no memory. The final cut to the position gives the same result.
  int64_t wanted = until_closed ? kUntilClosedWanted : (count < 0 ? 0 : count);
  if (wanted > 0 && !input_.Empty()) {
    int32_t n = static_cast<int32_t>(std::min<int64_t>(wanted, input_.Size()));
    stream.Write(input_.Data(), n);
    input_.Remove(n);
    wanted -= n;
  }
  const int32_t chunk_max = RecvBufferSize > 0 ? RecvBufferSize : kDefaultBufferSize;
  try {
    // Chunks of at most RecvBufferSize go from the input buffer straight to
    // the stream as they arrive.
    while (wanted > 0) {
      if (input_.Empty()) {
        if (!IsOpen()) break;
        ReceiveMore(true, -1, true);
        continue;
      }
      int32_t n = static_cast<int32_t>(std::min<int64_t>({wanted, chunk_max, input_.Size()}));
      stream.Write(input_.Data(), n);
      input_.Remove(n);
      wanted -= n;
    }
    // A counted read that ends short is a failure, not a shorter result.
    if (!until_closed && wanted > 0) throw ENetConnClosedGracefully();
  } catch (const ENetConnClosedGracefully&) {
    if (!until_closed) throw;
    if (!input_.Empty()) {
      stream.Write(input_.Data(), input_.Size());
      input_.Clear();
    }
  }
  if (stream.Size() > stream.Position()) stream.SetSize(stream.Position());
}

// ---- Output ----

void TNetTCPConnection::SendNow(const uint8_t* bytes, int32_t count) {
  io_handler_->SetDeadline(deadline_);
  int32_t sent = 0;
  while (sent < count) {
    int32_t n = io_handler_->SendRaw(bytes + sent, count - sent);
    if (n == 0) peer_closed_ = true;
    CheckPeerClosed(true, false);
    if (n < 0) {
      int32_t err = io_handler_->LastErrorNumber();
      if (err == kWsaeTimedOut && deadline_.Passed()) {
        DropSocket();  // a message cut short cannot carry another byte
        throw ENetDeadlineExpired(deadline_.Budget());
      }
      // A connection that was reset, or whose peer stopped taking bytes
      // mid-write, cannot carry another byte: drop it, so that closing it
      // afterwards writes nothing more.
      if (err == kWsaeShutdown || err == kWsaeConnAborted || err == kWsaeConnReset ||
          err == kWsaeTimedOut) {
        DropSocket();
      }
      TNetStack::RaiseSocketError(err);
    }
    sent += n;
  }
}

void TNetTCPConnection::WriteBytes(const void* buffer, int32_t count, bool write_now) {
  if (count <= 0) return;
  CheckPeerClosed(true, true);
  if (io_handler_ == nullptr || !io_handler_->ChannelOpen()) throw ENetNotConnected();
  const uint8_t* p = static_cast<const uint8_t*>(buffer);
  if (write_now || !write_buffering_) {
    SendNow(p, count);
    return;
  }
  write_buffer_.insert(write_buffer_.end(), p, p + count);
  if (write_threshold_ > 0 && WriteBufferSize() >= write_threshold_) {
    FlushWriteBuffering(write_threshold_);
  }
}

void TNetTCPConnection::WriteText(const std::string& text) {
  WriteBytes(text.data(), static_cast<int32_t>(text.size()), false);
}

void TNetTCPConnection::WriteLine(const std::string& text) { WriteText(text + "\r\n"); }

void TNetTCPConnection::WriteLines(const std::vector<std::string>& lines, bool with_count) {
  if (with_count) WriteInt32(static_cast<int32_t>(lines.size()), true);
  for (const std::string& line : lines) WriteLine(line);
}

void TNetTCPConnection::WriteInt32(int32_t value, bool convert) {
  uint32_t v = static_cast<uint32_t>(value);
  if (convert) v = htonl(v);
  WriteBytes(&v, 4, false);
}

void TNetTCPConnection::WriteFromStream(TNetByteStream& stream, bool from_start, bool with_count,
                                        int32_t count) {
  if (from_start) stream.SetPosition(0);
  const int64_t end = count != 0 ? stream.Position() + count : stream.Size();
  int64_t left = end - stream.Position();
  if (with_count) WriteInt32(static_cast<int32_t>(left), true);
  const int32_t chunk_max = SendBufferSize > 0 ? SendBufferSize : kDefaultBufferSize;
  std::vector<uint8_t> chunk;
  while (left > 0) {
    int32_t n = static_cast<int32_t>(std::min<int64_t>(left, chunk_max));
    chunk.resize(static_cast<size_t>(n));
    int32_t got = stream.Read(chunk.data(), n);
    if (got <= 0) throw ENetNoDataToRead();
    WriteBytes(chunk.data(), got, false);
    left -= got;
  }
}

void TNetTCPConnection::StartWriteBuffering(int32_t threshold) {
  write_buffer_.clear();
  write_buffering_ = true;
  write_threshold_ = threshold;
}

void TNetTCPConnection::FlushWriteBuffering(int32_t count) {
  if (write_buffer_.empty()) return;
  if (count != -1 && WriteBufferSize() >= count && count > 0) {
    std::vector<uint8_t> head(write_buffer_.begin(), write_buffer_.begin() + count);
    write_buffer_.erase(write_buffer_.begin(), write_buffer_.begin() + count);
    SendNow(head.data(), count);
  } else {
    std::vector<uint8_t> all;
    all.swap(write_buffer_);
    SendNow(all.data(), static_cast<int32_t>(all.size()));
  }
}

void TNetTCPConnection::ClearWriteBuffering() { write_buffer_.clear(); }

void TNetTCPConnection::EndWriteBuffering() {
  struct Ender {
    TNetTCPConnection* c;
    ~Ender() {
      c->write_buffer_.clear();
      c->write_buffer_.shrink_to_fit();
      c->write_buffering_ = false;
    }
  } ender{this};
  FlushWriteBuffering(-1);
}

// ---- Numeric replies ----

std::vector<std::string> TNetTCPConnection::ReadReplyLines() {
  std::vector<std::string> lines;
  lines.push_back(ReadNonEmptyLine(kUntilClosedWanted));
  if (TNetRFCReply::OpensContinuation(lines[0])) {
    const std::string code3 = lines[0].substr(0, 3);
    for (;;) {
      if (lines.size() >= kMaxReplyLines) throw ENetReplyTooLong(kMaxReplyLines);
      std::string line = ReadNonEmptyLine(kUntilClosedWanted);
      lines.push_back(line);
      if (TNetRFCReply::EndsContinuation(line, code3)) break;
    }
  }
  return lines;
}

void TNetTCPConnection::CheckReplyCode(int32_t code, const std::vector<int16_t>& allowed) {
  if (allowed.empty()) return;
  if (std::find(allowed.begin(), allowed.end(), code) == allowed.end()) RaiseReplyError();
}

void TNetTCPConnection::RaiseReplyError() {
  throw ENetProtocolReplyError(last_reply_.NumericCode, last_reply_.ErrorMessage());
}

int16_t TNetTCPConnection::ReadReply(const std::vector<int16_t>& allowed) {
  last_reply_.Parse(ReadReplyLines());
  CheckReplyCode(last_reply_.NumericCode, allowed);
  return static_cast<int16_t>(last_reply_.NumericCode);
}

int16_t TNetTCPConnection::SendCommand(const std::string& line, int16_t code) {
  if (code == -1) return SendCommand(line, std::vector<int16_t>{});
  return SendCommand(line, std::vector<int16_t>{code});
}

int16_t TNetTCPConnection::SendCommand(const std::string& line,
                                       const std::vector<int16_t>& allowed) {
  WriteLine(line);
  return ReadReply(allowed);
}

// ---- TNetTCPClient ----

void TNetTCPClient::OpenConnection(int32_t timeout_ms) {
  if (IOHandler() == nullptr) {
    EnsureIOHandler();
  } else if (IOHandler()->ChannelOpen()) {
    throw ENetAlreadyConnected();
  }
  try {
    IOHandler()->PrepareChannel();
    ResetInput();
    IOHandler()->SetDeadline(Deadline());
    IOHandler()->ConnectChannel(Host, Port, timeout_ms, LocalPortMax, LocalPortMin, BoundPort,
                                BoundIP);
    DoStatus(TNetStatus::hsConnected, Host);
    if (OnConnected) OnConnected();
  } catch (...) {
    DropSocket();
    throw;
  }
}

}  // namespace tallyvox::net
