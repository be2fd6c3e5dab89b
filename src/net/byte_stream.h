// TNetByteStream: the seekable byte stream that ReadToStream fills and
// WriteFromStream drains. The network layer knows streams only through this
// interface, so a caller can adapt its own buffer type (the middleware
// transport adapts its message buffer). TNetMemoryStream is the in-memory
// implementation.
//
// Invariant: 0 <= Position(). A position past the end is allowed; the next
// Write fills the gap with zero bytes.
#ifndef TALLYVOX_NET_BYTE_STREAM_H_
#define TALLYVOX_NET_BYTE_STREAM_H_

#include <cstdint>
#include <string>
#include <vector>

namespace tallyvox::net {

class TNetByteStream {
 public:
  virtual ~TNetByteStream() = default;
  virtual int64_t Size() const = 0;
  virtual int64_t Position() const = 0;
  // REQUIRES: 0 <= position (a position past the end is allowed; the next
  // Write fills the gap with zero bytes).
  virtual void SetPosition(int64_t position) = 0;
  // Grows (zero-filled) or cuts the stream; cutting below the position moves
  // the position to the new end.
  virtual void SetSize(int64_t size) = 0;
  // Copies up to `count` bytes from the position on; returns the number copied
  // (0 at the end) and advances the position by it.
  virtual int32_t Read(void* buffer, int32_t count) = 0;
  // Writes `count` bytes at the position, growing the stream as needed, and
  // advances the position.
  virtual void Write(const void* buffer, int32_t count) = 0;
};

class TNetMemoryStream : public TNetByteStream {
 public:
  TNetMemoryStream() = default;
  explicit TNetMemoryStream(std::string bytes) : data_(bytes.begin(), bytes.end()) {}

  int64_t Size() const override { return static_cast<int64_t>(data_.size()); }
  int64_t Position() const override { return position_; }
  void SetPosition(int64_t position) override { position_ = position < 0 ? 0 : position; }
  void SetSize(int64_t size) override;
  int32_t Read(void* buffer, int32_t count) override;
  void Write(const void* buffer, int32_t count) override;

  const std::vector<uint8_t>& Bytes() const { return data_; }
  std::string ToString() const { return std::string(data_.begin(), data_.end()); }
  // Reserved capacity, for tests that check no allocation ran ahead of data.
  size_t Capacity() const { return data_.capacity(); }

 private:
  std::vector<uint8_t> data_;
  int64_t position_ = 0;
};

}  // namespace tallyvox::net

#endif  // TALLYVOX_NET_BYTE_STREAM_H_
