// The value formatter: turns single values into bytes and back, at the
// current position of a TMwMemoryStream. Every header and body field of a
// transport stream goes through it. Each operation takes a field name first;
// the binary formatter writes no names, so a reader must call the read
// operations in exactly the writer's order. All integers are little-endian.
//
// Primitive encodings:
//   int32        4 bytes
//   boolean      1 byte, 01 true / 00 false; reads true only for 01
//   string       int32 n, then n bytes (no terminator); "" is 00 00 00 00
//   wide string  the UTF-8 bytes as a string
//   float        RawFloats: 8 bytes IEEE-754; else the text form as a string
//   date-time    RawFloats: 8 bytes double; else 17 digits
//                YYYYMMDDHHNNSSZZZ as a string
//   stream       int32 n, then n bytes
// Variant: int32 type tag, then by tag: 0/1 nothing; 4/5/6 float; 7
// date-time; 8 wide string; 0x05A0 object (class name, fields, class name);
// 0x2011 byte array (int32 1, int32 low, int32 high, raw bytes); other arrays
// (int32 1, low, high, each element as a full variant); any other tag the
// value's text form as a string.
//
// Reading never goes past the end of the buffer and never allocates from a
// length before the bytes it announces are there: every short read raises
// EMwException kMwErrStreamRead "Stream read error" (also a negative string,
// stream or array length). A failing read leaves the position where the
// failure happened; the stream is then to be abandoned.
//
// Limits on reading (0 or less = no limit): MaxStringSize, MaxStreamSize,
// MaxArraySize (high - low of variant arrays), MaxBinaryArraySize.
// Nesting of arrays/objects is capped at kMwMaxVariantDepth.
//
// Decoded memory: an element needs as little as its 4-byte tag on the wire
// but becomes a Variant of sizeof(Variant) bytes, so counts that fit the
// bytes left can still claim far more memory than the message holds. Reading
// therefore spends a budget per message, MwDecodeBudget(size of the buffer),
// charged before anything is allocated: sizeof(Variant) per array element,
// the bytes of every string, byte array and stream section, and whatever
// the stream layouts charge for their argument and attribute lists. A read
// that would exceed it raises "Stream read error" like a short read. The
// budget is set at the first charge after ResetDecodeBudget() (the stream
// calls it where decoding of a message starts) from the buffer's size then.
// A message that holds nothing but empty values (4 bytes each, 32 decoded
// bytes per message byte) passes up to the allowance; every other value
// costs at most 16 decoded bytes per message byte.
#ifndef TALLYVOX_MIDDLEWARE_WIRE_VALUE_FORMATTER_H_
#define TALLYVOX_MIDDLEWARE_WIRE_VALUE_FORMATTER_H_

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "base/datetime.h"
#include "base/mutex.h"
#include "middleware/wire/memory_stream.h"
#include "middleware/wire/string_list.h"
#include "middleware/wire/variant.h"
#include "middleware/wire/wire_errors.h"

