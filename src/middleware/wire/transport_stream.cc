#include "middleware/wire/transport_stream.h"
#include "base/text.h"

#include <charconv>

#include "middleware/wire/guid.h"

namespace tallyvox::mw {
namespace {

constexpr const char* kPrefixes[] = {"",     "REQ.", "RES.", "SRV.", "MSG.",
                                     "SUB.", "USB.", "CAC.", "THR.", "QUE."};

int32_t ParseDecimal(const std::string& text) {
  int32_t v = 0;
  const char* first = text.data();
  const char* last = text.data() + text.size();
  if (first != last && *first == '+') ++first;
  auto [ptr, ec] = std::from_chars(first, last, v);
  if (first == last || ec != std::errc() || ptr != last) {
    throw EConvertError("'" + text + "' is not a valid integer value");
  }
  return v;
}

template <typename T>
TMwCustomTransportStream* CreateOf(TMwCustomTransport* transport,
                                   std::shared_ptr<TMwTransportInfo> info) {
  return new T(transport, std::move(info));
}

}  // namespace

std::string MwMessageTypeName(int type) {
  static const char* kNames[] = {
      nullptr,         "mwmtRequest",     "mwmtResponse", "mwmtServiceCall", "mwmtMessage",
      "mwmtSubscribe", "mwmtUnsubscribe", "mwmtCache",    "mwmtThrottle",    "mwmtNamedQueue"};
  if (type >= 1 && type <= 9) return kNames[type];
  return "mwmtUnknown (" + std::to_string(type) + ")";
}

// ---------------------------------------------------------------- transport

void TMwCustomTransport::Compress(TMwMemoryStream& in, TMwMemoryStream& out) { out = in; }
void TMwCustomTransport::Decompress(TMwMemoryStream& in, TMwMemoryStream& out) { out = in; }
void TMwCustomTransport::Encrypt(TMwMemoryStream& in, TMwMemoryStream& out) { out = in; }
void TMwCustomTransport::Decrypt(TMwMemoryStream& in, TMwMemoryStream& out) { out = in; }

bool TMwCustomTransport::ReceiveLength(TMwTransportInfo*, TMwCustomTransportStream&,
                                       int32_t* length) {
  *length = -1;
  return true;
}

bool TMwCustomTransport::ReceiveStream(TMwTransportInfo*, TMwCustomTransportStream&, int32_t) {
  throw EMwException("ReceiveStream not implemented in transport.", kMwErrNotDefined);
}

void TMwCustomTransport::TransmitLength(TMwTransportInfo*, TMwCustomTransportStream&) {}

void TMwCustomTransport::TransmitStream(TMwTransportInfo*, TMwCustomTransportStream&) {
  throw EMwException("TransmitStream not implemented in transport.", kMwErrNotDefined);
}

void TMwCustomTransport::DoSend(TMwTransportInfo*, TMwCustomTransportStream&) {}
void TMwCustomTransport::DoReceive(TMwTransportInfo*, TMwCustomTransportStream&) {}

// ---------------------------------------------------------------- stream base

void TMwStreamFree::operator()(TMwCustomTransportStream* stream) const {
  if (stream != nullptr) stream->FreeIfUnreferenced();
}

TMwCustomTransportStream::TMwCustomTransportStream(
    const TMwCustomTransportStreamController* controller, uint8_t message_type,
    TMwCustomTransport* transport, std::shared_ptr<TMwTransportInfo> info)
    : controller_(controller),
      transport_(transport),
      info_(std::move(info)),
      message_type_(message_type) {
  if (controller_ == nullptr) {
    throw EMwException("Transport stream controller not defined", kMwErrNoController);
  }
  identifier_ = controller_->GetIdentifier();
  version_ = controller_->GetVersion();
  subject_.SubjectVersion = controller_->GetSubjectVersion();
  // Created while Params is still empty (so RawFloats is off).
  formatter_ = controller_->CreateFormatter(&params_, &buffer_, this);
  message_id_ = GuidToMessageId(NewGuid());
}

TMwCustomTransportStream::~TMwCustomTransportStream() = default;

const TMwCustomTransportStreamController& TMwCustomTransportStream::Controller() const {
  if (controller_ == nullptr) {
    throw EMwException("Transport stream controller not defined", kMwErrNoController);
  }
  return *controller_;
}

uint8_t TMwCustomTransportStream::GetMessageType() const {
  throw EMwException("GetMessageType not defined", kMwErrNotDefined);
}

void TMwCustomTransportStream::SetParams(const TMwStrings* params) {
  if (params == nullptr) {
    params_.Clear();
  } else {
    params_ = *params;
  }
  struct Limit {
    const char* name;
    void (TMwCustomMemoryStreamFormatter::*set)(int32_t);
  };
  static const Limit kLimits[] = {
      {"MAXSTRINGSIZE", &TMwCustomMemoryStreamFormatter::SetMaxStringSize},
      {"MAXSTREAMSIZE", &TMwCustomMemoryStreamFormatter::SetMaxStreamSize},
      {"MAXARRAYSIZE", &TMwCustomMemoryStreamFormatter::SetMaxArraySize},
      {"MAXBINARYARRAYSIZE", &TMwCustomMemoryStreamFormatter::SetMaxBinaryArraySize},
  };
  for (const Limit& limit : kLimits) {
    const std::optional<std::string> value = params_.Find(limit.name);
    if (value && !value->empty()) ((*formatter_).*(limit.set))(ParseDecimal(*value));
  }
}

void TMwCustomTransportStream::SetAttributes(const TMwStrings* attributes) {
  if (attributes == nullptr) {
    attributes_.Clear();
  } else {
    attributes_ = *attributes;
  }
}

bool TMwCustomTransportStream::FreeIfUnreferenced() {
  if (ref_count_.load() != 0) return false;
  delete this;
  return true;
}

void TMwCustomTransportStream::CopyBaseFrom(const TMwCustomTransportStream& o) {
  identifier_ = o.identifier_;
  version_ = o.version_;
  params_ = o.params_;
  formatter_->SetMaxStringSize(o.formatter_->MaxStringSize());
  formatter_->SetMaxStreamSize(o.formatter_->MaxStreamSize());
  formatter_->SetMaxArraySize(o.formatter_->MaxArraySize());
  formatter_->SetMaxBinaryArraySize(o.formatter_->MaxBinaryArraySize());
  buffer_ = o.buffer_;
  attributes_ = o.attributes_;
  message_type_ = o.message_type_;
  message_id_ = o.message_id_;
  mime_type_ = o.mime_type_;
  remote_location_ = o.remote_location_;
  message_count_ = o.message_count_;
  message_index_ = o.message_index_;
  stream_state_ = o.stream_state_;
  unstream_state_ = o.unstream_state_ > 3 ? 3 : o.unstream_state_;
  if (o.attached_ != nullptr) {
    AttachStreamCopy(*o.attached_);
    attached_->Seek(o.attached_->Position());
  }
  subject_ = o.subject_;
}

// ---------------------------------------------------------------- transfer

void TMwCustomTransportStream::ResetForReceive() {
  buffer_.Clear();
  ResetStates();
}

bool TMwCustomTransportStream::Fetch() {
  if (transport_ == nullptr) {
    throw EMwException("Transport stream has no transport.", kMwErrNotDefined);
  }
  int32_t length = 0;
  if (!transport_->ReceiveLength(info_.get(), *this, &length)) return false;
  const int32_t limit = transport_->MaxTransportStreamSize();
  if (limit >= 1 && (length < 0 || length > limit)) {
    throw EMwException("Transportstream size out of bounds.", kMwErrTransportStreamSize);
  }
  if (!transport_->ReceiveStream(info_.get(), *this, length)) return false;
  ++subject_.HopCount;
  transport_->DoReceive(info_.get(), *this);
  return true;
}

void TMwCustomTransportStream::NotifySend() {
  if (transport_ != nullptr) transport_->DoSend(info_.get(), *this);
  ++send_count_;
}

void TMwCustomTransportStream::Deliver() {
  if (transport_ == nullptr) {
    throw EMwException("Transport stream has no transport.", kMwErrNotDefined);
  }
  transport_->TransmitLength(info_.get(), *this);
  transport_->TransmitStream(info_.get(), *this);
}

void TMwCustomTransportStream::LoadFromBytes(const void* bytes, size_t count) {
  buffer_.Assign(bytes, count);
  ResetStates();
}

// ---------------------------------------------------------------- states

bool TMwCustomTransportStream::BeginReading() {
  message_index_ = 0;
  ResetStates();
  return EnsureUnstreamState(4);
}

bool TMwCustomTransportStream::NextMessage() {
  if (unstream_state_ != 7 && unstream_state_ != 4) {
    throw EMwException(
        "Not possible to move from unstreamstate " + std::to_string(unstream_state_) + " to " + "4",
        kMwErrUnstreamState);
  }
  if (message_index_ < message_count_) {
    unstream_state_ = 4;
    ++message_index_;
    return true;
  }
  return false;
}

bool TMwCustomTransportStream::EnsureStreamState(int target) {
  if (target > kMwStreamStateLast) target = kMwStreamStateLast;
  while (stream_state_ < target) {
    ++stream_state_;
    if (!RunStreamStep(stream_state_)) {
      --stream_state_;
      return false;
    }
  }
  return true;
}

bool TMwCustomTransportStream::EnsureUnstreamState(int target) {
  if (target > kMwUnstreamStateLast) target = kMwUnstreamStateLast;
  while (unstream_state_ < target) {
    ++unstream_state_;
    if (!RunUnstreamStep(unstream_state_)) {
      --unstream_state_;
      return false;
    }
  }
  return true;
}

bool TMwCustomTransportStream::RunStreamStep(int state) {
  switch (state) {
    case 1:
      buffer_.Clear();
      WriteEnvelopeStart();
      break;
    case 2:
      WriteMessageHeader();
      break;
    case 3:
      BeforeWriteHeader();
      WriteHeader();
      AfterWriteHeader();
      break;
    case 4:
      BeforeWriteBody();
      WriteBody();
      AfterWriteBody();
      break;
    case 5:
      WriteEnvelopeEnd();
      break;
    case 6:
      BeforeCompress();
      Compress();
      AfterCompress();
      BeforeEncrypt();
      Encrypt();
      AfterEncrypt();
      break;
    case 7:
      BeforeSign();
      Sign();
      AfterSign();
      break;
    case 8:
      buffer_.Rewind();
      break;
  }
  return true;
}

bool TMwCustomTransportStream::RunUnstreamStep(int state) {
  switch (state) {
    case 2:
      buffer_.Rewind();
      BeforeVerify();
      Verify();
      AfterVerify();
      break;
    case 3:
      BeforeDecrypt();
      Decrypt();
      AfterDecrypt();
      BeforeDecompress();
      Decompress();
      AfterDecompress();
      break;
    case 4:
      buffer_.Rewind();
      ReadEnvelopeStart();
      return ReadMessageHeader();
    case 5:
      BeforeReadHeader();
      ReadHeader();
      AfterReadHeader();
      break;
    case 6:
      BeforeReadBody();
      ReadBody();
      AfterReadBody();
      break;
    case 7:
      ReadEnvelopeEnd();
      break;
  }
  return true;
}

template <typename Fn>
void TMwCustomTransportStream::ReplaceBuffer(Fn fn) {
  buffer_.Rewind();
  TMwMemoryStream out;
  fn(buffer_, out);
  buffer_ = std::move(out);
  buffer_.Rewind();
}

void TMwCustomTransportStream::Compress() {
  if (transport_ != nullptr && transport_->HasCompression()) {
    ReplaceBuffer(
        [this](TMwMemoryStream& in, TMwMemoryStream& out) { transport_->Compress(in, out); });
  }
}

void TMwCustomTransportStream::Decompress() {
  if (transport_ != nullptr && transport_->HasCompression()) {
    ReplaceBuffer(
        [this](TMwMemoryStream& in, TMwMemoryStream& out) { transport_->Decompress(in, out); });
  }
}

void TMwCustomTransportStream::Encrypt() {
  if (transport_ != nullptr && transport_->HasCrypt()) {
    ReplaceBuffer(
        [this](TMwMemoryStream& in, TMwMemoryStream& out) { transport_->Encrypt(in, out); });
  }
}

void TMwCustomTransportStream::Decrypt() {
  if (transport_ != nullptr && transport_->HasCrypt()) {
    ReplaceBuffer(
        [this](TMwMemoryStream& in, TMwMemoryStream& out) { transport_->Decrypt(in, out); });
  }
}

// ---------------------------------------------------------------- layouts

void TMwCustomTransportStream::WriteMessageHeader() {
  const std::optional<std::string> stream_version = params_.Find("STREAMVERSION");
  if (stream_version && !stream_version->empty()) version_ = ParseDecimal(*stream_version);
  TMwCustomTransportStreamFormatter& f = *formatter_;
  if (version_ >= 290) {
    f.WriteIdent("MWTRANSPORTSTREAMIDENT", kMwStreamIdentCurrent);
    f.WriteString("MWSTREAMFORMATIDENT", identifier_);
    f.WriteVersion("MWSTREAMFORMATVERSION", version_);
    if (version_ >= 300) f.WriteBoolean("MWSTRINGSAREUNICODE", false);
    f.WriteCount("MWMESSAGECOUNT", message_count_);
  } else {
    f.WriteIdent("MWTRANSPORTSTREAMIDENT", kMwStreamIdentLegacy);
    f.WriteString("MWSTREAMFORMATIDENT", identifier_);
    f.WriteString("MWSTREAMFORMATVERSION", std::to_string(version_));
  }
}

bool TMwCustomTransportStream::ReadMessageHeader() {
  TMwCustomTransportStreamFormatter& f = *formatter_;
  const int32_t ident = f.ReadIdent("MWTRANSPORTSTREAMIDENT");
  if (ident == kMwStreamIdentCurrent) {
    identifier_ = f.ReadString("MWSTREAMFORMATIDENT");
    version_ = f.ReadVersion("MWSTREAMFORMATVERSION");
    if (version_ >= 300 && f.ReadBoolean("MWSTRINGSAREUNICODE")) {
      throw EMwTransportException(
          "Transport stream contains unicode strings that this application do not support.",
          kMwErrUnicodeStrings);
    }
    message_count_ = f.ReadCount("MWMESSAGECOUNT");
  } else if (ident == kMwStreamIdentLegacy) {
    identifier_ = f.ReadString("MWSTREAMFORMATIDENT");
    version_ = ParseDecimal(f.ReadString("MWSTREAMFORMATVERSION"));
    message_count_ = 1;
  } else {
    throw EMwTransportException("Invalid/unknown transport stream format.", kMwErrUnknownFormat);
  }
  return version_ <= kMwStandardVersion;
}

void TMwCustomTransportStream::WriteAttributes() {
  TMwCustomTransportStreamFormatter& f = *formatter_;
  f.WriteCount("ATTRCOUNT", static_cast<int32_t>(attributes_.Count()));
  for (size_t i = 0; i < attributes_.Count(); ++i) f.WriteString("ATTR", attributes_[i]);
}

void TMwCustomTransportStream::ReadAttributes() {
  TMwCustomTransportStreamFormatter& f = *formatter_;
  attributes_.Clear();
  const int32_t count = f.ReadCount("ATTRCOUNT");
  for (int32_t i = 0; i < count; ++i) attributes_.Add(f.ReadString("ATTR"));
}

void TMwCustomTransportStream::WriteStreamSection() {
  TMwCustomTransportStreamFormatter& f = *formatter_;
  const int64_t size = attached_ != nullptr ? attached_->Size() : 0;
  f.WriteCount("STREAMSIZE", static_cast<int32_t>(size));
  if (size > 0) {
    attached_->Rewind();
    f.WriteStream("STREAM", *attached_, static_cast<int32_t>(size));
  }
}

void TMwCustomTransportStream::ReadStreamSection() {
  TMwCustomTransportStreamFormatter& f = *formatter_;
  TMwMemoryStream& target = EnsureAttachedStream(false);
  const int32_t size = f.ReadCount("STREAMSIZE");
  if (size > 0) {
    f.ReadStream("STREAM", target);
    target.Rewind();
  }
}

void TMwCustomTransportStream::WriteArgsAndStream(const TMwVariantList& args) {
  TMwCustomTransportStreamFormatter& f = *formatter_;
  f.WriteCount("ARGCOUNT", static_cast<int32_t>(args.size()));
  for (const Variant& arg : args) f.WriteVariant("ARG", arg);
  WriteStreamSection();
}

void TMwCustomTransportStream::ReadArgsAndStream(TMwVariantList* args) {
  TMwCustomTransportStreamFormatter& f = *formatter_;
  args->clear();
  EnsureAttachedStream(true);
  const int32_t count = f.ReadCount("ARGCOUNT");
  for (int32_t i = 0; i < count; ++i) args->push_back(f.ReadVariant("ARG"));
  ReadStreamSection();
}

// ---------------------------------------------------------------- attached

void TMwCustomTransportStream::AttachStreamCopy(const TMwMemoryStream& source) {
  owned_attached_ = std::make_unique<TMwMemoryStream>(source);
  owned_attached_->Rewind();
  attached_ = owned_attached_.get();
}

void TMwCustomTransportStream::AttachStreamByRef(TMwMemoryStream* source) {
  owned_attached_.reset();
  attached_ = source;
  if (attached_ != nullptr) attached_->Rewind();
}

TMwMemoryStream& TMwCustomTransportStream::EnsureAttachedStream(bool clear) {
  if (!owned_attached_) {
    owned_attached_ = std::make_unique<TMwMemoryStream>();
  } else if (clear) {
    owned_attached_->Clear();
  }
  attached_ = owned_attached_.get();
  return *attached_;
}

void TMwCustomTransportStream::DropAttachedStream() {
  owned_attached_.reset();
  attached_ = nullptr;
}

// ---------------------------------------------------------------- requests

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
    if (v >= 200) f.WriteInteger("REQUESTID", RequestID());
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
    SetRequestID(v >= 200 ? f.ReadInteger("REQUESTID") : -1);
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

// ---------------------------------------------------------------- responses

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
  if (v >= 200) f.WriteInteger("REQUESTID", RequestID());
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
  SetRequestID(v >= 200 ? f.ReadInteger("REQUESTID") : -1);
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

// ---------------------------------------------------------------- messages

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

// ---------------------------------------------------------------- controllers

std::string TMwCustomTransportStreamController::GetIdentifier() const {
  throw EMwException("Transport stream identifier not defined.", kMwErrNotDefined);
}
int32_t TMwCustomTransportStreamController::GetVersion() const {
  throw EMwException("Transport stream version not defined.", kMwErrNotDefined);
}
uint16_t TMwCustomTransportStreamController::GetSubjectVersion() const {
  throw EMwException("Transport stream subject version not defined.", kMwErrNotDefined);
}
TMwTransportStreamClass TMwCustomTransportStreamController::GetStreamClass(int) const {
  throw EMwException("Transport stream do not support GetStreamClass.", kMwErrNotDefined);
}
std::unique_ptr<TMwCustomTransportStreamFormatter>
TMwCustomTransportStreamController::CreateFormatter(const TMwStrings*, TMwMemoryStream*,
                                                    TMwCustomTransportStream*) const {
  throw EMwException("Transport stream GetStreamFormatterClass not defined.", kMwErrNotDefined);
}
bool TMwCustomTransportStreamController::HasMatchFunction() const {
  throw EMwException("Transport stream match function not defined.", kMwErrNotDefined);
}

TMwTransportStreamClass TMwCustomTransportStreamController::GetStreamClassStrict(int type) const {
  TMwTransportStreamClass cls = GetStreamClass(type);
  if (cls == nullptr) {
    throw EMwException(
        GetIdentifier() + " do not support messagetype '" + MwMessageTypeName(type) + "'",
        kMwErrUnsupportedMessageType);
  }
  return cls;
}

TMwTransportStreamPtr TMwCustomTransportStreamController::CreateStream(
    int type, TMwCustomTransport* transport, std::shared_ptr<TMwTransportInfo> info) const {
  return TMwTransportStreamPtr(GetStreamClassStrict(type)(transport, std::move(info)));
}

namespace {

void PutU16(uint8_t* p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
}
uint16_t GetU16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }

}  // namespace

