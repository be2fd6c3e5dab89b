// TNetTCPConnection / TNetTCPClient: the blocking, buffered TCP client
// connection that the middleware transport and the SMTP client run over.
//
// Every received block is appended to an input buffer (TNetManagedBuffer)
// and every read consumes from it, so lines, exact byte counts and numeric
// replies can be mixed freely. Writes go out at once unless write buffering
// is on (StartWriteBuffering .. EndWriteBuffering).
//
// Time-outs are in milliseconds. For reads, -1 means the default
// ReadTimeout(), where 0 stands for no limit. A read that waits longer than
// its time-out raises ENetReadTimeout "Read Timeout".
//
// A deadline (SetDeadline, net/deadline.h; none until set) bounds everything
// the connection does from then on, however the peer paces its bytes: the
// connect with its host name lookup, every wait for input and every write
// take at most the lesser of their own time-out and the time left. A wait
// the deadline ends raises ENetDeadlineExpired (a ENetReadTimeout naming
// the deadline's budget), also where a time-out of the wait's own would
// only be returned.
//
// One connection is used by one thread at a time. A channel assigned with
// SetIOHandler is not owned: REQUIRES it outlives every connection using it
// (or is detached with SetIOHandler(nullptr) first).
#ifndef TALLYVOX_NET_TCP_CLIENT_H_
#define TALLYVOX_NET_TCP_CLIENT_H_

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "net/byte_stream.h"
#include "net/deadline.h"
#include "net/exceptions.h"
#include "net/io_handler.h"
#include "net/managed_buffer.h"
#include "net/rfc_reply.h"
#include "net/stack.h"

namespace tallyvox::net {

enum class TNetMaxLineAction { maException, maSplit };

class TNetTCPConnection : public TNetComponent {
 public:
  static constexpr int32_t kDefaultMaxLineLength = 16384;
  static constexpr int32_t kDefaultBufferSize = 32768;
  // Most lines one numeric reply may have (blank lines, which are skipped,
  // not counted); a longer reply raises ENetReplyTooLong, so a server cannot
  // make the client collect lines without end.
  static constexpr size_t kMaxReplyLines = 1000;

  TNetTCPConnection();
  // Drops the socket and destroys an owned channel.
  ~TNetTCPConnection() override;

  // ---- Channel and state ----
  TNetIOHandler* IOHandler() const { return io_handler_; }
  // Attaches a channel that this connection does not own (destroys a
  // previously owned one). REQUIRES: the connection is not open.
  void SetIOHandler(TNetIOHandler* handler);
  bool OwnsIOHandler() const { return io_handler_ != nullptr && io_handler_ == owned_.get(); }
  bool PeerClosed() const { return peer_closed_; }
  // The deadline of everything the connection does next; Never() for none.
  void SetDeadline(const TNetDeadline& deadline) { deadline_ = deadline; }
  const TNetDeadline& Deadline() const { return deadline_; }

  // ---- Settings ----
  int32_t ReadTimeout = 0;                        // ms; 0 = no limit
  int32_t MaxLineLength = kDefaultMaxLineLength;  // 0 = no limit
  TNetMaxLineAction MaxLineAction = TNetMaxLineAction::maException;
  int32_t RecvBufferSize = kDefaultBufferSize;  // REQUIRES: > 0
  int32_t SendBufferSize = kDefaultBufferSize;  // REQUIRES: > 0

  // Observers (none attached in this system).
  std::function<void()> OnConnected;
  std::function<void()> OnDisconnected;

  // ---- Open state and closing ----
  // With no channel: nothing. Closed when PeerClosed or the channel is not
  // open; a peer-closed open channel is dropped first. Raises
  // ENetConnClosedGracefully when closed, raise_if_closed, and the input
  // buffer is empty or ignore_buffer.
  virtual void CheckPeerClosed(bool raise_if_closed, bool ignore_buffer);
  virtual bool IsOpen();
  virtual void CloseConnection();
  virtual void DropSocket();

