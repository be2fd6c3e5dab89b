#include "middleware/wire/memory_stream.h"

#include <algorithm>
#include <cstring>

#include "middleware/wire/wire_errors.h"

namespace tallyvox::mw {

void ThrowStreamReadError() { throw EMwException("Stream read error", kMwErrStreamRead); }

int64_t MwMemoryStreamGrowth(int64_t capacity, int64_t needed) {
  const int64_t step =
      capacity >= kMwMemoryStreamLargeStep ? kMwMemoryStreamLargeStep : capacity / 2;
  const int64_t grown = needed + step;
  return (grown + kMwMemoryStreamBlock - 1) / kMwMemoryStreamBlock * kMwMemoryStreamBlock;
}

TMwMemoryStream::TMwMemoryStream(const TMwMemoryStream& other) { *this = other; }

TMwMemoryStream& TMwMemoryStream::operator=(const TMwMemoryStream& other) {
  if (this == &other) return *this;
  Clear();
  if (other.size_ > 0) {
    Reserve(other.size_);
    std::memcpy(data_.get(), other.data_.get(), static_cast<size_t>(other.size_));
  }
  size_ = other.size_;
  position_ = other.position_;
  return *this;
}

void TMwMemoryStream::Reserve(int64_t needed) {
  if (needed <= capacity_) return;
  if (needed > kMwMaxMemoryStreamSize) {
    throw EMwException("Stream write error", kMwErrStreamWrite);
  }
  int64_t new_capacity = MwMemoryStreamGrowth(capacity_, needed);
  // The rounding may pass the cap; the cap itself still fits.
  new_capacity = std::min<int64_t>(new_capacity, kMwMaxMemoryStreamSize);
  std::unique_ptr<uint8_t[]> grown(new uint8_t[static_cast<size_t>(new_capacity)]);
  if (size_ > 0) std::memcpy(grown.get(), data_.get(), static_cast<size_t>(size_));
  data_ = std::move(grown);
  capacity_ = new_capacity;
}

void TMwMemoryStream::Seek(int64_t position) { position_ = position < 0 ? 0 : position; }

void TMwMemoryStream::Clear() {
  data_.reset();
  size_ = position_ = capacity_ = 0;
}

void TMwMemoryStream::SetSize(int64_t size) {
  if (size < 0) size = 0;
  if (size > size_) {
    Reserve(size);
    std::memset(data_.get() + size_, 0, static_cast<size_t>(size - size_));
  }
  size_ = size;
  if (position_ > size_) position_ = size_;
}

void TMwMemoryStream::Write(const void* data, size_t count) {
  if (count == 0) return;
  const int64_t end = position_ + static_cast<int64_t>(count);
  if (static_cast<int64_t>(count) > kMwMaxMemoryStreamSize || end > kMwMaxMemoryStreamSize) {
    throw EMwException("Stream write error", kMwErrStreamWrite);
  }
  Reserve(end);
  if (position_ > size_) {
    std::memset(data_.get() + size_, 0, static_cast<size_t>(position_ - size_));
  }
  std::memcpy(data_.get() + position_, data, count);
  position_ = end;
  if (end > size_) size_ = end;
}

size_t TMwMemoryStream::Read(void* out, size_t count) {
  const size_t n = std::min<size_t>(count, static_cast<size_t>(Remaining()));
  if (n > 0) std::memcpy(out, data_.get() + position_, n);
  position_ += static_cast<int64_t>(n);
  return n;
}

void TMwMemoryStream::ReadBuffer(void* out, size_t count) {
  if (count > static_cast<size_t>(Remaining())) ThrowStreamReadError();
  Read(out, count);
}

const uint8_t* TMwMemoryStream::Consume(size_t count) {
  if (count > static_cast<size_t>(Remaining())) ThrowStreamReadError();
  const uint8_t* p = data_.get() + position_;
  position_ += static_cast<int64_t>(count);
  return p;
}

void TMwMemoryStream::Assign(const void* data, size_t count) {
  size_ = 0;
  position_ = 0;
  Write(data, count);
  position_ = 0;
}

void TMwMemoryStream::CopyFrom(TMwMemoryStream& source, int64_t count) {
  if (count == 0) {
    source.Rewind();
    count = source.Size();
  }
  if (count < 0) ThrowStreamReadError();
  const uint8_t* p = source.Consume(static_cast<size_t>(count));
  if (&source == this) {
    std::string copy(reinterpret_cast<const char*>(p), static_cast<size_t>(count));
    Write(copy);
  } else {
    Write(p, static_cast<size_t>(count));
  }
}

std::string TMwMemoryStream::ToString() const {
  return size_ == 0
             ? std::string()
             : std::string(reinterpret_cast<const char*>(data_.get()), static_cast<size_t>(size_));
}

std::vector<uint8_t> TMwMemoryStream::ToBytes() const {
  return size_ == 0 ? std::vector<uint8_t>()
                    : std::vector<uint8_t>(data_.get(), data_.get() + size_);
}

}  // namespace tallyvox::mw