void TMwCustomTransportStreamController::WriteSubjectHeader(TMwMemoryStream& buffer,
                                                            const TMwSubjectHeader& h) const {
  const size_t total = h.Subject.size() + h.Hops.size() + h.Trace.size() + h.SubjectData.size();
  if (total > 4096) throw EMwException("Subject header too long.", kMwErrSubjectTooLong);
  uint8_t fixed[18];
  PutU16(fixed + 0, static_cast<uint16_t>(total));
  PutU16(fixed + 2, h.SubjectVersion);
  fixed[4] = h.Priority;
  fixed[5] = h.QoS;
  PutU16(fixed + 6, h.HopCount);
  PutU16(fixed + 8, h.MaxHopCount);
  PutU16(fixed + 10, static_cast<uint16_t>(h.Subject.size()));
  PutU16(fixed + 12, static_cast<uint16_t>(h.Hops.size()));
  PutU16(fixed + 14, static_cast<uint16_t>(h.Trace.size()));
  PutU16(fixed + 16, static_cast<uint16_t>(h.SubjectData.size()));
  buffer.Write(fixed, sizeof(fixed));
  buffer.Write(h.Subject);
  buffer.Write(h.Hops);
  buffer.Write(h.Trace);
  buffer.Write(h.SubjectData);
}

