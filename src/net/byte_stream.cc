#include "net/byte_stream.h"

#include <algorithm>
#include <cstring>

namespace tallyvox::net {

void TNetMemoryStream::SetSize(int64_t size) {
  if (size < 0) size = 0;
  data_.resize(static_cast<size_t>(size));
  if (position_ > size) position_ = size;
}

int32_t TNetMemoryStream::Read(void* buffer, int32_t count) {
  if (count <= 0 || position_ >= Size()) return 0;
  int64_t n = std::min<int64_t>(count, Size() - position_);
  std::memcpy(buffer, data_.data() + position_, static_cast<size_t>(n));
  position_ += n;
  return static_cast<int32_t>(n);
}

void TNetMemoryStream::Write(const void* buffer, int32_t count) {
  if (count <= 0) return;
  int64_t end = position_ + count;
  if (end > Size()) data_.resize(static_cast<size_t>(end));
  std::memcpy(data_.data() + position_, buffer, static_cast<size_t>(count));
  position_ = end;
}

}  // namespace tallyvox::net