namespace tallyvox::mw {

class TMwCustomTransportStream;

constexpr int kMwMaxVariantDepth = 64;

// The decoded-memory budget of a message of `message_size` bytes: a fixed
// allowance plus kMwDecodedBytesPerMessageByte per byte.
constexpr int64_t kMwDecodeAllowance = int64_t{1} << 20;
constexpr int64_t kMwDecodedBytesPerMessageByte = 16;
constexpr int64_t MwDecodeBudget(int64_t message_size) {
  return kMwDecodeAllowance + kMwDecodedBytesPerMessageByte * message_size;
}

// How floats and date-times are written as text.
enum TMwStringConversion : uint8_t { mwscLocale = 0, mwscFixed = 1 };

// Locale settings used under mwscLocale: floats in the general form with
// DecimalSeparator; date-times as Y<ds>M<ds>D H<ts>N<ts>S<decimal>ZZZ with
// 4-digit year and 2-digit fields (ZZZ 3 digits).
struct TMwFormatSettings {
  char decimal_separator = '.';
  char date_separator = '-';
  char time_separator = ':';
};

// The fixed text forms (mwscFixed).
// General form, at most 15 significant digits: fixed notation when the
// decimal exponent e (value = 0.d1d2.. x 10^e) is in -3..15, otherwise
// scientific ("1E20", "1.5E-10"); "INF", "-INF", "NAN".
std::string MwFloatToText(double value, char decimal_separator = '.');
// Replaces the first ',' or '.' by `decimal_separator` and parses; raises
// EConvertError "'TEXT' is not a valid floating point value".
double MwTextToFloat(std::string_view text, char decimal_separator = '.');
// Exactly 17 digits. Raises EConvertError for a value outside years
// 1..9999 or not finite.
std::string MwDateTimeToText(TDateTime value);
// REQUIRES 17 characters, else EMwException 0x00E00004 "Invalid DateTime
// string length. Should be 17 chars. " + text; non-digits or an invalid
// date/time raise EConvertError.
TDateTime MwTextToDateTime(std::string_view text);
// The locale text form (mwscLocale): "YYYY?MM?DD HH?NN?SS?ZZZ", 23
// characters, with the date, time and decimal separators of `settings`.
// Raises EConvertError like MwDateTimeToText.
std::string MwDateTimeToLocaleText(TDateTime value, const TMwFormatSettings& settings);

// Registry of readable object classes, matched by class name without regard
// to case. Thread-safe. Empty unless a program registers classes.
class TMwRegisteredStreamableObjectList {
 public:
  using Factory = std::function<std::shared_ptr<TMwObject>()>;
  static TMwRegisteredStreamableObjectList& Instance();
  void Register(const std::string& class_name, Factory factory) EXCLUDES(mu_);
  void Unregister(const std::string& class_name) EXCLUDES(mu_);
  // nullptr when the name is not registered.
  Factory Find(std::string_view class_name) const EXCLUDES(mu_);

 private:
  mutable Mutex mu_;
  std::vector<std::pair<std::string, Factory>> classes_ GUARDED_BY(mu_);
};

// Abstract formatter bound to a byte buffer (not owned).
class TMwCustomMemoryStreamFormatter {
 public:
  explicit TMwCustomMemoryStreamFormatter(TMwMemoryStream* buffer) : buffer_(buffer) {}
  virtual ~TMwCustomMemoryStreamFormatter() = default;
  TMwCustomMemoryStreamFormatter(const TMwCustomMemoryStreamFormatter&) = delete;
  TMwCustomMemoryStreamFormatter& operator=(const TMwCustomMemoryStreamFormatter&) = delete;

  TMwMemoryStream& Buffer() { return *buffer_; }

  virtual void Initialize() {}
  virtual void Finalize() {}
  virtual void BeginWrite() {}
  virtual void EndWrite() {}
  virtual void BeginRead() {}
  virtual void EndRead() {}

  virtual void WriteWideString(const char* name, std::string_view utf8) = 0;
  virtual void WriteString(const char* name, std::string_view bytes) = 0;
  virtual void WriteText(const char* name, std::string_view text, std::string_view terminator) = 0;
  virtual void WriteInteger(const char* name, int32_t value) = 0;
  virtual void WriteFloat(const char* name, double value) = 0;
  virtual void WriteDateTime(const char* name, TDateTime value) = 0;
  virtual void WriteBoolean(const char* name, bool value) = 0;
  virtual void WriteObject(const char* name, const std::shared_ptr<TMwObject>& object) = 0;
  virtual void WriteVariant(const char* name, const Variant& value) = 0;
  virtual void WriteVariantArray(const char* name, const Variant& value) = 0;
  virtual void WriteVariantByteArray(const char* name, const Variant& value) = 0;
  // Writes int32 count, then `count` bytes from `source` at its position.
  virtual void WriteStream(const char* name, TMwMemoryStream& source, int32_t count) = 0;

