#include "middleware/client/client.h"

#include <algorithm>
#include <exception>

namespace tallyvox::mw {
namespace {

std::mutex& CounterMutex() {
  static std::mutex mu;
  return mu;
}
int32_t g_request_counter = 0;

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
  std::lock_guard<std::mutex> lock(states_mu_);
  return states_;
}

int32_t TMwCustomClient::NextRequestId() {
  std::lock_guard<std::mutex> lock(CounterMutex());
  return g_request_counter++;
}

int32_t TMwCustomClient::PeekRequestCounter() {
  std::lock_guard<std::mutex> lock(CounterMutex());
  return g_request_counter;
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
  std::lock_guard<std::mutex> lock(states_mu_);
  for (const TMwClientStateID& known : states_) {
    if (known.StateID == state.StateID) {
      throw EMwException("Duplicate state ID", kMwErrDuplicateStateId);
    }
  }
  states_.push_back(state);
}

void TMwCustomClient::InternalSendRequest(const std::string& service_name,
                                          const std::string& service_version, Variant& result,
                                          const TMwVariantList& args, int32_t* request_id,
                                          bool asynchronous, const std::string& func,
                                          int32_t state_id) {
  result = Variant();
  TMwCustomClientTransport& transport = RequireTransport();
  response_stream_.Clear();
  if (OnClientRequest) OnClientRequest(this, service_name, service_version, func, args);
  TMwTransportInfo* info = transport.TransportInfo().get();

  for (;;) {  // one pass per request built (rsReassemble starts over)
    if (asynchronous) {
      throw EMwException("Asynchrone requests require use of messaging transport.",
                         kMwErrAsyncNotSupported);
    }
    const int32_t id = NextRequestId();
    const TMwCustomTransportStreamController& controller = transport.StreamController();
    TMwTransportStreamPtr request_ptr =
        controller.CreateStream(mwmtRequest, &transport, transport.TransportInfo());
    TMwTransportStreamPtr response_ptr =
        controller.CreateStream(mwmtResponse, &transport, transport.TransportInfo());
    auto& request = StreamAs<TMwCustomRequestTransportStream>(*request_ptr);
    auto& response = StreamAs<TMwCustomResponseTransportStream>(*response_ptr);
    if (request_id != nullptr) *request_id = id;
    FillRequest(request, transport, service_name, service_version, func, args, state_id, id,
                asynchronous);
    try {
      request.EnsureStreamState(4);
      request.EnsureStreamState(6);
    } catch (...) {
      request.DropAttachedStream();
      request_stream_.Clear();
      throw;
    }
    request.DropAttachedStream();
    request_stream_.Clear();

    int32_t retries = transport.MaxRetries();
    bool alternative = false;
    if (retries <= 0) {
      retries = transport.MaxRetriesAlternative();
      alternative = retries > 0;
    }
    TMwRequestStates state = rsTransmit;

    // A failure inside rsTransmit, rsReceive or Reconnect: the state it was
    // raised in goes to OnException, which may choose the next state. A
    // transmit or receive that failed leaves the connection at an unknown
    // point of a message (an answer may still arrive): it is closed first,
    // so neither the handler nor a later call can read from it.
    auto handle_failure = [&](const std::exception& e) {
      const TMwRequestStates old_state = state;
      if (old_state == rsTransmit || old_state == rsReceive) transport.Disconnect();
      state = rsReconnect;
      if (transport.OnException) transport.OnException(this, old_state, state, e);
    };
    auto connection_lost = [&]() {
      if (transport.OnConnectionLost) transport.OnConnectionLost(&transport);
      throw EMwException("Connection lost.", kMwErrConnectionLost);
    };

    bool reassemble = false;
    while (!reassemble) {
      switch (state) {
        case rsTransmit:
          try {
            if (OnClientTransmit) OnClientTransmit(this, request);
            if (!transport.IsConnected()) transport.SetActive(true);
            transport.BeginTransmit(info, request);
            std::exception_ptr failure;
            try {
              request.EnsureStreamState(kMwStreamStateLast);
              request.NotifySend();
              request.Deliver();
            } catch (...) {
              failure = std::current_exception();
            }
            // The closing step runs in every case, and the state is rsReceive
            // afterwards even when the closing step itself fails: that is
            // where the buffered bytes are actually sent, so a failed send
            // reports rsReceive like every other failure while sending.
            try {
              transport.EndTransmit(info, request);
            } catch (...) {
              if (!failure) failure = std::current_exception();
            }
            state = rsReceive;
            if (failure) std::rethrow_exception(failure);
          } catch (const std::exception& e) {
            handle_failure(e);
          }
          break;

        case rsReceive:
          try {
            response.SetParams(&transport.Params());
            transport.BeginReceive(info, response);
            response.ResetForReceive();
            bool fetched = false;
            std::exception_ptr failure;
            try {
              fetched = response.Fetch();
            } catch (...) {
              failure = std::current_exception();
            }
            transport.EndReceive(info, response);
            if (failure) std::rethrow_exception(failure);
            state = fetched ? rsSuccess : rsReconnect;
          } catch (const std::exception& e) {
            handle_failure(e);
          }
          break;

        case rsReconnect:
        case rsRedirect: {
          --retries;
          if (retries <= 0) {
            if (alternative) connection_lost();
            alternative = true;
            retries = transport.MaxRetriesAlternative();
            if (retries <= 0) connection_lost();
          }
          bool applied = false;
          if (state == rsRedirect) applied = transport.NextRedirectAlternative();
          if (!applied && alternative && transport.AutoFallback()) transport.NextFallbackServer();
          if (transport.OnReconnect) transport.OnReconnect(&transport, alternative, retries);
          try {
            transport.Reconnect();
            transport.ResetFallbackPositions();
            state = rsTransmit;
          } catch (const std::exception& e) {
            handle_failure(e);
          }
          break;
        }

        case rsReassemble:
          reassemble = true;
          break;

        case rsCancel:
          cancelled_ = true;
          result = Variant();
          return;

        case rsSuccess: {
          std::exception_ptr refused;
          const TMwAnswer answer = DecodeResponse(response, transport, id, service_name,
                                                  service_version, &result, &refused);
          if (answer == TMwAnswer::kRedirect) {
            state = rsRedirect;
            break;
          }
          if (answer == TMwAnswer::kRefused) {
            // An answer that cannot be taken is a failed receive.
            state = rsReceive;
            try {
              std::rethrow_exception(refused);
            } catch (const std::exception& e) {
              handle_failure(e);
            }
            break;
          }
          cancelled_ = false;
          if (OnClientResponse) {
            OnClientResponse(this, service_name, service_version, func, args, result);
          }
          return;
        }
      }
    }
  }
}

void TMwCustomClient::ReleaseState(int32_t state_id) {
  if (state_id == -1) return;
  TMwClientStateID entry;
  bool found = false;
  {
    std::lock_guard<std::mutex> lock(states_mu_);
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
      std::lock_guard<std::mutex> lock(states_mu_);
      if (states_.empty()) break;
      id = states_.back().StateID;
    }
    ReleaseState(id);
  }
  state_id_ = -1;
}

void TMwCustomClient::ForgetStates() {
  {
    std::lock_guard<std::mutex> lock(states_mu_);
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
