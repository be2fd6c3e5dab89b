// TNetScriptedIOHandler: a channel without a network, for tests and fuzzing
// of the layers above the connection (replies, lines, SMTP dialogues).
//
// ConnectChannel opens it; each ReceiveRaw hands out the next scripted chunk
// (at most `length` bytes of it; the rest stays for the next call); when the
// script is used up the channel reports the peer's close (0). Every sent
// byte is recorded in Sent().
//
// WaitReadable is true while chunks remain or the end is to be reported.
// With SetHangAtEnd(true) the end is never reported: WaitReadable then
// returns false (a read time-out) instead.
#ifndef TALLYVOX_TESTS_SUPPORT_SCRIPTED_IO_HANDLER_H_
#define TALLYVOX_TESTS_SUPPORT_SCRIPTED_IO_HANDLER_H_

#include <cstdint>
#include <deque>
#include <string>

#include "net/io_handler.h"

namespace tallyvox::testing {

using net::TNetIOHandler;

class TNetScriptedIOHandler : public TNetIOHandler {
 public:
  TNetScriptedIOHandler() = default;

  // Queues bytes the peer "sends"; each call is one receive at most.
  void AddInput(const std::string& bytes) { chunks_.push_back(bytes); }
  void SetHangAtEnd(bool hang) { hang_at_end_ = hang; }
  // Makes SendRaw fail with this Windows Sockets number (0 = succeed).
  void SetSendError(int32_t error) { send_error_ = error; }
  const std::string& Sent() const { return sent_; }
  void ClearSent() { sent_.clear(); }
  int32_t ConnectCount() const { return connect_count_; }

  void CloseChannel() override { open_ = false; }
  void ConnectChannel(const std::string& host, int32_t port, int32_t timeout_ms,
                      int32_t local_port_max, int32_t local_port_min, int32_t local_port,
                      const std::string& local_ip) override;
  bool ChannelOpen() override { return open_; }
  void PrepareChannel() override {}
  bool WaitReadable(int32_t timeout_ms) override;
  int32_t ReceiveRaw(void* buffer, int32_t length) override;
  int32_t SendRaw(const void* buffer, int32_t length) override;
  int32_t LastErrorNumber() override { return last_error_; }

 private:
  std::deque<std::string> chunks_;
  std::string sent_;
  bool open_ = false;
  bool hang_at_end_ = false;
  int32_t send_error_ = 0;
  int32_t last_error_ = 0;
  int32_t connect_count_ = 0;
};

}  // namespace tallyvox::testing

#endif  // TALLYVOX_TESTS_SUPPORT_SCRIPTED_IO_HANDLER_H_
