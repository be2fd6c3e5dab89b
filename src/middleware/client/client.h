// Middleware clients: one service call (service name, version, function, a
// list of variant arguments) becomes one request message, sent over the
// client's transport; the response becomes a result variant or an exception.
//
// Every call runs InternalSendRequest, a state machine over TMwRequestStates:
//   build the request (next process-wide request id) -> rsTransmit ->
//   rsReceive -> rsSuccess (decode) | rsReconnect | rsRedirect -> ...
// A failure while transmitting, receiving or reconnecting goes to the
// transport's OnException (OldState, NewState = rsReconnect as a var) and the
// machine continues with NewState: rsReconnect spends the reconnect budget,
// rsCancel returns normally with an empty result and Cancelled() true,
// rsReassemble builds a new request (new request id) and sends it again.
// OldState is rsTransmit for a failure before the bytes are handed over
// (OnClientTransmit, connecting, BeginTransmit), rsReceive for one while
// sending (Deliver, or the flush in EndTransmit) or receiving, and
// rsReconnect or rsRedirect for a failed Reconnect.
//
// Reconnect budget: Retries := MaxRetries; when that is <= 0 the alternative
// phase is in force from the start with Retries := MaxRetriesAlternative.
// Each reconnect or redirect decrements Retries; reaching 0 opens the
// alternative phase (Retries := MaxRetriesAlternative, no decrement) or, when
// it is already open or MaxRetriesAlternative <= 0, raises OnConnectionLost
// and fails with EMwException 0x00F10101 "Connection lost.". In the
// alternative phase with AutoFallback the transport moves to its next
// fallback server before reconnecting; a redirect moves it to its next
// redirect alternative.
//
// A transmit or receive that fails closes the transport's connection before
// OnException runs, so no later call can read an answer that was still on
// its way. An answer whose REQUESTID is not the request's, and a body that
// does not decode, are failed receives too (OldState rsReceive): nothing of
// the answer is taken, and the call goes on to OnException and the budget.
// Server errors (client_exceptions.h) and errors while decoding a response
// header end the call at once without touching the budget.
//
// A client serves one call at a time; the remembered states are thread-safe.
#ifndef TALLYVOX_MIDDLEWARE_CLIENT_CLIENT_H_
#define TALLYVOX_MIDDLEWARE_CLIENT_CLIENT_H_

#include <cstdint>
#include <exception>
#include <functional>
#include <string>
#include <vector>

#include "base/mutex.h"
#include "middleware/client/client_exceptions.h"
#include "middleware/client/client_transport.h"
#include "middleware/wire/memory_stream.h"
#include "middleware/wire/request_stream.h"
#include "middleware/wire/response_stream.h"
#include "middleware/wire/string_list.h"
#include "middleware/wire/variant.h"

namespace tallyvox::mw {

// The states of InternalSendRequest's state machine (see the file comment);
// the transport's OnException reports one as OldState and may choose the
// next.
enum TMwRequestStates : int {
  rsTransmit,
  rsReceive,
  rsReconnect,
  rsRedirect,
  rsReassemble,
  rsCancel,
  rsSuccess,
};

// A state id a server handed out, with the service that owns it.
struct TMwClientStateID {
  int32_t StateID = -1;
  std::string ServiceName;
  std::string ServiceVersion;
};

class TMwCustomClient;

using TMwClientRequestEvent = std::function<void(
    TMwCustomClient* sender, const std::string& service_name, const std::string& service_version,
    const std::string& func, const TMwVariantList& args)>;
using TMwClientResponseEvent = std::function<void(
    TMwCustomClient* sender, const std::string& service_name, const std::string& service_version,
    const std::string& func, const TMwVariantList& args, Variant& result)>;
using TMwClientTransmitEvent =
    std::function<void(TMwCustomClient* sender, const TMwCustomRequestTransportStream& request)>;
using TMwClientReceiveEvent =
    std::function<void(TMwCustomClient* sender, const TMwCustomResponseTransportStream& response)>;

class TMwCustomClient {
 public:
  TMwCustomClient() = default;
  // Forgets the remembered states (no server is contacted).
  virtual ~TMwCustomClient();
  TMwCustomClient(const TMwCustomClient&) = delete;
  TMwCustomClient& operator=(const TMwCustomClient&) = delete;

