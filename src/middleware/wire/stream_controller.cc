#include "middleware/wire/stream_controller.h"

#include <stdexcept>

#include "base/text.h"
#include "middleware/wire/message_stream.h"
#include "middleware/wire/request_stream.h"
#include "middleware/wire/response_stream.h"

namespace tallyvox::mw {
namespace {

constexpr const char* kPrefixes[] = {"",     "REQ.", "RES.", "SRV.", "MSG.",
                                     "SUB.", "USB.", "CAC.", "THR.", "QUE."};

template <typename T>
TMwCustomTransportStream* CreateOf(TMwCustomTransport* transport,
                                   std::shared_ptr<TMwTransportInfo> info) {
  return new T(transport, std::move(info));
}

}  // namespace

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

void TMwCustomTransportStreamController::WriteSubjectHeader(TMwMemoryStream& buffer,
                                                            const TMwSubjectHeader& header) const {
  MwWriteSubjectHeader(buffer, header);
}

bool TMwCustomTransportStreamController::ReadSubjectHeader(TMwMemoryStream& buffer,
                                                           TMwSubjectHeader* header) const {
  return MwReadSubjectHeader(buffer, header);
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
  MutexLock lock(&mu_);
  names_.push_back(UpperCase(controller->GetIdentifier()));
  controllers_.push_back(controller);
}

const TMwCustomTransportStreamController* TMwRegisteredTransportStreamList::Find(
    std::string_view name) const {
  const std::string upper = UpperCase(name);
  MutexLock lock(&mu_);
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

}  // namespace tallyvox::mw
