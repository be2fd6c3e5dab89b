// Transport streams: one middleware message (request, response, or one of the
// messaging kinds) with its decoded properties, its encoded bytes (Buffer) and
// a value formatter (value_formatter.h) over those bytes.
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
// STANDARD byte layout (all integers little-endian, no names or tags):
// Message header, version v (Version, or Params' STREAMVERSION when set):
//   v >= 290: int32 0x0AAFFBCC, string "STANDARD", int32 v,
//             [v >= 300: boolean false], int32 MessageCount
//   v <  290: int32 0x0AAFFBBF, string "STANDARD", string decimal(v)
//             (MessageCount reads back as 1)
// Then MessageCount times header + body.
// Request header: SERVICENAME, SERVICEVERSION, FUNCTION, USERNAME, PASSWORD,
//   TOKEN, LOCATION (strings); when v > 100: STATEID int32, DATA variant,
//   [v >= 200 REQUESTID int32], [v >= 203 SYNC boolean],
//   [v >= 250 PRIORITY int32], ATTRCOUNT int32, ATTR1..n strings.
//   Reading defaults: StateID -1 and Data "" (always set first), Attributes
//   cleared; RequestID -1 and Sync true when 100 < v < their version;
//   Priority 128 when 203 <= v < 250; otherwise absent fields keep values.
// Request body: ARGCOUNT int32, ARG0.. variants, STREAMSIZE int32, and when
//   STREAMSIZE > 0 the STREAM section (int32 size, bytes).
// Response header: STATUSCODE int32, STATUSTEXT string, INTERNALCODE int32,
//   TOKEN string, STATEID int32, DATA variant, [v >= 200 REQUESTID, else -1],
//   [v >= 203 SYNC, else true], [v >= 250 PRIORITY, else 128],
//   [v >= 102 ATTRCOUNT + ATTRs, else cleared].
// Response body: RESULT variant, STREAMSIZE, STREAM as in the request.
// Message header (types 4..9, no version conditions): USERNAME, PASSWORD,
//   TOKEN, LOCATION, DATA, ATTRCOUNT, ATTRs; body as the request body.
//
// A response declaring a version above 300 stops decoding at UnstreamState 3
// (EnsureUnstreamState answers false); TMwCustomResponseTransportStream::
// DecodeHeader() turns that into kMwErrInvalidVersion.
//
// Typical use (client side):
//   auto req = MakeRequestStream();          // STANDARD, version 300
//   req->SetServiceName("MW_QUERY"); ... req->Args().push_back(Variant("x"));
//   req->SetMessageCount(1);
//   req->EnsureStreamState(8);               // req->Buffer() holds the bytes
//   auto res = MakeResponseStream();
//   res->LoadFromBytes(bytes, n);
//   res->DecodeHeader();                     // raises on a newer version
//   if (!res->IsError()) res->EnsureUnstreamState(7);   // body: Result()
// Server side: req->LoadFromBytes(..); req->EnsureUnstreamState(7); fill a
// response (SetOK/SetError, Result, ...); SetMessageCount(1);
// EnsureStreamState(8).
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
constexpr uint16_t kMwStandardSubjectVersion = 1;
constexpr int kMwStreamStateLast = 8;
constexpr int kMwUnstreamStateLast = 7;

// "mwmtRequest" .. "mwmtNamedQueue", "mwmtUnknown (N)" otherwise (0 included).
std::string MwMessageTypeName(int type);

class TMwCustomTransportStream;
class TMwCustomTransportStreamController;

// The transport's per-connection information object.
class TMwTransportInfo {
 public:
  virtual ~TMwTransportInfo() = default;
  TMwStrings Attributes;
  bool CloseConnectionAfterTransmit = false;
  bool CloseConnectionAfterReceive = false;
  // Release the info together with a stream that refers to it. Streams hold
  // the info by shared_ptr, so this only documents the intent.
  bool AutoFree = false;
};

