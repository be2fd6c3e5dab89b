// Transport streams: one middleware message (a request, a response, or one
// of the messaging kinds) with its decoded properties, its encoded bytes
// (Buffer) and a value formatter (value_formatter.h) over those bytes. This
// header holds the base class every kind shares: its properties, the
// encoding and decoding states, the transfer through a transport
// (transport.h) and the message header that starts every stream. The body
// layouts are in request_stream.h, response_stream.h and message_stream.h;
// stream formats and their registry in stream_controller.h.
//
// Encoding runs through EnsureStreamState(target), one step per state:
//   1 clear the buffer; WriteEnvelopeStart      5 WriteEnvelopeEnd
//   2 WriteMessageHeader                         6 compress, then encrypt
//   3 Before/WriteHeader/AfterWriteHeader        7 sign
//   4 Before/WriteBody/AfterWriteBody            8 rewind the buffer
// Decoding through EnsureUnstreamState(target):
//   1 nothing                                    5 Before/ReadHeader/After
//   2 rewind; verify                             6 Before/ReadBody/After
//   3 decrypt, then decompress                   7 ReadEnvelopeEnd
//   4 rewind; ReadEnvelopeStart; ReadMessageHeader (may report failure)
// A step that raises leaves the state at its number; a step that reports
// failure is undone (the state stays at the last completed step), and the
// Ensure call answers false.
//
// STANDARD byte layout (all integers little-endian, no names or tags): the
// message header, then MessageCount times the header and body of the kind.
// Message header, version v (Version, or Params' STREAMVERSION when set):
//   v >= 290: int32 0x0AAFFBCC, string "STANDARD", int32 v,
//             [v >= 300: boolean false], int32 MessageCount
//   v <  290: int32 0x0AAFFBBF, string "STANDARD", string decimal(v)
//             (MessageCount reads back as 1)
// A message declaring a version above 300 stops decoding at UnstreamState 3
// (EnsureUnstreamState answers false).
// Every kind ends its body with the STREAM section (see WriteStreamSection):
//   STREAMSIZE int32, and when it is > 0 the section: int32 size, the bytes.
#ifndef TALLYVOX_MIDDLEWARE_WIRE_TRANSPORT_STREAM_H_
#define TALLYVOX_MIDDLEWARE_WIRE_TRANSPORT_STREAM_H_

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "middleware/wire/memory_stream.h"
#include "middleware/wire/string_list.h"
#include "middleware/wire/subject_header.h"
#include "middleware/wire/transport.h"
#include "middleware/wire/value_formatter.h"
#include "middleware/wire/variant.h"
#include "middleware/wire/wire_errors.h"

namespace tallyvox::mw {

// Message types.
constexpr uint8_t mwmtRequest = 1;
constexpr uint8_t mwmtResponse = 2;
constexpr uint8_t mwmtServiceCall = 3;
constexpr uint8_t mwmtMessage = 4;
constexpr uint8_t mwmtSubscribe = 5;
constexpr uint8_t mwmtUnsubscribe = 6;
constexpr uint8_t mwmtCache = 7;
constexpr uint8_t mwmtThrottle = 8;
constexpr uint8_t mwmtNamedQueue = 9;

constexpr int32_t kMwStreamIdentCurrent = 0x0AAFFBCC;  // version >= 290
constexpr int32_t kMwStreamIdentLegacy = 0x0AAFFBBF;   // version < 290
constexpr int32_t kMwStandardVersion = 300;
// The first version whose request and response headers carry REQUESTID.
constexpr int32_t kMwVersionWithRequestId = 200;
// Encoding states (see the file comment).
constexpr int kMwStreamStateBody = 4;    // header and body written
constexpr int kMwStreamStateSealed = 6;  // envelope closed, compressed, encrypted
constexpr int kMwStreamStateLast = 8;
constexpr int kMwUnstreamStateLast = 7;

// "mwmtRequest" .. "mwmtNamedQueue", "mwmtUnknown (N)" otherwise (0 included).
std::string MwMessageTypeName(int type);

class TMwCustomTransportStream;
class TMwCustomTransportStreamController;

// Deleter for stream handles: frees the stream unless it is still referenced
// (then its last holder frees it through Release + FreeIfUnreferenced).
struct TMwStreamFree {
  void operator()(TMwCustomTransportStream* stream) const;
};

// Creates a stream of some concrete class ("class reference").
using TMwTransportStreamClass =
    TMwCustomTransportStream* (*)(TMwCustomTransport* transport,
                                  std::shared_ptr<TMwTransportInfo> info);

class TMwCustomTransportStream {
 public:
  virtual ~TMwCustomTransportStream();
  TMwCustomTransportStream(const TMwCustomTransportStream&) = delete;
  TMwCustomTransportStream& operator=(const TMwCustomTransportStream&) = delete;