bool TMwCustomTransportStreamController::ReadSubjectHeader(TMwMemoryStream& buffer,
                                                           TMwSubjectHeader* h) const {
  const uint8_t* fixed = buffer.Consume(18);
  const uint16_t total = GetU16(fixed);
  h->SubjectVersion = GetU16(fixed + 2);
  h->Priority = fixed[4];
  h->QoS = fixed[5];
  h->HopCount = GetU16(fixed + 6);
  h->MaxHopCount = GetU16(fixed + 8);
  const size_t lens[4] = {GetU16(fixed + 10), GetU16(fixed + 12), GetU16(fixed + 14),
                          GetU16(fixed + 16)};
  h->Subject.clear();
  h->Hops.clear();
  h->Trace.clear();
  h->SubjectData.clear();
  if (total == 0 || total > 4096) return false;
  // The four lengths must describe exactly the bytes announced.
  if (lens[0] + lens[1] + lens[2] + lens[3] != total) return false;
  const auto* p = reinterpret_cast<const char*>(buffer.Consume(total));
  h->Subject.assign(p, lens[0]);
  p += lens[0];
  h->Hops.assign(p, lens[1]);
  p += lens[1];
  h->Trace.assign(p, lens[2]);
  p += lens[2];
  h->SubjectData.assign(p, lens[3]);
  return true;
}