  // ---- Input ----
  int32_t BufferedInputSize() const { return input_.Size(); }
  TNetManagedBuffer& InputBuffer() { return input_; }
  // Returns bytes received, 0 when closed, -1 when timed out without raising.
  virtual int32_t ReceiveMore(bool raise_if_closed, int32_t timeout_ms, bool raise_on_timeout);
  // Terminator "" means LF; with LF, a CR directly before it is removed too.
  // max_length -1 = MaxLineLength. Returns "" when the peer closed while a
  // partial line is buffered.
  virtual std::string ReadLine(const std::string& terminator = "\n", int32_t timeout_ms = -1,
                               int32_t max_length = -1);
  std::string ReadNonEmptyLine(int32_t max_tries);
  void ReadBytes(void* buffer, int32_t count);
  std::string ReadText(int32_t count);
  int32_t ReadInt32(bool convert = true);
  // count -1 with until_closed false: count is read first with ReadInt32.
  // The stream grows as bytes arrive and is cut to its position at the end.
  void ReadToStream(TNetByteStream& stream, int32_t count = -1, bool until_closed = false);

  // ---- Output ----
  virtual void WriteText(const std::string& text);
  virtual void WriteLine(const std::string& text = "");
  void WriteLines(const std::vector<std::string>& lines, bool with_count = false);
  void WriteBytes(const void* buffer, int32_t count, bool write_now = false);
  void WriteInt32(int32_t value, bool convert = true);
  // count 0 = to the end of the stream.
  virtual void WriteFromStream(TNetByteStream& stream, bool from_start = true,
                               bool with_count = false, int32_t count = 0);
  // threshold <= 0: nothing leaves until EndWriteBuffering.
  void StartWriteBuffering(int32_t threshold = -1);
  void FlushWriteBuffering(int32_t count = -1);
  void ClearWriteBuffering();
  void EndWriteBuffering();
  bool WriteBuffering() const { return write_buffering_; }
  int32_t WriteBufferSize() const { return static_cast<int32_t>(write_buffer_.size()); }

  // ---- Numeric replies ----
  // Empty `allowed` accepts any code.
  virtual void CheckReplyCode(int32_t code, const std::vector<int16_t>& allowed);
  virtual int16_t ReadReply(const std::vector<int16_t>& allowed = {});
  [[noreturn]] virtual void RaiseReplyError();
  // code -1 accepts any reply code.
  virtual int16_t SendCommand(const std::string& line, int16_t code = -1);
  int16_t SendCommand(const std::string& line, const std::vector<int16_t>& allowed);
  const TNetRFCReply& LastReply() const { return last_reply_; }

 protected:
  virtual void DoOnDisconnected();
  // Empties the input buffer and clears PeerClosed.
  virtual void ResetInput();
  // Creates an owned TNetIOHandlerSocket when no channel is attached.
  void EnsureIOHandler();
  void SetPeerClosed(bool v) { peer_closed_ = v; }

 private:
  void SendNow(const uint8_t* bytes, int32_t count);
  // A read's time-out: -1 stands for ReadTimeout (whose 0 means no limit),
  // another negative value for no limit.
  TNetTimeout ReadTimeoutFor(int32_t timeout_ms) const;
  // Reads the lines of one reply (continuations collected, blanks skipped).
  std::vector<std::string> ReadReplyLines();

  // The channel in use: owned_ (made by EnsureIOHandler) or one attached
  // with SetIOHandler, which the caller owns.
  TNetIOHandler* io_handler_ = nullptr;
  std::unique_ptr<TNetIOHandler> owned_;
  // Drops the owned channel, if any, and detaches it.
  void ReleaseOwnedHandler();
  TNetDeadline deadline_ = TNetDeadline::Never();
  bool peer_closed_ = false;
  TNetManagedBuffer input_;
  std::vector<uint8_t> recv_scratch_;
  bool write_buffering_ = false;
  std::vector<uint8_t> write_buffer_;
  int32_t write_threshold_ = 0;
  TNetRFCReply last_reply_;
};

class TNetTCPClient : public TNetTCPConnection {
 public:
  TNetTCPClient() = default;

  std::string Host;
  int32_t Port = 0;
  std::string BoundIP;    // "" = any local address
  int32_t BoundPort = 0;  // 0 = system's choice
  int32_t LocalPortMin = 0;
  int32_t LocalPortMax = 0;

  // timeout_ms: -1 or 0 connect without limit (failure: ENetSocketError);
  // -2 no limit (failure: ENetConnectException); > 0 limit (failure:
  // ENetConnectException, limit: ENetConnectTimeout). Raises
  // ENetAlreadyConnected when the channel is already open. After any
  // failure the socket is closed. With a Deadline() the limit counts from
  // the call, the host name lookup included, and a connect or lookup the
  // deadline ends raises ENetDeadlineExpired.
  virtual void OpenConnection(int32_t timeout_ms = 0);
};

}  // namespace tallyvox::net

#endif  // TALLYVOX_NET_TCP_CLIENT_H_
