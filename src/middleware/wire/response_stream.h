// The STANDARD response layout (message type 2), after the message header of
// transport_stream.h; v is the version written or read.
//
// Response header: STATUSCODE int32, STATUSTEXT string, INTERNALCODE int32,
//   TOKEN string, STATEID int32, DATA variant, [v >= 200 REQUESTID, else -1],
//   [v >= 203 SYNC, else true], [v >= 250 PRIORITY, else 128],
//   [v >= 102 ATTRCOUNT + ATTRs, else cleared].
// Response body: RESULT variant, then the STREAM section.
// A failed call has STATUSCODE = -(error code): the server status codes
// below, or any other code 1..0x0FFFFFFE.
//
// Typical use: res = MakeResponseStream(); res->LoadFromBytes(bytes, n);
// res->DecodeHeader() (raises on a newer version); unless res->IsError(),
// res->EnsureUnstreamState(7) decodes the body (Result()).
#ifndef TALLYVOX_MIDDLEWARE_WIRE_RESPONSE_STREAM_H_
#define TALLYVOX_MIDDLEWARE_WIRE_RESPONSE_STREAM_H_

#include <cstdint>
#include <memory>
#include <string>

#include "middleware/wire/transport_stream.h"
#include "middleware/wire/variant.h"

namespace tallyvox::mw {

// Server status codes (the positive error code; the wire carries its
// negation).
constexpr int32_t kMwStatusAbort = 100001;
constexpr int32_t kMwStatusNoService = 100100;    // "Service '<name>' not available"
constexpr int32_t kMwStatusUnknownFunc = 100101;  // "Function '<name>' not available"
constexpr int32_t kMwStatusAuth = 100200;         // "Not authenticated"
constexpr int32_t kMwStatusRedirect = 110000;     // status text: where to go

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

using TMwResponseStreamPtr = std::unique_ptr<TMwStandardResponseTransportStream, TMwStreamFree>;
TMwResponseStreamPtr MakeResponseStream(TMwCustomTransport* transport = nullptr,
                                        std::shared_ptr<TMwTransportInfo> info = nullptr);

}  // namespace tallyvox::mw

#endif  // TALLYVOX_MIDDLEWARE_WIRE_RESPONSE_STREAM_H_
