#include "middleware/wire/dataset_filer.h"

#include <cstring>

#include "middleware/wire/dataset_errors.h"
#include "middleware/wire/dataset_text.h"

namespace tallyvox::mw {
namespace {

void AppendLittleEndian(uint64_t value, int bytes, std::string* out) {
  for (int i = 0; i < bytes; ++i) out->push_back(static_cast<char>(value >> (8 * i)));
}

uint64_t LoadLittleEndian(const uint8_t* p, int bytes) {
  uint64_t value = 0;
  for (int i = bytes - 1; i >= 0; --i) value = (value << 8) | p[i];
  return value;
}

[[noreturn]] void ThrowReadError() { throw EReadError(kStreamReadError); }
[[noreturn]] void ThrowInvalidValue() { throw EReadError(kInvalidPropertyValue); }

}  // namespace

void TFilerWriter::WriteInteger(int64_t value) {
  if (value >= -128 && value <= 127) {
    out_->push_back(static_cast<char>(vaInt8));
    AppendLittleEndian(static_cast<uint64_t>(value), 1, out_);
  } else if (value >= -32768 && value <= 32767) {
    out_->push_back(static_cast<char>(vaInt16));
    AppendLittleEndian(static_cast<uint64_t>(value), 2, out_);
  } else if (value >= INT32_MIN && value <= INT32_MAX) {
    out_->push_back(static_cast<char>(vaInt32));
    AppendLittleEndian(static_cast<uint64_t>(value), 4, out_);
  } else {
    out_->push_back(static_cast<char>(vaInt64));
    AppendLittleEndian(static_cast<uint64_t>(value), 8, out_);
  }
}

void TFilerWriter::WriteExtended(const TExtendedBytes& value) {
  out_->push_back(static_cast<char>(vaExtended));
  out_->append(reinterpret_cast<const char*>(value.data()), value.size());
}

void TFilerWriter::WriteLength(uint32_t length) { AppendLittleEndian(length, 4, out_); }

void TFilerWriter::WriteTextBytes(std::string_view bytes, bool ascii) {
  if (!ascii) {
    out_->push_back(static_cast<char>(vaUTF8String));
    WriteLength(static_cast<uint32_t>(bytes.size()));
  } else if (bytes.size() <= 255) {
    out_->push_back(static_cast<char>(vaString));
    out_->push_back(static_cast<char>(bytes.size()));
  } else {
    out_->push_back(static_cast<char>(vaLString));
    WriteLength(static_cast<uint32_t>(bytes.size()));
  }
  out_->append(bytes);
}

void TFilerWriter::WriteString(std::string_view text) {
  // The UTF-8 form equals the 8-bit form exactly when the text is plain ASCII.
  if (IsAscii(text)) {
    WriteTextBytes(text, true);
  } else {
    WriteTextBytes(Utf8FromAnsi(text), false);
  }
}

void TFilerWriter::WriteWideString(std::string_view utf8) {
  const std::string valid = ValidUtf8(utf8);
  const size_t units = Utf16Length(valid);
  if (valid.size() < 2 * units) {
    WriteTextBytes(valid, IsAscii(valid));
    return;
  }
  out_->push_back(static_cast<char>(vaWString));
  WriteLength(static_cast<uint32_t>(units));
  AppendUtf16LeFromUtf8(valid, out_);
}

const uint8_t* TFilerReader::Take(size_t count) {
  if (count > size_ - pos_) ThrowReadError();
  const uint8_t* p = data_ + pos_;
  pos_ += count;
  return p;
}

uint8_t TFilerReader::ReadByte() { return *Take(1); }

TValueType TFilerReader::PeekValueType() const {
  if (pos_ >= size_) ThrowReadError();
  return static_cast<TValueType>(data_[pos_]);
}

void TFilerReader::Expect(TValueType type) {
  if (ReadByte() != type) ThrowInvalidValue();
}

uint32_t TFilerReader::ReadLength() { return static_cast<uint32_t>(LoadLittleEndian(Take(4), 4)); }

int64_t TFilerReader::ReadIntegerOfType(uint8_t type) {
  switch (type) {
    case vaInt8:
      return static_cast<int8_t>(*Take(1));
    case vaInt16:
      return static_cast<int16_t>(LoadLittleEndian(Take(2), 2));
    case vaInt32:
      return static_cast<int32_t>(LoadLittleEndian(Take(4), 4));
    case vaInt64:
      return static_cast<int64_t>(LoadLittleEndian(Take(8), 8));
    default:
      ThrowInvalidValue();
  }
}

int32_t TFilerReader::ReadInteger() {
  const uint8_t type = ReadByte();
  if (type == vaInt64) ThrowInvalidValue();
  return static_cast<int32_t>(ReadIntegerOfType(type));
}

TExtendedBytes TFilerReader::ReadExtended() {
  const uint8_t type = ReadByte();
  if (type == vaExtended) {
    TExtendedBytes value;
    std::memcpy(value.data(), Take(value.size()), value.size());
    return value;
  }
  return ExtendedFromRatio(ReadIntegerOfType(type), 1);
}

std::string_view TFilerReader::ReadTextPayload(uint8_t type, bool* utf8) {
  size_t length;
  switch (type) {
    case vaString:
      length = *Take(1);
      *utf8 = false;
      break;
    case vaLString:
      length = ReadLength();
      *utf8 = false;
      break;
    case vaUTF8String:
      length = ReadLength();
      *utf8 = true;
      break;
    default:
      ThrowInvalidValue();
  }
  return std::string_view(reinterpret_cast<const char*>(Take(length)), length);
}

const uint8_t* TFilerReader::TakeWideUnits(size_t* units) {
  *units = ReadLength();
  if (*units > Remaining() / 2) ThrowReadError();
  return Take(*units * 2);
}

std::string TFilerReader::ReadString() {
  const uint8_t type = ReadByte();
  if (type == vaWString) {
    size_t units = 0;
    const uint8_t* bytes = TakeWideUnits(&units);
    return AnsiFromUtf8(Utf8FromUtf16Le(bytes, units));
  }
  bool utf8;
  const std::string_view payload = ReadTextPayload(type, &utf8);
  return utf8 ? AnsiFromUtf8(payload) : std::string(payload);
}

std::string TFilerReader::ReadWideString() {
  const uint8_t type = ReadByte();
  if (type == vaWString) {
    size_t units = 0;
    const uint8_t* bytes = TakeWideUnits(&units);
    return Utf8FromUtf16Le(bytes, units);
  }
  bool utf8;
  const std::string_view payload = ReadTextPayload(type, &utf8);
  return utf8 ? ValidUtf8(payload) : Utf8FromAnsi(payload);
}

std::string TFilerReader::ReadRaw(size_t count) {
  const uint8_t* p = Take(count);
  return std::string(reinterpret_cast<const char*>(p), count);
}

void TFilerReader::ReadSignature(char signature[4]) { std::memcpy(signature, Take(4), 4); }

void TFilerReader::SkipValue() {
  size_t depth = 0;  // open lists being skipped
  do {
    const uint8_t type = ReadByte();
    switch (type) {
      case vaNull:
        if (depth > 0) --depth;
        break;
      case vaList:
        ++depth;
        break;
      case vaInt8:
      case vaInt16:
      case vaInt32:
      case vaInt64:
        ReadIntegerOfType(type);
        break;
      case vaExtended:
        Take(10);
        break;
      case vaFalse:
      case vaTrue:
        break;
      case vaString:
      case vaLString:
      case vaUTF8String: {
        bool utf8;
        ReadTextPayload(type, &utf8);
        break;
      }
      case vaWString: {
        size_t units = 0;
        TakeWideUnits(&units);
        break;
      }
      default:
        ThrowInvalidValue();
    }
  } while (depth > 0);
}

}  // namespace tallyvox::mw
