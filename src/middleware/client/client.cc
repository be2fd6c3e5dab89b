#include "middleware/client/client.h"

#include <algorithm>
#include <exception>

namespace tallyvox::mw {
namespace {

// The process-wide request id counter, starting at 0.
struct RequestCounter {
  Mutex mu;
  int32_t next GUARDED_BY(mu) = 0;
};
RequestCounter& Counter() {
  static RequestCounter* counter = new RequestCounter;  // never destroyed
  return *counter;
}

template <typename T>
T& StreamAs(TMwCustomTransportStream& stream) {
  T* typed = dynamic_cast<T*>(&stream);
  if (typed == nullptr) throw EMwException("Unknown stream class.", 0x04001003);
  return *typed;
}

[[noreturn]] void RaiseServerError(int32_t code, const std::string& text) {
  switch (code) {
    case kMwStatusAbort:
      throw EMwAbortException(text);
    case kMwStatusNoService:
      throw EMwNoServiceException(text);
    case kMwStatusUnknownFunc:
      throw EMwUnknownFuncException(text);
    case kMwStatusAuth:
      throw EMwAuthException(text);
    default:
      throw EMwException(text + " (SERVER)", code);
  }
}

}  // namespace

TMwCustomClient::~TMwCustomClient() {
  ForgetStates();
  SetTransport(nullptr);
}

void TMwCustomClient::SetTransport(TMwCustomClientTransport* transport) {
  if (transport == transport_) return;
  if (transport_ != nullptr) transport_->RemoveFreeNotification(this);
  transport_ = transport;
  if (transport_ != nullptr) {
    transport_->AddFreeNotification(this, [this] { transport_ = nullptr; });
  }
}

std::vector<TMwClientStateID> TMwCustomClient::RememberedStates() const {
  MutexLock lock(&states_mu_);
  return states_;
}

int32_t TMwCustomClient::NextRequestId() {
  RequestCounter& counter = Counter();
  MutexLock lock(&counter.mu);
  return counter.next++;
}

int32_t TMwCustomClient::PeekRequestCounter() {
  RequestCounter& counter = Counter();
  MutexLock lock(&counter.mu);
  return counter.next;
}

TMwCustomClientTransport& TMwCustomClient::RequireTransport() const {
  if (transport_ == nullptr) throw EMwException("Transport must be set.", kMwErrTransportNotSet);
  return *transport_;
}

Variant TMwCustomClient::SendRequest(const std::string& service_name,
                                     const std::string& service_version, const std::string& func,
                                     const TMwVariantList& args) {
  return SendRequestWithState(service_name, service_version, func, args, state_id_);
}

Variant TMwCustomClient::SendRequestWithState(const std::string& service_name,
                                              const std::string& service_version,
                                              const std::string& func, const TMwVariantList& args,
                                              int32_t state_id) {
  Variant result;
  int32_t request_id = -1;
  InternalSendRequest(service_name, service_version, result, args, &request_id, false, func,
                      state_id);
  return result;
}

int32_t TMwCustomClient::SendAsyncRequest(const std::string& service_name,
                                          const std::string& service_version,
                                          const std::string& func, const TMwVariantList& args) {
  return SendAsyncRequestWithState(service_name, service_version, func, args, state_id_);
}

int32_t TMwCustomClient::SendAsyncRequestWithState(const std::string& service_name,
                                                   const std::string& service_version,
                                                   const std::string& func,
                                                   const TMwVariantList& args, int32_t state_id) {
  Variant result;
  int32_t request_id = -1;
  InternalSendRequest(service_name, service_version, result, args, &request_id, true, func,
                      state_id);
  return request_id;
}

void TMwCustomClient::FillRequest(TMwCustomRequestTransportStream& request,
                                  TMwCustomClientTransport& transport,
                                  const std::string& service_name,
                                  const std::string& service_version, const std::string& func,
                                  const TMwVariantList& args, int32_t state_id, int32_t request_id,
                                  bool asynchronous) {
  request.SetSync(!asynchronous);
  request.SetParams(&transport.Params());
  request.SetAttributes(&request_attributes_);
  last_request_id_ = request_id;
  request.SetServiceName(service_name);
  request.SetServiceVersion(service_version);
  request.SetFunction(func);
  request.SetStateID(state_id);
  if (!token_.empty()) {
    request.SetToken(token_);
  } else {
    request.SetUsername(username_);
    request.SetPassword(password_);
  }
  request.SetClientLocation(location_);
  request.SetData(client_data_);
  request.Args() = args;
  request.SetRequestID(request_id);
  request.AttachStreamByRef(&request_stream_);
  request.SetMessageCount(1);
  request.SubjectHeader().Subject =
      MwComposeRequestSubject(transport.Domain(), transport.Identity(), service_name,
                              service_version, func, request_id, !asynchronous);
}

TMwCustomClient::TMwAnswer TMwCustomClient::DecodeResponse(
    TMwCustomResponseTransportStream& response, TMwCustomClientTransport& transport,
    int32_t request_id, const std::string& service_name, const std::string& service_version,
    Variant* result, std::exception_ptr* refused) {
  response.DecodeHeader();
  // An answer carrying another request's id (a late answer to an earlier
  // call, say) is not this call's: none of it is taken.
  if (response.Version() >= kMwVersionWithRequestId && response.RequestID() != request_id) {
    *refused = std::make_exception_ptr(EMwException(
        "Answer to another request (REQUESTID " + std::to_string(response.RequestID()) +
            " instead of " + std::to_string(request_id) + ").",
        kMwErrAnswerMismatch));
    return TMwAnswer::kRefused;
  }
  token_ = response.Token();
  client_data_ = response.Data();
  const int32_t s = response.StateID();
  if (s != -1 && s != state_id_) Remember({s, service_name, service_version});
  state_id_ = s;
  response_attributes_ = response.Attributes();
  response_stream_.Clear();
  if (response.IsError()) {
    const int32_t code = response.ErrorCode();
    if (code == kMwStatusRedirect) {
      transport.SetRedirectAlternatives(TMwConnectionString(response.StatusText()));
      return TMwAnswer::kRedirect;
    }
    RaiseServerError(code, response.StatusText());
  }
  // The body: a server sending what does not decode fails like a broken
  // connection, not like a server error.
  try {
    response.EnsureUnstreamState(kMwUnstreamStateLast);
  } catch (...) {
    *refused = std::current_exception();
    return TMwAnswer::kRefused;
  }
  *result = response.Result();
  const TMwMemoryStream* section = response.AttachedStream();
  if (section != nullptr && section->Size() > 0) {
    response_stream_ = *section;
    response_stream_.Rewind();
  }
  if (OnClientReceive) OnClientReceive(this, response);
  return TMwAnswer::kResult;
}

void TMwCustomClient::Remember(const TMwClientStateID& state) {
  MutexLock lock(&states_mu_);
  for (const TMwClientStateID& known : states_) {
    if (known.StateID == state.StateID) {
      throw EMwException("Duplicate state ID", kMwErrDuplicateStateId);
    }
  }
  states_.push_back(state);
}

struct TMwCustomClient::TMwExchange {
  TMwExchange(TMwCustomClientTransport& t, const std::string& name, const std::string& version,
              const std::string& function, const TMwVariantList& arguments)
      : transport(t),
        info(t.TransportInfo().get()),
        service_name(name),
        service_version(version),
        func(function),
        args(arguments) {}