  virtual std::string ReadWideString(const char* name) = 0;
  virtual std::string ReadString(const char* name) = 0;
  // Bytes up to (not including) `terminator`, which is consumed.
  virtual std::string ReadText(const char* name, std::string_view terminator) = 0;
  virtual int32_t ReadInteger(const char* name) = 0;
  virtual double ReadFloat(const char* name) = 0;
  virtual TDateTime ReadDateTime(const char* name) = 0;
  virtual bool ReadBoolean(const char* name) = 0;
  virtual std::shared_ptr<TMwObject> ReadObject(const char* name) = 0;
  virtual Variant ReadVariant(const char* name) = 0;
  // Read the array after its tag `tag` has been read.
  virtual Variant ReadVariantArray(const char* name, TVarType tag) = 0;
  virtual Variant ReadVariantByteArray(const char* name) = 0;
  // Reads int32 n and n bytes into `target` at its position; returns n.
  virtual int32_t ReadStream(const char* name, TMwMemoryStream& target) = 0;

  virtual void WriteCount(const char* name, int32_t count) = 0;
  virtual void WriteTypeTag(const char* name, int32_t tag) = 0;
  virtual void WriteBounds(const char* name, int32_t low, int32_t high) = 0;
  virtual void WriteIdent(const char* name, int32_t ident) = 0;
  virtual void WriteVersion(const char* name, int32_t version) = 0;
  virtual int32_t ReadCount(const char* name) = 0;
  virtual int32_t ReadTypeTag(const char* name) = 0;
  virtual void ReadBounds(const char* name, int32_t* low, int32_t* high) = 0;
  virtual int32_t ReadIdent(const char* name) = 0;
  virtual int32_t ReadVersion(const char* name) = 0;

  // Starts the budget of a new message (see the file comment).
  void ResetDecodeBudget() { decode_budget_left_ = -1; }
  // Counts `bytes` of memory a read is about to create; raises EMwException
  // kMwErrStreamRead "Stream read error" when they exceed what is left.
  void ChargeDecoded(int64_t bytes);
  // What is left (MwDecodeBudget(buffer size) before the first charge).
  int64_t DecodeBudgetLeft() const;

  int32_t MaxStringSize() const { return max_string_size_; }
  int32_t MaxStreamSize() const { return max_stream_size_; }
  int32_t MaxArraySize() const { return max_array_size_; }
  int32_t MaxBinaryArraySize() const { return max_binary_array_size_; }
  void SetMaxStringSize(int32_t v) { max_string_size_ = v; }
  void SetMaxStreamSize(int32_t v) { max_stream_size_ = v; }
  void SetMaxArraySize(int32_t v) { max_array_size_ = v; }
  void SetMaxBinaryArraySize(int32_t v) { max_binary_array_size_ = v; }

 protected:
  TMwMemoryStream* buffer_;
  int32_t max_string_size_ = 0;
  int32_t max_stream_size_ = 0;
  int32_t max_array_size_ = 0;
  int32_t max_binary_array_size_ = 0;

 private:
  int64_t decode_budget_left_ = -1;  // -1: set at the next charge
};

// Adds the owning transport stream and its parameters (both may be null for
// a free-standing formatter, which then uses mwscFixed).
class TMwCustomTransportStreamFormatter : public TMwCustomMemoryStreamFormatter {
 public:
  TMwCustomTransportStreamFormatter(const TMwStrings* params, TMwMemoryStream* buffer,
                                    TMwCustomTransportStream* stream)
      : TMwCustomMemoryStreamFormatter(buffer), params_(params), stream_(stream) {}
  const TMwStrings* Params() const { return params_; }
  TMwCustomTransportStream* Stream() const { return stream_; }

  // The owning transport's StringConversion and format settings (mwscFixed
  // and defaults when there is no transport). A free-standing formatter can
  // override them for tests.
  TMwStringConversion StringConversion() const;
  TMwFormatSettings FormatSettings() const;
  void OverrideStringConversion(TMwStringConversion conversion, TMwFormatSettings settings = {});

