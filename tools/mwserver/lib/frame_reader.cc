#include "mwserver/lib/frame_reader.h"

#include "middleware/wire/framing.h"

namespace tallyvox::mwserver {

FrameReader::Status FrameReader::Next(std::string* message) {
  if (framing_ == Framing::kAuto) {
    if (buffer_.size() < 4) return Status::kNeedMore;
    framing_ = buffer_.compare(0, 4, "MWMS") == 0 ? Framing::kVerified : Framing::kPlain;
  }
  size_t prefix = 0;
  uint64_t length = 0;
  if (framing_ == Framing::kVerified) {
    prefix = mw::kMwVerifiedHeaderSize;
    if (buffer_.size() < prefix) return Status::kNeedMore;
    uint32_t announced = 0;
    if (!mw::ParseVerifiedLength(std::string_view(buffer_).substr(0, prefix), &announced)) {
      bad_prefix_ = buffer_.substr(0, prefix);
      return Status::kInvalid;
    }
    length = announced;
  } else {
    prefix = mw::kMwPlainLengthSize;
    if (buffer_.size() < prefix) return Status::kNeedMore;
    const int32_t announced = mw::DecodePlainLength(buffer_);
    if (announced < 0) {
      bad_prefix_ = buffer_.substr(0, prefix);
      return Status::kTooLarge;
    }
    length = static_cast<uint64_t>(announced);
  }
  if (length > max_message_) {
    bad_prefix_ = buffer_.substr(0, prefix);
    return Status::kTooLarge;
  }
  if (buffer_.size() - prefix < length) return Status::kNeedMore;
  message->assign(buffer_, prefix, static_cast<size_t>(length));
  buffer_.erase(0, prefix + static_cast<size_t>(length));
  return Status::kMessage;
}

std::string FramePrefix(Framing framing, size_t length) {
  if (framing == Framing::kVerified) return mw::FormatVerifiedLength(static_cast<uint32_t>(length));
  return mw::EncodePlainLength(static_cast<int32_t>(length));
}

}  // namespace tallyvox::mwserver