// What a transport stream needs from the transport that created it. The
// client layer derives its transports from this class. Defaults: fixed text
// conversion, no size limit, no compression or encryption, ReceiveLength -1,
// and the raw primitives raise EMwException 0x04000004.
class TMwCustomTransport {
 public:
  virtual ~TMwCustomTransport() = default;

  virtual TMwStringConversion StringConversion() const { return mwscFixed; }
  virtual TMwFormatSettings FormatSettings() const { return {}; }
  // From Params' MAXTRANSPORTSTREAMSIZE; 0 = no limit.
  virtual int32_t MaxTransportStreamSize() const { return 0; }

  // Whole-buffer components (none exist in this system). Each converts `in`
  // (positioned at 0) into `out`.
  virtual bool HasCompression() const { return false; }
  virtual void Compress(TMwMemoryStream& in, TMwMemoryStream& out);
  virtual void Decompress(TMwMemoryStream& in, TMwMemoryStream& out);
  virtual bool HasCrypt() const { return false; }
  virtual void Encrypt(TMwMemoryStream& in, TMwMemoryStream& out);
  virtual void Decrypt(TMwMemoryStream& in, TMwMemoryStream& out);

  // Receive primitives used by Fetch.
  virtual bool ReceiveLength(TMwTransportInfo* info, TMwCustomTransportStream& stream,
                             int32_t* length);
  // Empties stream.Buffer() and reads `length` bytes into it.
  virtual bool ReceiveStream(TMwTransportInfo* info, TMwCustomTransportStream& stream,
                             int32_t length);
  // Transmit primitives used by Deliver.
  virtual void TransmitLength(TMwTransportInfo* info, TMwCustomTransportStream& stream);
  virtual void TransmitStream(TMwTransportInfo* info, TMwCustomTransportStream& stream);
  // Events raised by NotifySend and Fetch (OnSend / OnReceive).
  virtual void DoSend(TMwTransportInfo* info, TMwCustomTransportStream& stream);
  virtual void DoReceive(TMwTransportInfo* info, TMwCustomTransportStream& stream);
};

// Subject fields carried by every stream (only Priority travels in the
// STANDARD request and response layouts).
struct TMwSubjectHeader {
  uint16_t SubjectVersion = kMwStandardSubjectVersion;
  std::string Subject;
  std::string Hops;
  std::string Trace;
  std::string SubjectData;
  uint8_t Priority = 128;
  uint8_t QoS = 0;
  uint16_t HopCount = 0;
  uint16_t MaxHopCount = 0;
};

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
  // Deletes this (heap-allocated) stream when the count is 0; answers
  // whether it did.
  bool FreeIfUnreferenced();

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

// ---- Requests (message type 1)
class TMwCustomRequestTransportStream : public TMwCustomTransportStream {
 public:
  uint8_t GetMessageType() const override { return mwmtRequest; }

  const std::string& ServiceName() const { return service_name_; }
  void SetServiceName(std::string v) { service_name_ = std::move(v); }
  const std::string& ServiceVersion() const { return service_version_; }
  void SetServiceVersion(std::string v) { service_version_ = std::move(v); }
  const std::string& Function() const { return function_; }
  void SetFunction(std::string v) { function_ = std::move(v); }
  TMwVariantList& Args() { return args_; }
  const TMwVariantList& Args() const { return args_; }
  const std::string& Username() const { return username_; }
  void SetUsername(std::string v) { username_ = std::move(v); }
  const std::string& Password() const { return password_; }
  void SetPassword(std::string v) { password_ = std::move(v); }
  const std::string& Token() const { return token_; }
  void SetToken(std::string v) { token_ = std::move(v); }
  const std::string& ClientLocation() const { return client_location_; }
  void SetClientLocation(std::string v) { client_location_ = std::move(v); }
  const Variant& Data() const { return data_; }
  void SetData(Variant v) { data_ = std::move(v); }
  int32_t StateID() const { return state_id_; }
  void SetStateID(int32_t v) { state_id_ = v; }
  int32_t RequestID() const { return request_id_; }
  void SetRequestID(int32_t v) { request_id_ = v; }
  bool Sync() const { return sync_; }
  void SetSync(bool v) { sync_ = v; }

