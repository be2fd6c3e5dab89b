// Splits the bytes a connection receives into framed messages (the framing is
// documented in middleware/wire/framing.h). No allocation follows an
// announced length: the buffer only ever holds bytes that actually arrived,
// and a length above the cap is refused as soon as the prefix is complete.
#ifndef TALLYVOX_TOOLS_MWSERVER_LIB_FRAME_READER_H_
#define TALLYVOX_TOOLS_MWSERVER_LIB_FRAME_READER_H_

#include <cstddef>
#include <string>
#include <string_view>

#include "mwserver/lib/options.h"

namespace tallyvox::mwserver {

class FrameReader {
 public:
  enum class Status {
    kNeedMore,  // no complete message yet
    kMessage,   // *message holds the next message
    kInvalid,   // a verified header failed its checks
    kTooLarge,  // the announced length exceeds the cap (or is negative)
  };

  // `framing` kAuto decides by the first message: a prefix starting with
  // "MWMS" is verified, anything else the 4-byte length.
  FrameReader(Framing framing, size_t max_message) : framing_(framing), max_message_(max_message) {}

  void Append(std::string_view bytes) { buffer_.append(bytes.data(), bytes.size()); }
  // Takes the next complete message out of the buffer.
  Status Next(std::string* message);

  // The framing in force (kAuto until the first prefix was seen).
  Framing framing() const { return framing_; }
  size_t buffered() const { return buffer_.size(); }
  void Clear() { buffer_.clear(); }
  // The prefix of the rejected message (for the log).
  const std::string& bad_prefix() const { return bad_prefix_; }

 private:
  Framing framing_;
  size_t max_message_;
  std::string buffer_;
  std::string bad_prefix_;
};

// The prefix for an answer of `length` bytes in `framing` (kAuto = plain).
std::string FramePrefix(Framing framing, size_t length);

}  // namespace tallyvox::mwserver

#endif  // TALLYVOX_TOOLS_MWSERVER_LIB_FRAME_READER_H_
