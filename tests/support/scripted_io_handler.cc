#include "support/scripted_io_handler.h"

#include <algorithm>
#include <cstring>

#include "net/exceptions.h"

using tallyvox::net::ENetClosedSocket;
using tallyvox::net::ENetConnClosedGracefully;

namespace tallyvox::testing {

void TNetScriptedIOHandler::ConnectChannel(const std::string&, int32_t, int32_t, int32_t, int32_t,
                                           int32_t, const std::string&) {
  open_ = true;
  ++connect_count_;
}

bool TNetScriptedIOHandler::WaitReadable(int32_t) {
  if (!open_) throw ENetConnClosedGracefully();
  return !chunks_.empty() || !hang_at_end_;
}

int32_t TNetScriptedIOHandler::ReceiveRaw(void* buffer, int32_t length) {
  if (!open_) throw ENetClosedSocket();
  if (chunks_.empty() || length <= 0) return 0;
  std::string& front = chunks_.front();
  size_t n = std::min(front.size(), static_cast<size_t>(length));
  std::memcpy(buffer, front.data(), n);
  front.erase(0, n);
  if (front.empty()) chunks_.pop_front();
  // An empty scripted chunk stands for the peer's close.
  return static_cast<int32_t>(n);
}

int32_t TNetScriptedIOHandler::SendRaw(const void* buffer, int32_t length) {
  if (!open_) throw ENetClosedSocket();
  if (send_error_ != 0) {
    last_error_ = send_error_;
    return -1;
  }
  sent_.append(static_cast<const char*>(buffer), static_cast<size_t>(length));
  return length;
}

}  // namespace tallyvox::testing