 protected:
  using TMwCustomTransportStream::TMwCustomTransportStream;
  void CopyRequestFrom(const TMwCustomRequestTransportStream& other);

 private:
  std::string service_name_, service_version_, function_;
  TMwVariantList args_;
  std::string username_, password_, token_, client_location_;
  Variant data_ = Variant::String("");
  int32_t state_id_ = 0;
  int32_t request_id_ = 0;
  bool sync_ = true;
};

class TMwStandardRequestTransportStream : public TMwCustomRequestTransportStream {
 public:
  TMwStandardRequestTransportStream(TMwCustomTransport* transport = nullptr,
                                    std::shared_ptr<TMwTransportInfo> info = nullptr);
  TMwCustomTransportStream* Clone() const override;

 protected:
  void WriteHeader() override;
  void ReadHeader() override;
  void WriteBody() override;
  void ReadBody() override;
};

// ---- Responses (message type 2)
class TMwCustomResponseTransportStream : public TMwCustomTransportStream {
 public:
  uint8_t GetMessageType() const override { return mwmtResponse; }

  int32_t StatusCode() const { return status_code_; }
  void SetStatusCode(int32_t v) { status_code_ = v; }
  const std::string& StatusText() const { return status_text_; }
  void SetStatusText(std::string v) { status_text_ = std::move(v); }
  int32_t InternalCode() const { return internal_code_; }
  void SetInternalCode(int32_t v) { internal_code_ = v; }
  const std::string& Token() const { return token_; }
  void SetToken(std::string v) { token_ = std::move(v); }
  int32_t StateID() const { return state_id_; }
  void SetStateID(int32_t v) { state_id_ = v; }
  int32_t RequestID() const { return request_id_; }
  void SetRequestID(int32_t v) { request_id_ = v; }
  bool Sync() const { return sync_; }
  void SetSync(bool v) { sync_ = v; }
  const Variant& Data() const { return data_; }
  void SetData(Variant v) { data_ = std::move(v); }
  const Variant& Result() const { return result_; }
  void SetResult(Variant v) { result_ = std::move(v); }

  // REQUIRES 1 <= code <= 0x0FFFFFFE, else EMwException 0x00E00002
  // "Error codes must be between 1 and $FFFFFFF.". StatusCode = -code.
  void SetError(int64_t code, std::string text);
  void SetOK(std::string text);
  bool IsError() const { return status_code_ < 0; }
  // -StatusCode for an error. A received STATUSCODE of -2^31 has no positive
  // 32-bit counterpart and reads back unchanged (negation in 64 bits, so a
  // hostile code cannot overflow).
  int32_t ErrorCode() const {
    return IsError() ? static_cast<int32_t>(-static_cast<int64_t>(status_code_)) : status_code_;
  }

  // Decodes up to the header (UnstreamState 5). When the message header
  // reports a newer version than 300, raises EMwException 0x04001001
  // "Invalid transport stream version. Please match client to server.".
  void DecodeHeader();

 protected:
  using TMwCustomTransportStream::TMwCustomTransportStream;
  void CopyResponseFrom(const TMwCustomResponseTransportStream& other);

 private:
  int32_t status_code_ = 0;
  std::string status_text_;
  int32_t internal_code_ = 0;
  std::string token_;
  int32_t state_id_ = 0;
  int32_t request_id_ = 0;
  bool sync_ = true;
  Variant data_;
  Variant result_ = Variant::Null();
};

class TMwStandardResponseTransportStream : public TMwCustomResponseTransportStream {
 public:
  TMwStandardResponseTransportStream(TMwCustomTransport* transport = nullptr,
                                     std::shared_ptr<TMwTransportInfo> info = nullptr);
  TMwCustomTransportStream* Clone() const override;

 protected:
  void WriteHeader() override;
  void ReadHeader() override;
  void WriteBody() override;
  void ReadBody() override;
};

// ---- Messages (message type 4) and their subkinds (5..9)
class TMwCustomMessageTransportStream : public TMwCustomTransportStream {
 public:
  uint8_t GetMessageType() const override { return mwmtMessage; }