  // The transport of every call; cleared when the transport is destroyed.
  TMwCustomClientTransport* Transport() const { return transport_; }
  void SetTransport(TMwCustomClientTransport* transport);

  const std::string& Username() const { return username_; }
  void SetUsername(const std::string& v) { username_ = v; }
  const std::string& Password() const { return password_; }
  void SetPassword(const std::string& v) { password_ = v; }
  const std::string& Location() const { return location_; }
  void SetLocation(const std::string& v) { location_ = v; }
  const TMwStrings& RequestAttributes() const { return request_attributes_; }
  virtual void SetRequestAttributes(const TMwStrings& v) { request_attributes_ = v; }
  const TMwStrings& ResponseAttributes() const { return response_attributes_; }
  virtual void SetResponseAttributes(const TMwStrings& v) { response_attributes_ = v; }

  // ---- State kept from one call to the next ----
  int32_t StateID() const { return state_id_; }  // -1 = none
  void SetStateID(int32_t v) { state_id_ = v; }
  int32_t LastRequestID() const { return last_request_id_; }
  const std::string& Token() const { return token_; }
  void SetToken(const std::string& v) { token_ = v; }
  const Variant& ClientData() const { return client_data_; }
  void SetClientData(const Variant& v) { client_data_ = v; }
  // Attached to the next request as its STREAM section, then emptied.
  TMwMemoryStream& RequestStream() { return request_stream_; }
  // The STREAM section of the last successful response (at 0), else empty.
  TMwMemoryStream& ResponseStream() { return response_stream_; }
  bool Cancelled() const { return cancelled_; }
  std::vector<TMwClientStateID> RememberedStates() const;

  // The process-wide request counter: each request takes the current value
  // and increments it (under a lock).
  static int32_t NextRequestId();
  static int32_t PeekRequestCounter();

  // ---- Calls ----
  // Synchronous call with StateID(); returns the response's RESULT.
  virtual Variant SendRequest(const std::string& service_name, const std::string& service_version,
                              const std::string& func, const TMwVariantList& args);
  virtual Variant SendRequestWithState(const std::string& service_name,
                                       const std::string& service_version, const std::string& func,
                                       const TMwVariantList& args, int32_t state_id);
  // Always fail: no messaging transport exists.
  virtual int32_t SendAsyncRequest(const std::string& service_name,
                                   const std::string& service_version, const std::string& func,
                                   const TMwVariantList& args);
  virtual int32_t SendAsyncRequestWithState(const std::string& service_name,
                                            const std::string& service_version,
                                            const std::string& func, const TMwVariantList& args,
                                            int32_t state_id);
  virtual void InternalSendRequest(const std::string& service_name,
                                   const std::string& service_version, Variant& result,
                                   const TMwVariantList& args, int32_t* request_id,
                                   bool asynchronous, const std::string& func, int32_t state_id);

  // Removes a remembered id and sends "__RELEASESTATE" for it (the entry is
  // removed even when that call fails); an id equal to StateID() resets it
  // to -1. An id of -1 does nothing.
  virtual void ReleaseState(int32_t state_id);
  virtual void ReleaseCurrentState() { ReleaseState(state_id_); }
  // ReleaseState for every remembered id, last to first; then StateID -1.
  virtual void ReleaseAllStates();
  // Drops every remembered state without contacting a server; StateID -1.
  virtual void ForgetStates();
  // Connect of the transport.
  virtual void Connect();
  // ReleaseAllStates, then Disconnect of the transport.
  virtual void Disconnect();