int TMwCustomTransportStreamController::SubjectToMessageType(std::string_view subject) {
  const std::string prefix = UpperCase(subject.substr(0, 4));
  for (int type = 1; type <= 9; ++type) {
    if (prefix == kPrefixes[type]) return type;
  }
  return 0;
}

TMwTransportStreamClass TMwCustomTransportStreamController::StreamClassForSubject(
    std::string_view subject) const {
  return GetStreamClass(SubjectToMessageType(subject));
}

std::string TMwCustomTransportStreamController::MessageTypeToSubject(int type,
                                                                     std::string_view rest) {
  if (type == 0) return std::string(rest);
  if (type < 0 || type > 9) {
    throw EMwException("Unknown messagetype.", kMwErrUnsupportedMessageType);
  }
  return kPrefixes[type] + std::string(rest);
}

std::string TMwCustomTransportStreamController::StreamToSubject(
    const TMwCustomTransportStream& stream, std::string_view rest) {
  if (dynamic_cast<const TMwCustomRequestTransportStream*>(&stream) != nullptr) {
    return MessageTypeToSubject(mwmtRequest, rest);
  }
  if (dynamic_cast<const TMwCustomResponseTransportStream*>(&stream) != nullptr) {
    return MessageTypeToSubject(mwmtResponse, rest);
  }
  throw EMwException("Unknown stream class. Cannot generate subject.", kMwErrUnknownStreamClass);
}

