// The STANDARD request layout (message types 1 and 3), after the message
// header of transport_stream.h; v is the version written or read.
//
// Request header:
//   SERVICENAME, SERVICEVERSION, FUNCTION, USERNAME, PASSWORD, TOKEN,
//   LOCATION (strings); when v > 100: STATEID int32, DATA variant,
//   [v >= 200 REQUESTID int32], [v >= 203 SYNC boolean],
//   [v >= 250 PRIORITY int32], ATTRCOUNT int32, ATTR1..n strings.
//   Reading defaults: StateID -1 and Data "" (always set first), Attributes
//   cleared; RequestID -1 and Sync true when 100 < v < their version;
//   Priority 128 when 203 <= v < 250; otherwise absent fields keep values.
// Request body: ARGCOUNT int32, ARG0.. variants, then the STREAM section.
//   A negative ARGCOUNT reads as no argument.
//
// Typical use: req = MakeRequestStream(); req->SetServiceName("MW_QUERY");
// ...; req->Args().push_back(Variant("x")); req->SetMessageCount(1);
// req->EnsureStreamState(8) leaves the bytes in req->Buffer(). A server:
// req->LoadFromBytes(bytes); req->EnsureUnstreamState(7).
#ifndef TALLYVOX_MIDDLEWARE_WIRE_REQUEST_STREAM_H_
#define TALLYVOX_MIDDLEWARE_WIRE_REQUEST_STREAM_H_

#include <cstdint>
#include <memory>
#include <string>

#include "middleware/wire/transport_stream.h"
#include "middleware/wire/variant.h"

namespace tallyvox::mw {

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

using TMwRequestStreamPtr = std::unique_ptr<TMwStandardRequestTransportStream, TMwStreamFree>;
TMwRequestStreamPtr MakeRequestStream(TMwCustomTransport* transport = nullptr,
                                      std::shared_ptr<TMwTransportInfo> info = nullptr);

}  // namespace tallyvox::mw

#endif  // TALLYVOX_MIDDLEWARE_WIRE_REQUEST_STREAM_H_
