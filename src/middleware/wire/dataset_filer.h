// The filer value encoding: the self-describing values a dataset block is
// built from. Every value starts with a type byte:
//
//   0x00 end of list       no payload
//   0x01 list begin        no payload
//   0x02 integer           1 byte, signed
//   0x03 integer           2 bytes, signed, little-endian
//   0x04 integer           4 bytes, signed, little-endian
//   0x05 float             10 bytes, 80-bit x87 extended (dataset_extended.h)
//   0x06 text              1-byte length, then the bytes
//   0x08 false             no payload
//   0x09 true              no payload
//   0x0C text              4-byte length, then the bytes
//   0x12 wide text         4-byte count of UTF-16 units, then UTF-16LE
//   0x13 integer           8 bytes, signed, little-endian
//   0x14 text              4-byte length, then UTF-8 bytes
//
// Writing picks the smallest integer form (0x13 only outside 32 bits), 0x06 or
// 0x0C for plain-ASCII text (by length, 255 at most for 0x06) and 0x14 for any
// other text. Text here is 8-bit text in the table's code page; wide text is
// UTF-8 (dataset_text.h).
#ifndef TALLYVOX_MIDDLEWARE_WIRE_DATASET_FILER_H_
#define TALLYVOX_MIDDLEWARE_WIRE_DATASET_FILER_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "middleware/wire/dataset_extended.h"

namespace tallyvox::mw {

enum TValueType : uint8_t {
  vaNull = 0x00,
  vaList = 0x01,
  vaInt8 = 0x02,
  vaInt16 = 0x03,
  vaInt32 = 0x04,
  vaExtended = 0x05,
  vaString = 0x06,
  vaFalse = 0x08,
  vaTrue = 0x09,
  vaLString = 0x0C,
  vaWString = 0x12,
  vaInt64 = 0x13,
  vaUTF8String = 0x14,
};

// Appends values to a byte string.
class TFilerWriter {
 public:
  explicit TFilerWriter(std::string* out) : out_(out) {}

  void WriteListBegin() { out_->push_back(static_cast<char>(vaList)); }
  void WriteListEnd() { out_->push_back(static_cast<char>(vaNull)); }
  void WriteInteger(int64_t value);
  void WriteBoolean(bool value) { out_->push_back(static_cast<char>(value ? vaTrue : vaFalse)); }
  void WriteExtended(const TExtendedBytes& value);
  void WriteFloat(double value) { WriteExtended(ExtendedFromDouble(value)); }
  // 8-bit text (Windows-1252).
  void WriteString(std::string_view text);
  // Wide text given as UTF-8: as text when its UTF-8 form is shorter than two
  // bytes per UTF-16 unit, else as 0x12.
  void WriteWideString(std::string_view utf8);
  // Bytes without a type byte (signature, blob contents, decimal records).
  void WriteRaw(std::string_view bytes) { out_->append(bytes); }

 private:
  void WriteTextBytes(std::string_view bytes, bool ascii);
  void WriteLength(uint32_t length);

  std::string* out_;
};

// Reads values from a byte range it does not own.
// Invariant: no read goes past the end of the range; every length is checked
// against the bytes that remain before anything is allocated for it. A short
// range raises EReadError "Stream read error"; a value of the wrong type
// EReadError "Invalid property value".
class TFilerReader {
 public:
  TFilerReader(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  explicit TFilerReader(std::string_view bytes)
      : TFilerReader(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()) {}
  // The reader keeps no copy: a temporary string would dangle.
  explicit TFilerReader(std::string&&) = delete;

  size_t Position() const { return pos_; }
  size_t Remaining() const { return size_ - pos_; }

  // The next type byte, not consumed.
  TValueType PeekValueType() const;
  // True when the next value is the end-of-list marker (not consumed).
  bool EndOfList() const { return PeekValueType() == vaNull; }
  void ReadListBegin() { Expect(vaList); }
  void ReadListEnd() { Expect(vaNull); }

  // Accepts 0x02, 0x03, 0x04.
  int32_t ReadInteger();
  // Accepts 0x05 and every integer form (0x02, 0x03, 0x04, 0x13).
  TExtendedBytes ReadExtended();
  double ReadFloat() { return DoubleFromExtended(ReadExtended()); }
  // True for 0x09, false for any other type byte (only the type byte is read).
  bool ReadBoolean() { return ReadByte() == vaTrue; }
  // 8-bit text: 0x06 and 0x0C as they are, 0x12 and 0x14 converted.
  std::string ReadString();
  // Wide text as UTF-8: 0x06 and 0x0C widened, 0x12 and 0x14.
  std::string ReadWideString();
  // `count` bytes without a type byte.
  std::string ReadRaw(size_t count);
  void ReadSignature(char signature[4]);
  // Skips one whole value, lists included (nesting is followed iteratively).
  void SkipValue();

 private:
  uint8_t ReadByte();
  void Expect(TValueType type);
  const uint8_t* Take(size_t count);
  uint32_t ReadLength();
  int64_t ReadIntegerOfType(uint8_t type);
  // Reads the payload of a text value of `type`; *utf8 says which encoding it is in.
  std::string_view ReadTextPayload(uint8_t type, bool* utf8);
  // Reads the payload of a vaWString: its unit count, then two bytes a unit
  // (checked against the bytes left before anything is taken).
  const uint8_t* TakeWideUnits(size_t* units);

  const uint8_t* data_;
  size_t size_;
  size_t pos_ = 0;
};

}  // namespace tallyvox::mw

#endif  // TALLYVOX_MIDDLEWARE_WIRE_DATASET_FILER_H_