  // Raises EMwException 0x04000005 when the class has no controller.
  const TMwCustomTransportStreamController& Controller() const;
  // Raises EMwException 0x04000004 "GetMessageType not defined" when the
  // class has no message type.
  virtual uint8_t GetMessageType() const;

  // --- properties
  const std::string& Identifier() const { return identifier_; }
  void SetIdentifier(std::string v) { identifier_ = std::move(v); }
  int32_t Version() const { return version_; }
  void SetVersion(int32_t v) { version_ = v; }
  TMwCustomTransport* Transport() const { return transport_; }
  const std::shared_ptr<TMwTransportInfo>& Info() const { return info_; }
  const TMwStrings& Params() const { return params_; }
  const TMwStrings& Attributes() const { return attributes_; }
  TMwStrings& MutableAttributes() { return attributes_; }
  TMwMemoryStream& Buffer() { return buffer_; }
  const TMwMemoryStream& Buffer() const { return buffer_; }
  TMwCustomTransportStreamFormatter& Formatter() { return *formatter_; }
  uint8_t MessageType() const { return message_type_; }
  void SetMessageType(uint8_t v) { message_type_ = v; }
  const std::string& MessageID() const { return message_id_; }
  const std::string& MimeType() const { return mime_type_; }
  const std::string& RemoteLocation() const { return remote_location_; }
  void SetRemoteLocation(std::string v) { remote_location_ = std::move(v); }
  int32_t MessageCount() const { return message_count_; }
  void SetMessageCount(int32_t v) { message_count_ = v; }
  int32_t MessageIndex() const { return message_index_; }
  uint8_t StreamState() const { return stream_state_; }
  uint8_t UnstreamState() const { return unstream_state_; }
  TMwSubjectHeader& SubjectHeader() { return subject_; }
  const TMwSubjectHeader& SubjectHeader() const { return subject_; }
  uint8_t Priority() const { return subject_.Priority; }
  void SetPriority(uint8_t v) { subject_.Priority = v; }
  // Number of NotifySend calls.
  int SendCount() const { return send_count_; }

  // --- 1. parameters
  // Assigns Params (null clears) and copies MAXSTRINGSIZE, MAXSTREAMSIZE,
  // MAXARRAYSIZE and MAXBINARYARRAYSIZE, where present, into the
  // formatter's limits. A value that is not a decimal integer raises
  // EConvertError.
  void SetParams(const TMwStrings* params);
  void SetAttributes(const TMwStrings* attributes);
  void SetMessageID(std::string v) { message_id_ = std::move(v); }
  void SetMimeType(std::string v) { mime_type_ = std::move(v); }

  // --- 3. lifetime
  // A new stream of the same class with every property, the buffer contents
  // and the attached stream copied (as an owned copy); an unstream state
  // above 3 becomes 3; the reference count starts at 0.
  virtual TMwCustomTransportStream* Clone() const = 0;
  int32_t AddRef() { return ++ref_count_; }
  int32_t Release() { return --ref_count_; }
  bool IsReferenced() const { return ref_count_ > 0; }
  int32_t RefCount() const { return ref_count_; }
  // Deletes the (heap-allocated) stream when its count is 0; answers whether
  // it did. A null stream is not freed.
  static bool FreeIfUnreferenced(TMwCustomTransportStream* stream);

  // --- 4. transfer
  // Empties the buffer and resets both states (ready to receive).
  void ResetForReceive();
  // Receive one message through the transport: ReceiveLength, the
  // MaxTransportStreamSize check (EMwException 0x04001011 "Transportstream
  // size out of bounds." when the limit is >= 1 and length < 0 or above it),
  // ReceiveStream, HopCount + 1, DoReceive. False when a primitive reports
  // no message. REQUIRES: Transport() != nullptr.
  bool Fetch();
  // Fires the transport's DoSend and counts the send.
  void NotifySend();
  // TransmitLength then TransmitStream. REQUIRES: Transport() != nullptr.
  void Deliver();
  void ClearBuffer() { buffer_.Clear(); }
  void RewindBuffer() { buffer_.Rewind(); }
  int64_t BufferSize() const { return buffer_.Size(); }
  // Replaces the buffer with `bytes` and resets both states (for decoding).
  void LoadFromBytes(const void* bytes, size_t count);
  void LoadFromBytes(std::string_view bytes) { LoadFromBytes(bytes.data(), bytes.size()); }

  // --- 5. reading control
  // MessageIndex 0, states reset, decode up to UnstreamState 4.
  bool BeginReading();
  // REQUIRES UnstreamState 7 or 4 (else EMwException 0x0400000A). When
  // MessageIndex < MessageCount: UnstreamState 4, MessageIndex + 1, true.
  bool NextMessage();
  void ResetStates() {
    stream_state_ = 0;
    unstream_state_ = 0;
  }
  void ResetStreamState() { stream_state_ = 0; }
  void ResetUnstreamState() { unstream_state_ = 0; }
  // Sets StreamState directly (a writer of several messages goes back to 2).
  void SetStreamState(uint8_t state) { stream_state_ = state; }
  bool EnsureStreamState(int target);
  bool EnsureUnstreamState(int target);