std::string TMwCustomTransportStreamController::MessageTypeToCode(int type) {
  if (type < 1 || type > 9) return std::string();
  const std::string prefix = kPrefixes[type];
  return prefix.substr(0, 3);
}

int TMwCustomTransportStreamController::CodeToMessageType(std::string_view code) {
  for (int type = 1; type <= 9; ++type) {
    if (code == std::string_view(kPrefixes[type], 3)) return type;
  }
  return 0;
}

const TMwStandardTransportStreamController& TMwStandardTransportStreamController::Instance() {
  static const TMwStandardTransportStreamController controller;
  return controller;
}

TMwTransportStreamClass TMwStandardTransportStreamController::GetStreamClass(int type) const {
  switch (type) {
    case mwmtRequest:
    case mwmtServiceCall:
      return &CreateOf<TMwStandardRequestTransportStream>;
    case mwmtResponse:
      return &CreateOf<TMwStandardResponseTransportStream>;
    case 0:
    case mwmtMessage:
      return &CreateOf<TMwStandardMessageTransportStream>;
    case mwmtSubscribe:
      return &CreateOf<TMwStandardSubscriptionTransportStream>;
    case mwmtUnsubscribe:
      return &CreateOf<TMwStandardUnsubscriptionTransportStream>;
    case mwmtCache:
      return &CreateOf<TMwStandardCacheTransportStream>;
    case mwmtThrottle:
      return &CreateOf<TMwStandardThrottleTransportStream>;
    case mwmtNamedQueue:
      return &CreateOf<TMwStandardNamedQueueTransportStream>;
    default:
      return nullptr;
  }
}

