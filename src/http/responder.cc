#include "http/responder.h"

#include <utility>

namespace tallyvox::http {

Responder& Responder::operator=(Responder&& other) noexcept {
  if (this != &other) {
    if (send_) {
      try {
        Send(StatusResponse(500));
      } catch (...) {
      }
    }
    send_ = std::move(other.send_);
    other.send_ = nullptr;
  }
  return *this;
}

Responder::~Responder() {
  if (!send_) return;
  try {
    Send(StatusResponse(500));
  } catch (...) {
    // A destructor raises nothing; the connection is closed either way.
  }
}

void Responder::Send(Response response) {
  SendFunction send = std::exchange(send_, nullptr);
  if (send) send(std::move(response));
}

}  // namespace tallyvox::http