  const std::string& Username() const { return username_; }
  void SetUsername(std::string v) { username_ = std::move(v); }
  const std::string& Password() const { return password_; }
  void SetPassword(std::string v) { password_ = std::move(v); }
  const std::string& Token() const { return token_; }
  void SetToken(std::string v) { token_ = std::move(v); }
  const std::string& ClientLocation() const { return client_location_; }
  void SetClientLocation(std::string v) { client_location_ = std::move(v); }
  const Variant& Data() const { return data_; }
  void SetData(Variant v) { data_ = std::move(v); }
  TMwVariantList& Args() { return args_; }
  const TMwVariantList& Args() const { return args_; }

 protected:
  using TMwCustomTransportStream::TMwCustomTransportStream;
  void CopyMessageFrom(const TMwCustomMessageTransportStream& other);
  void WriteMessageLayoutHeader();
  void ReadMessageLayoutHeader();
  void WriteMessageLayoutBody() { WriteArgsAndStream(args_); }
  void ReadMessageLayoutBody() { ReadArgsAndStream(&args_); }

 private:
  std::string username_, password_, token_, client_location_;
  Variant data_;
  TMwVariantList args_;
};

// The STANDARD message stream of a given type (4..9): same layout for all.
template <uint8_t kType>
class TMwStandardMessageStreamOf : public TMwCustomMessageTransportStream {
 public:
  TMwStandardMessageStreamOf(TMwCustomTransport* transport = nullptr,
                             std::shared_ptr<TMwTransportInfo> info = nullptr);
  uint8_t GetMessageType() const override { return kType; }
  TMwCustomTransportStream* Clone() const override;

 protected:
  void WriteHeader() override { WriteMessageLayoutHeader(); }
  void ReadHeader() override { ReadMessageLayoutHeader(); }
  void WriteBody() override { WriteMessageLayoutBody(); }
  void ReadBody() override { ReadMessageLayoutBody(); }
};

using TMwStandardMessageTransportStream = TMwStandardMessageStreamOf<mwmtMessage>;
using TMwStandardSubscriptionTransportStream = TMwStandardMessageStreamOf<mwmtSubscribe>;
using TMwStandardUnsubscriptionTransportStream = TMwStandardMessageStreamOf<mwmtUnsubscribe>;
using TMwStandardCacheTransportStream = TMwStandardMessageStreamOf<mwmtCache>;
using TMwStandardThrottleTransportStream = TMwStandardMessageStreamOf<mwmtThrottle>;
using TMwStandardNamedQueueTransportStream = TMwStandardMessageStreamOf<mwmtNamedQueue>;

// ---- Controllers: class-level description of a stream format.
class TMwCustomTransportStreamController {
 public:
  virtual ~TMwCustomTransportStreamController() = default;
  // The abstract controller raises EMwException 0x04000004 for each.
  virtual std::string GetIdentifier() const;
  virtual int32_t GetVersion() const;
  virtual uint16_t GetSubjectVersion() const;
  // Null when the type has no class.
  virtual TMwTransportStreamClass GetStreamClass(int type) const;
  virtual std::unique_ptr<TMwCustomTransportStreamFormatter> CreateFormatter(
      const TMwStrings* params, TMwMemoryStream* buffer, TMwCustomTransportStream* stream) const;
  virtual bool HasMatchFunction() const;
  virtual bool SupportsRequestResponse() const { return false; }
  virtual bool SupportsMessaging() const { return false; }

