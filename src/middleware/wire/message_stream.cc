#include "middleware/wire/message_stream.h"

#include "middleware/wire/stream_controller.h"

namespace tallyvox::mw {

void TMwCustomMessageTransportStream::CopyMessageFrom(const TMwCustomMessageTransportStream& o) {
  username_ = o.username_;
  password_ = o.password_;
  token_ = o.token_;
  client_location_ = o.client_location_;
  data_ = o.data_;
  args_ = o.args_;
}

void TMwCustomMessageTransportStream::WriteMessageLayoutHeader() {
  TMwCustomTransportStreamFormatter& f = Formatter();
  f.WriteString("USERNAME", username_);
  f.WriteString("PASSWORD", password_);
  f.WriteString("TOKEN", token_);
  f.WriteString("LOCATION", client_location_);
  f.WriteVariant("DATA", data_);
  WriteAttributes();
}

void TMwCustomMessageTransportStream::ReadMessageLayoutHeader() {
  TMwCustomTransportStreamFormatter& f = Formatter();
  username_ = f.ReadString("USERNAME");
  password_ = f.ReadString("PASSWORD");
  token_ = f.ReadString("TOKEN");
  client_location_ = f.ReadString("LOCATION");
  data_ = f.ReadVariant("DATA");
  ReadAttributes();
}

template <uint8_t kType>
TMwStandardMessageStreamOf<kType>::TMwStandardMessageStreamOf(
    TMwCustomTransport* transport, std::shared_ptr<TMwTransportInfo> info)
    : TMwCustomMessageTransportStream(&TMwStandardTransportStreamController::Instance(), kType,
                                      transport, std::move(info)) {}

template <uint8_t kType>
TMwCustomTransportStream* TMwStandardMessageStreamOf<kType>::Clone() const {
  auto* copy = new TMwStandardMessageStreamOf<kType>(Transport(), Info());
  copy->CopyBaseFrom(*this);
  copy->CopyMessageFrom(*this);
  return copy;
}

template class TMwStandardMessageStreamOf<mwmtMessage>;
template class TMwStandardMessageStreamOf<mwmtSubscribe>;
template class TMwStandardMessageStreamOf<mwmtUnsubscribe>;
template class TMwStandardMessageStreamOf<mwmtCache>;
template class TMwStandardMessageStreamOf<mwmtThrottle>;
template class TMwStandardMessageStreamOf<mwmtNamedQueue>;

}  // namespace tallyvox::mw
