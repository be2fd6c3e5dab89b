#include "middleware/wire/transport_stream.h"

#include <charconv>

#include "middleware/wire/guid.h"
#include "middleware/wire/stream_controller.h"

namespace tallyvox::mw {
namespace {

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
}  // namespace

std::string MwMessageTypeName(int type) {
  static const char* kNames[] = {
      nullptr,         "mwmtRequest",     "mwmtResponse", "mwmtServiceCall", "mwmtMessage",
      "mwmtSubscribe", "mwmtUnsubscribe", "mwmtCache",    "mwmtThrottle",    "mwmtNamedQueue"};
  if (type >= 1 && type <= 9) return kNames[type];
  return "mwmtUnknown (" + std::to_string(type) + ")";
}

// ---------------------------------------------------------------- stream base

void TMwStreamFree::operator()(TMwCustomTransportStream* stream) const {
  TMwCustomTransportStream::FreeIfUnreferenced(stream);
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

bool TMwCustomTransportStream::FreeIfUnreferenced(TMwCustomTransportStream* stream) {
  if (stream == nullptr || stream->ref_count_.load() != 0) return false;
  delete stream;
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
      formatter_->ResetDecodeBudget();
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
  if (count <= 0) return;
  ReserveDecoded(count, sizeof(std::string));
  attributes_.Reserve(static_cast<size_t>(count));
  for (int32_t i = 0; i < count; ++i) attributes_.Add(f.ReadString("ATTR"));
}

void TMwCustomTransportStream::ReserveDecoded(int32_t count, size_t item_size) {
  // Every item takes at least a 4-byte length or tag on the wire.
  if (count > buffer_.Remaining() / 4) ThrowStreamReadError();
  formatter_->ChargeDecoded(static_cast<int64_t>(count) * static_cast<int64_t>(item_size));
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
  if (count > 0) {
    ReserveDecoded(count, sizeof(Variant));
    args->reserve(static_cast<size_t>(count));
  }
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

}  // namespace tallyvox::mw