  // As GetStreamClass, but no class raises EMwException 0x04000003
  // IDENT + " do not support messagetype '" + type name + "'".
  TMwTransportStreamClass GetStreamClassStrict(int type) const;
  // Writes / reads the binary subject header on `buffer` at its position:
  // 18 bytes (total, SubjectVersion, Priority, QoS, HopCount, MaxHopCount,
  // four string lengths; uint16 little-endian) then the four strings.
  // Write raises kMwErrSubjectTooLong above 4096 bytes of strings. Read
  // answers false (strings empty) for a total of 0 or above 4096, or when
  // the four lengths do not add up to the total.
  void WriteSubjectHeader(TMwMemoryStream& buffer, const TMwSubjectHeader& header) const;
  bool ReadSubjectHeader(TMwMemoryStream& buffer, TMwSubjectHeader* header) const;
  // First 4 characters upper-cased against "REQ." .. "QUE."; 0 if unknown.
  static int SubjectToMessageType(std::string_view subject);
  TMwTransportStreamClass StreamClassForSubject(std::string_view subject) const;
  // Prefix + rest; type 0 gives rest; type above 9 raises 0x04000003
  // "Unknown messagetype.".
  static std::string MessageTypeToSubject(int type, std::string_view rest);
  // Request streams use type 1, responses 2; others raise 0x04001003.
  static std::string StreamToSubject(const TMwCustomTransportStream& stream, std::string_view rest);
  static std::string MessageTypeToCode(int type);  // "REQ".."QUE", "" for 0
  static int CodeToMessageType(std::string_view code);

  // Creates a stream of `type` bound to the transport (strict lookup).
  TMwTransportStreamPtr CreateStream(int type, TMwCustomTransport* transport = nullptr,
                                     std::shared_ptr<TMwTransportInfo> info = nullptr) const;
};

class TMwStandardTransportStreamController : public TMwCustomTransportStreamController {
 public:
  static const TMwStandardTransportStreamController& Instance();
  std::string GetIdentifier() const override { return "STANDARD"; }
  int32_t GetVersion() const override { return kMwStandardVersion; }
  uint16_t GetSubjectVersion() const override { return kMwStandardSubjectVersion; }
  TMwTransportStreamClass GetStreamClass(int type) const override;
  std::unique_ptr<TMwCustomTransportStreamFormatter> CreateFormatter(
      const TMwStrings* params, TMwMemoryStream* buffer,
      TMwCustomTransportStream* stream) const override;
  bool HasMatchFunction() const override { return false; }
  bool SupportsRequestResponse() const override { return true; }
  bool SupportsMessaging() const override { return true; }
};

// ---- Registry of stream formats (names upper-cased, first match wins).
class TMwRegisteredTransportStreamList {
 public:
  // The process-wide registry, with STANDARD registered on first use.
  static TMwRegisteredTransportStreamList& Instance();
  void Register(const TMwCustomTransportStreamController* controller);
  // Case-insensitive; null when not registered.
  const TMwCustomTransportStreamController* Find(std::string_view name) const;
  // The checks of assigning a transport's StreamFormat: raises
  // std::runtime_error "Transport stream format NAME not registered for the
  // middleware." or "... is not compatible with the transport type.".
  const TMwCustomTransportStreamController& Select(std::string_view name,
                                                   bool request_response) const;

 private:
  mutable std::mutex mu_;
  std::vector<std::string> names_;
  std::vector<const TMwCustomTransportStreamController*> controllers_;
};

// ---- Convenience
using TMwRequestStreamPtr = std::unique_ptr<TMwStandardRequestTransportStream, TMwStreamFree>;
using TMwResponseStreamPtr = std::unique_ptr<TMwStandardResponseTransportStream, TMwStreamFree>;
TMwRequestStreamPtr MakeRequestStream(TMwCustomTransport* transport = nullptr,
                                      std::shared_ptr<TMwTransportInfo> info = nullptr);
TMwResponseStreamPtr MakeResponseStream(TMwCustomTransport* transport = nullptr,
                                        std::shared_ptr<TMwTransportInfo> info = nullptr);

// The request subject: "REQ." + domain + "." + identity + "." + service +
// "." + version + "." + function + "." + request id + "." + "SYNC"/"ASYNC",
// with every '*', '.' or '>' in service, version and function replaced by
// '_'.
std::string MwComposeRequestSubject(std::string_view domain, std::string_view identity,
                                    std::string_view service, std::string_view version,
                                    std::string_view function, int32_t request_id, bool sync);

}  // namespace tallyvox::mw

#endif  // TALLYVOX_MIDDLEWARE_WIRE_TRANSPORT_STREAM_H_