  // ---- Events ----
  TMwClientRequestEvent OnClientRequest;
  TMwClientResponseEvent OnClientResponse;
  TMwClientTransmitEvent OnClientTransmit;
  TMwClientReceiveEvent OnClientReceive;

 private:
  TMwCustomClientTransport& RequireTransport() const;
  // Fills a request stream for one attempt.
  void FillRequest(TMwCustomRequestTransportStream& request, TMwCustomClientTransport& transport,
                   const std::string& service_name, const std::string& service_version,
                   const std::string& func, const TMwVariantList& args, int32_t state_id,
                   int32_t request_id, bool asynchronous);
  // What became of a fetched response.
  enum class TMwAnswer {
    kResult,    // *result holds the RESULT
    kRedirect,  // the server redirected the client (state becomes rsRedirect)
    kRefused,   // not taken (*refused says why): a failed receive
  };
  // Decodes the response to request `request_id`. Errors of the header and
  // server errors raise; an answer carrying another REQUESTID and a body
  // that does not decode are refused.
  TMwAnswer DecodeResponse(TMwCustomResponseTransportStream& response,
                           TMwCustomClientTransport& transport, int32_t request_id,
                           const std::string& service_name, const std::string& service_version,
                           Variant* result, std::exception_ptr* refused);
  void Remember(const TMwClientStateID& state) EXCLUDES(states_mu_);

  // ---- The steps of InternalSendRequest ----
  // One request built and on its way, and its reconnect budget (client.cc).
  struct TMwExchange;
  // How an exchange ended.
  enum class TMwOutcome { kAnswered, kCancelled, kReassemble };
  // Creates the streams for a new request id, fills and encodes the request
  // (up to the sealed state; the last step runs while transmitting).
  void BuildRequest(TMwExchange& x, int32_t state_id, bool asynchronous, int32_t* request_id);
  // Runs the state machine until an answer is taken, the exchange is
  // cancelled, or a new request is to be built.
  TMwOutcome RunExchange(TMwExchange& x, Variant& result);
  // The steps of the machine. Each answers the failure that goes to
  // OnFailure (null when none); other exceptions end the call.
  std::exception_ptr Transmit(TMwExchange& x);
  std::exception_ptr Receive(TMwExchange& x);
  std::exception_ptr Reconnect(TMwExchange& x);
  // rsSuccess: true when the answer was taken into *result.
  bool TakeAnswer(TMwExchange& x, Variant* result, std::exception_ptr* failure);
  // The one failure path: closes a connection left mid-message, then lets
  // the transport's OnException choose the next state (rsReconnect unless
  // it says otherwise).
  void OnFailure(TMwExchange& x, const std::exception_ptr& failure);

  TMwCustomClientTransport* transport_ = nullptr;
  std::string username_, password_, location_;
  TMwStrings request_attributes_, response_attributes_;
  int32_t state_id_ = -1;
  int32_t last_request_id_ = -1;
  std::string token_;
  Variant client_data_;
  TMwMemoryStream request_stream_;
  TMwMemoryStream response_stream_;
  bool cancelled_ = false;
  mutable Mutex states_mu_;
  std::vector<TMwClientStateID> states_ GUARDED_BY(states_mu_);
};

class TMwCustomSimpleClient : public TMwCustomClient {
 public:
  // The same as SendRequest.
  Variant Call(const std::string& service_name, const std::string& service_version,
               const std::string& func, const TMwVariantList& args) {
    return SendRequest(service_name, service_version, func, args);
  }
  // Always fails (no messaging transport); would return the request id.
  Variant AsyncCall(const std::string& service_name, const std::string& service_version,
                    const std::string& func, const TMwVariantList& args) {
    return Variant(SendAsyncRequest(service_name, service_version, func, args));
  }
};

class TMwSimpleClient : public TMwCustomSimpleClient {};

}  // namespace tallyvox::mw

#endif  // TALLYVOX_MIDDLEWARE_CLIENT_CLIENT_H_
