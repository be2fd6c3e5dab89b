// TMwMemoryStream: the growable byte buffer that holds one encoded message.
//
// A stream has a size (bytes held), a position (where the next read or write
// happens) and a capacity (bytes allocated). Writing past the size extends
// it. When a write needs more room than the capacity, the new capacity is
//   needed + capacity / 2            while capacity <  1,048,576
//   needed + 1,048,576               once capacity  >= 1,048,576
// rounded up to a multiple of 8,192 bytes. The size never exceeds
// kMwMaxMemoryStreamSize (a write that would exceed it raises "Stream write
// error" and changes nothing), so every length fits an int32.
//
// Reads never go past the size: Read() returns what is there, ReadBuffer()
// raises EMwException kMwErrStreamRead "Stream read error" when fewer bytes
// remain than asked for (and then consumes nothing).
//
// Not thread-safe: one stream is used by one thread at a time.
#ifndef TALLYVOX_MIDDLEWARE_WIRE_MEMORY_STREAM_H_
#define TALLYVOX_MIDDLEWARE_WIRE_MEMORY_STREAM_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace tallyvox::mw {

constexpr int64_t kMwMaxMemoryStreamSize = 0x7FFFFFFF;
constexpr int64_t kMwMemoryStreamBlock = 8192;
constexpr int64_t kMwMemoryStreamLargeStep = 1048576;

class TMwMemoryStream {
 public:
  TMwMemoryStream() = default;
  TMwMemoryStream(const TMwMemoryStream& other);
  TMwMemoryStream& operator=(const TMwMemoryStream& other);
  TMwMemoryStream(TMwMemoryStream&&) noexcept = default;
  TMwMemoryStream& operator=(TMwMemoryStream&&) noexcept = default;

  int64_t Size() const { return size_; }
  int64_t Position() const { return position_; }
  int64_t Capacity() const { return capacity_; }
  int64_t Remaining() const { return size_ > position_ ? size_ - position_ : 0; }
  const uint8_t* Data() const { return data_.get(); }
  uint8_t* MutableData() { return data_.get(); }

  // REQUIRES: 0 <= position (a position past the size is allowed; the next
  // write fills the gap with zeros).
  void Seek(int64_t position);
  void Rewind() { position_ = 0; }
  // Size 0, position 0, memory released.
  void Clear();
  // Changes the size (growing fills with zeros); the position is kept unless
  // it lies past the new size, then it moves to the end.
  void SetSize(int64_t size);

  // Writes at the position and advances it.
  void Write(const void* data, size_t count);
  void Write(std::string_view bytes) { Write(bytes.data(), bytes.size()); }
  // Copies up to `count` bytes into `out`; returns how many were copied.
  size_t Read(void* out, size_t count);
  // Copies exactly `count` bytes or raises "Stream read error".
  void ReadBuffer(void* out, size_t count);
  // Returns a pointer to the next `count` bytes and advances past them, or
  // raises "Stream read error". The pointer is valid until the next write.
  const uint8_t* Consume(size_t count);

  // Replaces the contents with `bytes`, position 0.
  void Assign(const void* data, size_t count);
  void Assign(std::string_view bytes) { Assign(bytes.data(), bytes.size()); }
  // Writes `count` bytes read from `source` (at its position) into this
  // stream; a count of 0 copies everything from source position 0 to its end
  // (the source is rewound first). Short sources raise "Stream read error".
  void CopyFrom(TMwMemoryStream& source, int64_t count);

  // The whole contents as a string / byte vector (position ignored).
  std::string ToString() const;
  std::vector<uint8_t> ToBytes() const;

 private:
  // Grows the capacity (by the rule above) so that `needed` bytes fit.
  void Reserve(int64_t needed);

  std::unique_ptr<uint8_t[]> data_;
  int64_t size_ = 0;
  int64_t position_ = 0;
  int64_t capacity_ = 0;
};

// The capacity a stream with `capacity` grows to when `needed` bytes must fit.
int64_t MwMemoryStreamGrowth(int64_t capacity, int64_t needed);

}  // namespace tallyvox::mw

#endif  // TALLYVOX_MIDDLEWARE_WIRE_MEMORY_STREAM_H_