  // --- 6. attached stream (the STREAM section)
  TMwMemoryStream* AttachedStream() const { return attached_; }
  bool OwnsAttachedStream() const { return owned_attached_ != nullptr; }
  void AttachStreamCopy(const TMwMemoryStream& source);  // whole contents
  void AttachStreamByRef(TMwMemoryStream* source);       // rewound to 0
  // Makes sure an owned attached stream exists; `clear` empties it.
  TMwMemoryStream& EnsureAttachedStream(bool clear);
  void DropAttachedStream();

 protected:
  // `controller` may be null (Controller() then raises).
  TMwCustomTransportStream(const TMwCustomTransportStreamController* controller,
                           uint8_t message_type, TMwCustomTransport* transport,
                           std::shared_ptr<TMwTransportInfo> info);
  // Copies the base properties of `other` into this (for Clone).
  void CopyBaseFrom(const TMwCustomTransportStream& other);

  // The version the layouts of this message use: the written one when
  // encoding, the read one when decoding.
  int32_t LayoutVersion() const { return version_; }

  // Step hooks; empty unless a layout overrides them. ReadMessageHeader's
  // result is the result of unstream step 4.
  virtual void WriteEnvelopeStart() {}
  virtual void WriteEnvelopeEnd() {}
  virtual void ReadEnvelopeStart() {}
  virtual void ReadEnvelopeEnd() {}
  virtual bool ReadMessageHeader();
  virtual void WriteMessageHeader();
  virtual void BeforeWriteHeader() {}
  virtual void WriteHeader() {}
  virtual void AfterWriteHeader() {}
  virtual void BeforeReadHeader() {}
  virtual void ReadHeader() {}
  virtual void AfterReadHeader() {}
  virtual void BeforeWriteBody() {}
  virtual void WriteBody() {}
  virtual void AfterWriteBody() {}
  virtual void BeforeReadBody() {}
  virtual void ReadBody() {}
  virtual void AfterReadBody() {}
  virtual void BeforeVerify() {}
  virtual void AfterVerify() {}
  virtual void Verify() {}
  virtual void BeforeSign() {}
  virtual void AfterSign() {}
  virtual void Sign() {}
  virtual void BeforeCompress() {}
  virtual void AfterCompress() {}
  virtual void Compress();
  virtual void BeforeDecompress() {}
  virtual void AfterDecompress() {}
  virtual void Decompress();
  virtual void BeforeEncrypt() {}
  virtual void AfterEncrypt() {}
  virtual void Encrypt();
  virtual void BeforeDecrypt() {}
  virtual void AfterDecrypt() {}
  virtual void Decrypt();

  // Shared layout pieces.
  void WriteAttributes();
  void ReadAttributes();
  void WriteArgsAndStream(const TMwVariantList& args);
  void ReadArgsAndStream(TMwVariantList* args);
  void WriteStreamSection();
  void ReadStreamSection();
  // Before `count` list items are read: refuses a count the bytes left
  // cannot hold (4 bytes each at least) and charges count * item_size to the
  // formatter's decoded-memory budget; both raise "Stream read error".
  void ReserveDecoded(int32_t count, size_t item_size);

 private:
  bool RunStreamStep(int state);
  bool RunUnstreamStep(int state);
  // Runs a whole-buffer component (in -> new buffer, rewound).
  template <typename Fn>
  void ReplaceBuffer(Fn fn);

  const TMwCustomTransportStreamController* controller_;
  std::string identifier_;
  int32_t version_ = kMwStandardVersion;
  TMwCustomTransport* transport_;
  std::shared_ptr<TMwTransportInfo> info_;
  TMwStrings params_;
  TMwMemoryStream buffer_;
  TMwStrings attributes_;
  std::unique_ptr<TMwCustomTransportStreamFormatter> formatter_;
  uint8_t message_type_;
  std::string message_id_;
  std::string mime_type_ = "application/octet-stream";
  std::string remote_location_;
  int32_t message_count_ = 0;
  int32_t message_index_ = 0;
  uint8_t stream_state_ = 0;
  uint8_t unstream_state_ = 0;
  TMwMemoryStream* attached_ = nullptr;
  std::unique_ptr<TMwMemoryStream> owned_attached_;
  std::atomic<int32_t> ref_count_{0};
  TMwSubjectHeader subject_;
  int send_count_ = 0;
};

using TMwTransportStreamPtr = std::unique_ptr<TMwCustomTransportStream, TMwStreamFree>;

}  // namespace tallyvox::mw

#endif  // TALLYVOX_MIDDLEWARE_WIRE_TRANSPORT_STREAM_H_
