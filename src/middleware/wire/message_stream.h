// The STANDARD message layout, one for the message type 4 and its subkinds
// 5..9 (subscription, unsubscription, cache, throttle, named queue), after
// the message header of transport_stream.h; no version conditions.
//
// Message header: USERNAME, PASSWORD, TOKEN, LOCATION (strings), DATA
//   variant, ATTRCOUNT int32, ATTR1..n strings.
// Message body: ARGCOUNT int32, ARG0.. variants, then the STREAM section.
//
// Several messages in one stream: the writer encodes header and body of the
// first, sets StreamState back to 2 and encodes the next pair, and so on;
// the message header's count tells the reader how many pairs follow
// (BeginReading, then NextMessage and decoding to 5, 6, 7 for each).
#ifndef TALLYVOX_MIDDLEWARE_WIRE_MESSAGE_STREAM_H_
#define TALLYVOX_MIDDLEWARE_WIRE_MESSAGE_STREAM_H_

#include <cstdint>
#include <memory>
#include <string>

#include "middleware/wire/transport_stream.h"
#include "middleware/wire/variant.h"

namespace tallyvox::mw {

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

}  // namespace tallyvox::mw

#endif  // TALLYVOX_MIDDLEWARE_WIRE_MESSAGE_STREAM_H_