std::unique_ptr<TMwCustomTransportStreamFormatter>
TMwStandardTransportStreamController::CreateFormatter(const TMwStrings* params,
                                                      TMwMemoryStream* buffer,
                                                      TMwCustomTransportStream* stream) const {
  return std::make_unique<TMwStandardTransportStreamFormatter>(params, buffer, stream);
}

// ---------------------------------------------------------------- registry

TMwRegisteredTransportStreamList& TMwRegisteredTransportStreamList::Instance() {
  static TMwRegisteredTransportStreamList* list = [] {
    auto* l = new TMwRegisteredTransportStreamList();
    l->Register(&TMwStandardTransportStreamController::Instance());
    return l;
  }();
  return *list;
}

void TMwRegisteredTransportStreamList::Register(
    const TMwCustomTransportStreamController* controller) {
  std::lock_guard<std::mutex> lock(mu_);
  names_.push_back(UpperCase(controller->GetIdentifier()));
  controllers_.push_back(controller);
}

const TMwCustomTransportStreamController* TMwRegisteredTransportStreamList::Find(
    std::string_view name) const {
  const std::string upper = UpperCase(name);
  std::lock_guard<std::mutex> lock(mu_);
  for (size_t i = 0; i < names_.size(); ++i) {
    if (names_[i] == upper) return controllers_[i];
  }
  return nullptr;
}