  TMwCustomClientTransport& transport;
  TMwTransportInfo* const info;
  const std::string& service_name;
  const std::string& service_version;
  const std::string& func;
  const TMwVariantList& args;
  int32_t id = -1;
  TMwTransportStreamPtr request_ptr, response_ptr;
  TMwCustomRequestTransportStream* request = nullptr;
  TMwCustomResponseTransportStream* response = nullptr;
  // The reconnect budget (see the file comment of client.h).
  int32_t retries = 0;
  bool alternative = false;
  TMwRequestStates state = rsTransmit;
};

namespace {

[[noreturn]] void ConnectionLost(TMwCustomClientTransport& transport) {
  if (transport.OnConnectionLost) transport.OnConnectionLost(&transport);
  throw EMwException("Connection lost.", kMwErrConnectionLost);
}

}  // namespace

void TMwCustomClient::InternalSendRequest(const std::string& service_name,
                                          const std::string& service_version, Variant& result,
                                          const TMwVariantList& args, int32_t* request_id,
                                          bool asynchronous, const std::string& func,
                                          int32_t state_id) {
  result = Variant();
  TMwCustomClientTransport& transport = RequireTransport();
  response_stream_.Clear();
  if (OnClientRequest) OnClientRequest(this, service_name, service_version, func, args);
  for (;;) {  // one pass per request built (rsReassemble starts over)
    if (asynchronous) {
      throw EMwException("Asynchrone requests require use of messaging transport.",
                         kMwErrAsyncNotSupported);
    }
    TMwExchange x(transport, service_name, service_version, func, args);
    BuildRequest(x, state_id, asynchronous, request_id);
    x.retries = transport.MaxRetries();
    if (x.retries <= 0) {
      x.retries = transport.MaxRetriesAlternative();
      x.alternative = x.retries > 0;
    }
    switch (RunExchange(x, result)) {
      case TMwOutcome::kAnswered:
        return;
      case TMwOutcome::kCancelled:
        cancelled_ = true;
        result = Variant();
        return;
      case TMwOutcome::kReassemble:
        break;
    }
  }
}

void TMwCustomClient::BuildRequest(TMwExchange& x, int32_t state_id, bool asynchronous,
                                   int32_t* request_id) {
  x.id = NextRequestId();
  const TMwCustomTransportStreamController& controller = x.transport.StreamController();
  x.request_ptr = controller.CreateStream(mwmtRequest, &x.transport, x.transport.TransportInfo());
  x.response_ptr = controller.CreateStream(mwmtResponse, &x.transport, x.transport.TransportInfo());
  x.request = &StreamAs<TMwCustomRequestTransportStream>(*x.request_ptr);
  x.response = &StreamAs<TMwCustomResponseTransportStream>(*x.response_ptr);
  if (request_id != nullptr) *request_id = x.id;
  FillRequest(*x.request, x.transport, x.service_name, x.service_version, x.func, x.args, state_id,
              x.id, asynchronous);
  // The STREAM section is copied into the body: the caller's stream is
  // emptied whether or not encoding succeeds.
  try {
    x.request->EnsureStreamState(kMwStreamStateBody);
    x.request->EnsureStreamState(kMwStreamStateSealed);
  } catch (...) {
    x.request->DropAttachedStream();
    request_stream_.Clear();
    throw;
  }
  x.request->DropAttachedStream();
  request_stream_.Clear();
}

TMwCustomClient::TMwOutcome TMwCustomClient::RunExchange(TMwExchange& x, Variant& result) {
  for (;;) {
    std::exception_ptr failure;
    switch (x.state) {
      case rsTransmit:
        failure = Transmit(x);
        break;
      case rsReceive:
        failure = Receive(x);
        break;
      case rsReconnect:
      case rsRedirect:
        failure = Reconnect(x);
        break;
      case rsSuccess:
        if (TakeAnswer(x, &result, &failure)) return TMwOutcome::kAnswered;
        break;
      case rsReassemble:
        return TMwOutcome::kReassemble;
      case rsCancel:
        return TMwOutcome::kCancelled;
    }
    if (failure) OnFailure(x, failure);
  }
}

// The closing step runs in every case, and the state is rsReceive afterwards
// even when the closing step itself fails: that is where the buffered bytes
// are actually sent, so a failed send reports rsReceive like every other
// failure while sending.
std::exception_ptr TMwCustomClient::Transmit(TMwExchange& x) {
  try {
    if (OnClientTransmit) OnClientTransmit(this, *x.request);
    if (!x.transport.IsConnected()) x.transport.SetActive(true);
    x.transport.BeginTransmit(x.info, *x.request);
    std::exception_ptr failure;
    try {
      x.request->EnsureStreamState(kMwStreamStateLast);
      x.request->NotifySend();
      x.request->Deliver();
    } catch (...) {
      failure = std::current_exception();
    }
    try {
      x.transport.EndTransmit(x.info, *x.request);
    } catch (...) {
      if (!failure) failure = std::current_exception();
    }
    x.state = rsReceive;
    if (failure) std::rethrow_exception(failure);
  } catch (const std::exception&) {
    return std::current_exception();
  }
  return nullptr;
}

std::exception_ptr TMwCustomClient::Receive(TMwExchange& x) {
  try {
    x.response->SetParams(&x.transport.Params());
    x.transport.BeginReceive(x.info, *x.response);
    x.response->ResetForReceive();
    bool fetched = false;
    std::exception_ptr failure;
    try {
      fetched = x.response->Fetch();
    } catch (...) {
      failure = std::current_exception();
    }
    x.transport.EndReceive(x.info, *x.response);
    if (failure) std::rethrow_exception(failure);
    x.state = fetched ? rsSuccess : rsReconnect;
  } catch (const std::exception&) {
    return std::current_exception();
  }
  return nullptr;
}

// Spends the budget (running out ends the call with "Connection lost."),
// moves to the next redirect alternative or fallback server, and connects
// again; only a failure of that connect is handed on.
std::exception_ptr TMwCustomClient::Reconnect(TMwExchange& x) {
  TMwCustomClientTransport& transport = x.transport;
  --x.retries;
  if (x.retries <= 0) {
    if (x.alternative) ConnectionLost(transport);
    x.alternative = true;
    x.retries = transport.MaxRetriesAlternative();
    if (x.retries <= 0) ConnectionLost(transport);
  }
  bool applied = false;
  if (x.state == rsRedirect) applied = transport.NextRedirectAlternative();
  if (!applied && x.alternative && transport.AutoFallback()) transport.NextFallbackServer();
  if (transport.OnReconnect) transport.OnReconnect(&transport, x.alternative, x.retries);
  try {
    transport.Reconnect();
    transport.ResetFallbackPositions();
    x.state = rsTransmit;
  } catch (const std::exception&) {
    return std::current_exception();
  }
  return nullptr;
}

bool TMwCustomClient::TakeAnswer(TMwExchange& x, Variant* result, std::exception_ptr* failure) {
  std::exception_ptr refused;
  const TMwAnswer answer = DecodeResponse(*x.response, x.transport, x.id, x.service_name,
                                          x.service_version, result, &refused);
  if (answer == TMwAnswer::kRedirect) {
    x.state = rsRedirect;
    return false;
  }
  if (answer == TMwAnswer::kRefused) {
    // An answer that cannot be taken is a failed receive.
    x.state = rsReceive;
    *failure = refused;
    return false;
  }
  cancelled_ = false;
  if (OnClientResponse) {
    OnClientResponse(this, x.service_name, x.service_version, x.func, x.args, *result);
  }
  return true;
}

// A transmit or receive that failed leaves the connection at an unknown
// point of a message (an answer may still arrive): it is closed first, so
// neither the handler nor a later call can read from it.
void TMwCustomClient::OnFailure(TMwExchange& x, const std::exception_ptr& failure) {
  try {
    std::rethrow_exception(failure);
  } catch (const std::exception& e) {
    const TMwRequestStates old_state = x.state;
    if (old_state == rsTransmit || old_state == rsReceive) x.transport.Disconnect();
    x.state = rsReconnect;
    if (x.transport.OnException) x.transport.OnException(this, old_state, x.state, e);
  }
}

void TMwCustomClient::ReleaseState(int32_t state_id) {
  if (state_id == -1) return;
  TMwClientStateID entry;
  bool found = false;
  {
    MutexLock lock(&states_mu_);
    auto it = std::find_if(states_.begin(), states_.end(),
                           [state_id](const TMwClientStateID& s) { return s.StateID == state_id; });
    if (it != states_.end()) {
      entry = *it;
      states_.erase(it);
      found = true;
    }
  }
  std::exception_ptr failure;
  if (found) {
    try {
      SendRequestWithState(entry.ServiceName, entry.ServiceVersion, "__RELEASESTATE", {}, state_id);
    } catch (...) {
      failure = std::current_exception();
    }
  }
  if (state_id == state_id_) state_id_ = -1;
  if (failure) std::rethrow_exception(failure);
}

void TMwCustomClient::ReleaseAllStates() {
  for (;;) {
    int32_t id;
    {
      MutexLock lock(&states_mu_);
      if (states_.empty()) break;
      id = states_.back().StateID;
    }
    ReleaseState(id);
  }
  state_id_ = -1;
}

void TMwCustomClient::ForgetStates() {
  {
    MutexLock lock(&states_mu_);
    states_.clear();
  }
  state_id_ = -1;
}

void TMwCustomClient::Connect() { RequireTransport().Connect(); }

void TMwCustomClient::Disconnect() {
  ReleaseAllStates();
  RequireTransport().Disconnect();
}

}  // namespace tallyvox::mw
