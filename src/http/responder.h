// Responder: the answer to one request that a handler gives later, from
// any thread (a deferred route, Router::AddDeferred). The server has taken
// the connection out of its event thread's list and its queue: it is never
// evicted or timed out while the answer is pending, so whoever holds the
// Responder bounds the wait itself.
//
// Send writes the answer within the server's write deadline and closes the
// connection. A Responder destroyed unsent answers 500, so a handler that
// fails or drops it never leaves a client hanging. After the server stopped
// (its destructor closed every pending connection) Send writes nothing.
//
// Thread safety: a Responder is moved, never shared; Send may run on any
// thread, once.
#ifndef TALLYVOX_HTTP_RESPONDER_H_
#define TALLYVOX_HTTP_RESPONDER_H_

#include <functional>

#include "http/response.h"

namespace tallyvox::http {

class Responder {
 public:
  using SendFunction = std::function<void(Response)>;

  Responder() = default;
  explicit Responder(SendFunction send) : send_(std::move(send)) {}
  Responder(Responder&& other) noexcept : send_(std::move(other.send_)) { other.send_ = nullptr; }
  Responder& operator=(Responder&& other) noexcept;
  Responder(const Responder&) = delete;
  Responder& operator=(const Responder&) = delete;
  // Answers 500 when Send was never called.
  ~Responder();

  // Writes `response` and closes the connection. Later calls do nothing.
  void Send(Response response);
  // False once sent (or for a default-made Responder).
  bool pending() const { return static_cast<bool>(send_); }

 private:
  SendFunction send_;
};

}  // namespace tallyvox::http

#endif  // TALLYVOX_HTTP_RESPONDER_H_