const TMwCustomTransportStreamController& TMwRegisteredTransportStreamList::Select(
    std::string_view name, bool request_response) const {
  const TMwCustomTransportStreamController* c = Find(name);
  if (c == nullptr) {
    throw std::runtime_error("Transport stream format " + std::string(name) +
                             " not registered for the middleware.");
  }
  if (request_response ? !c->SupportsRequestResponse() : !c->SupportsMessaging()) {
    throw std::runtime_error("Transport stream format " + std::string(name) +
                             " is not compatible with the transport type.");
  }
  return *c;
}

// ---------------------------------------------------------------- helpers

TMwRequestStreamPtr MakeRequestStream(TMwCustomTransport* transport,
                                      std::shared_ptr<TMwTransportInfo> info) {
  return TMwRequestStreamPtr(new TMwStandardRequestTransportStream(transport, std::move(info)));
}

TMwResponseStreamPtr MakeResponseStream(TMwCustomTransport* transport,
                                        std::shared_ptr<TMwTransportInfo> info) {
  return TMwResponseStreamPtr(new TMwStandardResponseTransportStream(transport, std::move(info)));
}

std::string MwComposeRequestSubject(std::string_view domain, std::string_view identity,
                                    std::string_view service, std::string_view version,
                                    std::string_view function, int32_t request_id, bool sync) {
  auto escape = [](std::string_view s) {
    std::string out(s);
    for (char& c : out) {
      if (c == '*' || c == '.' || c == '>') c = '_';
    }
    return out;
  };
  return "REQ." + std::string(domain) + "." + std::string(identity) + "." + escape(service) + "." +
         escape(version) + "." + escape(function) + "." + std::to_string(request_id) + "." +
         (sync ? "SYNC" : "ASYNC");
}

}  // namespace tallyvox::mw
