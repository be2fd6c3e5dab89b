#include "net/managed_buffer.h"

#include <algorithm>
#include <cstring>

#include "net/exceptions.h"

namespace tallyvox::net {

void TNetManagedBuffer::Append(const void* bytes, size_t count) {
  if (count == 0) return;
  const uint8_t* p = static_cast<const uint8_t*>(bytes);
  data_.insert(data_.end(), p, p + count);
}

void TNetManagedBuffer::Consume(size_t count) {
  offset_ += count;
  if (offset_ >= data_.size()) {
    data_.clear();
    offset_ = 0;
  } else if (offset_ >= kCompactAt) {
    data_.erase(data_.begin(), data_.begin() + static_cast<std::ptrdiff_t>(offset_));
    offset_ = 0;
  }
}

void TNetManagedBuffer::Extract(void* dest, int32_t count) {
  if (count <= 0) return;
  if (count > Size()) throw ENetNotEnoughDataInBuffer();
  if (dest != nullptr) std::memcpy(dest, Data(), static_cast<size_t>(count));
  Consume(static_cast<size_t>(count));
}

std::string TNetManagedBuffer::ExtractString(int32_t count) {
  if (count <= 0) return std::string();
  if (count > Size()) throw ENetNotEnoughDataInBuffer();
  std::string s(reinterpret_cast<const char*>(Data()), static_cast<size_t>(count));
  Consume(static_cast<size_t>(count));
  return s;
}

void TNetManagedBuffer::Remove(int32_t count) { Extract(nullptr, count); }

void TNetManagedBuffer::Clear() {
  data_.clear();
  offset_ = 0;
}

int32_t TNetManagedBuffer::IndexOf(const std::string& needle, int32_t start) const {
  if (needle.empty() || start < 0) return -1;
  const uint8_t* begin = Data();
  const uint8_t* end = begin + Size();
  if (start >= Size()) return -1;
  const uint8_t* it;
  if (needle.size() == 1) {
    it = static_cast<const uint8_t*>(
        std::memchr(begin + start, static_cast<uint8_t>(needle[0]), end - begin - start));
    if (it == nullptr) return -1;
  } else {
    it = std::search(begin + start, end, needle.begin(), needle.end(),
                     [](uint8_t a, char b) { return a == static_cast<uint8_t>(b); });
    if (it == end) return -1;
  }
  return static_cast<int32_t>(it - begin);
}

}  // namespace tallyvox::net
