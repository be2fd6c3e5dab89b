#include "middleware/wire/request_stream.h"

#include "middleware/wire/stream_controller.h"

namespace tallyvox::mw {

void TMwCustomRequestTransportStream::CopyRequestFrom(const TMwCustomRequestTransportStream& o) {
  service_name_ = o.service_name_;
  service_version_ = o.service_version_;
  function_ = o.function_;
  args_ = o.args_;
  username_ = o.username_;
  password_ = o.password_;
  token_ = o.token_;
  client_location_ = o.client_location_;
  data_ = o.data_;
  state_id_ = o.state_id_;
  request_id_ = o.request_id_;
  sync_ = o.sync_;
}

TMwStandardRequestTransportStream::TMwStandardRequestTransportStream(
    TMwCustomTransport* transport, std::shared_ptr<TMwTransportInfo> info)
    : TMwCustomRequestTransportStream(&TMwStandardTransportStreamController::Instance(),
                                      mwmtRequest, transport, std::move(info)) {}

TMwCustomTransportStream* TMwStandardRequestTransportStream::Clone() const {
  auto* copy = new TMwStandardRequestTransportStream(Transport(), Info());
  copy->CopyBaseFrom(*this);
  copy->CopyRequestFrom(*this);
  return copy;
}

void TMwStandardRequestTransportStream::WriteHeader() {
  TMwCustomTransportStreamFormatter& f = Formatter();
  const int32_t v = LayoutVersion();
  f.WriteString("SERVICENAME", ServiceName());
  f.WriteString("SERVICEVERSION", ServiceVersion());
  f.WriteString("FUNCTION", Function());
  f.WriteString("USERNAME", Username());
  f.WriteString("PASSWORD", Password());
  f.WriteString("TOKEN", Token());
  f.WriteString("LOCATION", ClientLocation());
  if (v > 100) {
    f.WriteInteger("STATEID", StateID());
    f.WriteVariant("DATA", Data());
    if (v >= kMwVersionWithRequestId) f.WriteInteger("REQUESTID", RequestID());
    if (v >= 203) f.WriteBoolean("SYNC", Sync());
    if (v >= 250) f.WriteInteger("PRIORITY", Priority());
    WriteAttributes();
  }
}

void TMwStandardRequestTransportStream::ReadHeader() {
  TMwCustomTransportStreamFormatter& f = Formatter();
  const int32_t v = LayoutVersion();
  SetServiceName(f.ReadString("SERVICENAME"));
  SetServiceVersion(f.ReadString("SERVICEVERSION"));
  SetFunction(f.ReadString("FUNCTION"));
  SetUsername(f.ReadString("USERNAME"));
  SetPassword(f.ReadString("PASSWORD"));
  SetToken(f.ReadString("TOKEN"));
  SetClientLocation(f.ReadString("LOCATION"));
  SetStateID(-1);
  SetData(Variant::String(""));
  MutableAttributes().Clear();
  if (v > 100) {
    SetStateID(f.ReadInteger("STATEID"));
    SetData(f.ReadVariant("DATA"));
    SetRequestID(v >= kMwVersionWithRequestId ? f.ReadInteger("REQUESTID") : -1);
    SetSync(v >= 203 ? f.ReadBoolean("SYNC") : true);
    if (v >= 250) {
      SetPriority(static_cast<uint8_t>(f.ReadInteger("PRIORITY")));
    } else if (v >= 203) {
      SetPriority(128);
    }
    ReadAttributes();
  }
}

void TMwStandardRequestTransportStream::WriteBody() { WriteArgsAndStream(Args()); }
void TMwStandardRequestTransportStream::ReadBody() { ReadArgsAndStream(&Args()); }

TMwRequestStreamPtr MakeRequestStream(TMwCustomTransport* transport,
                                      std::shared_ptr<TMwTransportInfo> info) {
  return TMwRequestStreamPtr(new TMwStandardRequestTransportStream(transport, std::move(info)));
}

}  // namespace tallyvox::mw
