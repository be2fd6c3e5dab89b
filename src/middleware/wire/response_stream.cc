#include "middleware/wire/response_stream.h"

#include "middleware/wire/stream_controller.h"

namespace tallyvox::mw {

void TMwCustomResponseTransportStream::SetError(int64_t code, std::string text) {
  if (code < 1 || code > 0x0FFFFFFE) {
    throw EMwException("Error codes must be between 1 and $FFFFFFF.", kMwErrInvalidErrorCode);
  }
  status_code_ = static_cast<int32_t>(-code);
  status_text_ = std::move(text);
}

void TMwCustomResponseTransportStream::SetOK(std::string text) {
  status_code_ = 0;
  status_text_ = std::move(text);
}

void TMwCustomResponseTransportStream::DecodeHeader() {
  EnsureUnstreamState(3);
  if (!EnsureUnstreamState(5)) throw EMwException(kMwInvalidVersionText, kMwErrInvalidVersion);
}

void TMwCustomResponseTransportStream::CopyResponseFrom(const TMwCustomResponseTransportStream& o) {
  status_code_ = o.status_code_;
  status_text_ = o.status_text_;
  internal_code_ = o.internal_code_;
  token_ = o.token_;
  state_id_ = o.state_id_;
  request_id_ = o.request_id_;
  sync_ = o.sync_;
  data_ = o.data_;
  result_ = o.result_;
}

TMwStandardResponseTransportStream::TMwStandardResponseTransportStream(
    TMwCustomTransport* transport, std::shared_ptr<TMwTransportInfo> info)
    : TMwCustomResponseTransportStream(&TMwStandardTransportStreamController::Instance(),
                                       mwmtResponse, transport, std::move(info)) {}

TMwCustomTransportStream* TMwStandardResponseTransportStream::Clone() const {
  auto* copy = new TMwStandardResponseTransportStream(Transport(), Info());
  copy->CopyBaseFrom(*this);
  copy->CopyResponseFrom(*this);
  return copy;
}

void TMwStandardResponseTransportStream::WriteHeader() {
  TMwCustomTransportStreamFormatter& f = Formatter();
  const int32_t v = LayoutVersion();
  f.WriteInteger("STATUSCODE", StatusCode());
  f.WriteString("STATUSTEXT", StatusText());
  f.WriteInteger("INTERNALCODE", InternalCode());
  f.WriteString("TOKEN", Token());
  f.WriteInteger("STATEID", StateID());
  f.WriteVariant("DATA", Data());
  if (v >= kMwVersionWithRequestId) f.WriteInteger("REQUESTID", RequestID());
  if (v >= 203) f.WriteBoolean("SYNC", Sync());
  if (v >= 250) f.WriteInteger("PRIORITY", Priority());
  if (v >= 102) WriteAttributes();
}

void TMwStandardResponseTransportStream::ReadHeader() {
  TMwCustomTransportStreamFormatter& f = Formatter();
  const int32_t v = LayoutVersion();
  SetStatusCode(f.ReadInteger("STATUSCODE"));
  SetStatusText(f.ReadString("STATUSTEXT"));
  SetInternalCode(f.ReadInteger("INTERNALCODE"));
  SetToken(f.ReadString("TOKEN"));
  SetStateID(f.ReadInteger("STATEID"));
  SetData(f.ReadVariant("DATA"));
  SetRequestID(v >= kMwVersionWithRequestId ? f.ReadInteger("REQUESTID") : -1);
  SetSync(v >= 203 ? f.ReadBoolean("SYNC") : true);
  SetPriority(v >= 250 ? static_cast<uint8_t>(f.ReadInteger("PRIORITY")) : 128);
  if (v >= 102) {
    ReadAttributes();
  } else {
    MutableAttributes().Clear();
  }
}

void TMwStandardResponseTransportStream::WriteBody() {
  Formatter().WriteVariant("RESULT", Result());
  WriteStreamSection();
}

void TMwStandardResponseTransportStream::ReadBody() {
  EnsureAttachedStream(true);
  SetResult(Formatter().ReadVariant("RESULT"));
  ReadStreamSection();
}

TMwResponseStreamPtr MakeResponseStream(TMwCustomTransport* transport,
                                        std::shared_ptr<TMwTransportInfo> info) {
  return TMwResponseStreamPtr(new TMwStandardResponseTransportStream(transport, std::move(info)));
}

}  // namespace tallyvox::mw