 private:
  const TMwStrings* params_;
  TMwCustomTransportStream* stream_;
  bool overridden_ = false;
  TMwStringConversion conversion_ = mwscFixed;
  TMwFormatSettings settings_;
};

// The binary encodings described at the top of this file.
class TMwCustomBinaryTransportStreamFormatter : public TMwCustomTransportStreamFormatter {
 public:
  using TMwCustomTransportStreamFormatter::TMwCustomTransportStreamFormatter;

  void WriteWideString(const char* name, std::string_view utf8) override;
  void WriteString(const char* name, std::string_view bytes) override;
  void WriteText(const char* name, std::string_view text, std::string_view terminator) override;
  void WriteInteger(const char* name, int32_t value) override;
  void WriteFloat(const char* name, double value) override;
  void WriteDateTime(const char* name, TDateTime value) override;
  void WriteBoolean(const char* name, bool value) override;
  void WriteObject(const char* name, const std::shared_ptr<TMwObject>& object) override;
  void WriteVariant(const char* name, const Variant& value) override;
  void WriteVariantArray(const char* name, const Variant& value) override;
  void WriteVariantByteArray(const char* name, const Variant& value) override;
  void WriteStream(const char* name, TMwMemoryStream& source, int32_t count) override;

  std::string ReadWideString(const char* name) override;
  std::string ReadString(const char* name) override;
  std::string ReadText(const char* name, std::string_view terminator) override;
  int32_t ReadInteger(const char* name) override;
  double ReadFloat(const char* name) override;
  TDateTime ReadDateTime(const char* name) override;
  bool ReadBoolean(const char* name) override;
  std::shared_ptr<TMwObject> ReadObject(const char* name) override;
  Variant ReadVariant(const char* name) override;
  Variant ReadVariantArray(const char* name, TVarType tag) override;
  Variant ReadVariantByteArray(const char* name) override;
  int32_t ReadStream(const char* name, TMwMemoryStream& target) override;

  void WriteCount(const char* name, int32_t count) override;
  void WriteTypeTag(const char* name, int32_t tag) override;
  void WriteBounds(const char* name, int32_t low, int32_t high) override;
  void WriteIdent(const char* name, int32_t ident) override;
  void WriteVersion(const char* name, int32_t version) override;
  int32_t ReadCount(const char* name) override;
  int32_t ReadTypeTag(const char* name) override;
  void ReadBounds(const char* name, int32_t* low, int32_t* high) override;
  int32_t ReadIdent(const char* name) override;
  int32_t ReadVersion(const char* name) override;

 protected:
  // Float and date-time payloads; the standard formatter picks raw or text.
  virtual bool UseRawFloats() const { return false; }

 private:
  void WriteInt32(int32_t value);
  int32_t ReadInt32();
  std::string FloatText(double value) const;
  double TextFloat(std::string_view text) const;
  std::string DateTimeText(TDateTime value) const;
  TDateTime TextDateTime(std::string_view text) const;

  int depth_ = 0;  // nesting of variants being read or written
};

// The formatter of the "STANDARD" stream format. RawFloats is decided at
// construction: true when params' MW_STANDARDTRANSPORTSTREAM_FORMAT,
// upper-cased, is "RAW". (A transport stream creates its formatter before any
// parameter is set, so streams always use the text forms.)
class TMwStandardTransportStreamFormatter : public TMwCustomBinaryTransportStreamFormatter {
 public:
  TMwStandardTransportStreamFormatter(const TMwStrings* params, TMwMemoryStream* buffer,
                                      TMwCustomTransportStream* stream);
  bool RawFloats() const { return raw_floats_; }

 protected:
  bool UseRawFloats() const override { return raw_floats_; }

 private:
  bool raw_floats_ = false;
};

}  // namespace tallyvox::mw

#endif  // TALLYVOX_MIDDLEWARE_WIRE_VALUE_FORMATTER_H_
