// TNetManagedBuffer: the connection's input buffer of unread received bytes.
//
// Layout: one byte array and a consumed offset; the unread bytes are
// data[offset, data.size()). Size() is their count.
// - Reading from the front advances the offset.
// - When every unread byte is consumed the array is emptied outright.
// - When the consumed offset reaches kCompactAt (32768) the unread bytes are
//   moved to the front and the array is shortened (compaction).
// - Appending always writes at the end.
// Invariant: offset < data.size() or both are 0.
#ifndef TALLYVOX_NET_MANAGED_BUFFER_H_
#define TALLYVOX_NET_MANAGED_BUFFER_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace tallyvox::net {

class TNetManagedBuffer {
 public:
  static constexpr size_t kCompactAt = 32768;

  int32_t Size() const { return static_cast<int32_t>(data_.size() - offset_); }
  bool Empty() const { return data_.size() == offset_; }
  // The unread bytes; valid until the next non-const call.
  const uint8_t* Data() const { return data_.data() + offset_; }

  void Append(const void* bytes, size_t count);
  // Copies the first `count` unread bytes to `dest` (may be null) and
  // consumes them. Raises ENetNotEnoughDataInBuffer when count > Size().
  void Extract(void* dest, int32_t count);
  std::string ExtractString(int32_t count);
  // Consumes `count` bytes without copying them (same guard as Extract).
  void Remove(int32_t count);
  void Clear();

  // 0-based index within the unread bytes of the first occurrence of
  // `needle` at or after `start`, or -1.
  int32_t IndexOf(const std::string& needle, int32_t start = 0) const;

  // Consumed offset inside the array (for tests of the compaction rule).
  size_t ConsumedOffset() const { return offset_; }

 private:
  void Consume(size_t count);

  std::vector<uint8_t> data_;
  size_t offset_ = 0;
};

}  // namespace tallyvox::net

#endif  // TALLYVOX_NET_MANAGED_BUFFER_H_
