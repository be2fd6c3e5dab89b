#include "middleware/wire/value_formatter.h"
#include "base/text.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "middleware/wire/transport_stream.h"

namespace tallyvox::mw {
namespace {

[[noreturn]] void ThrowFloatText(std::string_view text) {
  throw EConvertError("'" + std::string(text) + "' is not a valid floating point value");
}

// Keeps the nesting of variants bounded while reading or writing.
class DepthGuard {
 public:
  explicit DepthGuard(int* depth) : depth_(depth) {
    if (++*depth_ > kMwMaxVariantDepth) {
      --*depth_;
      throw EMwException("Variant nesting too deep.", kMwErrNestingTooDeep);
    }
  }
  ~DepthGuard() { --*depth_; }
  DepthGuard(const DepthGuard&) = delete;
  DepthGuard& operator=(const DepthGuard&) = delete;

 private:
  int* depth_;
};

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

int DaysInMonth(int year, int month) {
  static const int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
  return month == 2 && leap ? 29 : kDays[month - 1];
}

int ParseDigits(std::string_view text, size_t from, size_t count) {
  int v = 0;
  for (size_t i = from; i < from + count; ++i) {
    if (!IsDigit(text[i])) {
      throw EConvertError("'" + std::string(text.substr(from, count)) +
                          "' is not a valid integer value");
    }
    v = v * 10 + (text[i] - '0');
  }
  return v;
}

TDateTime ComposeDateTime(const DateTimeParts& p) {
  if (p.year < 1 || p.year > 9999 || p.month < 1 || p.month > 12 || p.day < 1 ||
      p.day > DaysInMonth(p.year, p.month)) {
    throw EConvertError("Invalid argument to date encode");
  }
  if (p.hour > 23 || p.minute > 59 || p.second > 59 || p.millisecond > 999) {
    throw EConvertError("Invalid argument to time encode");
  }
  const double date = EncodeDate(p.year, p.month, p.day);
  const double time = EncodeTime(p.hour, p.minute, p.second, p.millisecond);
  return date < 0 ? date - time : date + time;
}

// The date and time written as digits: year (4 digits), month, day, hour,
// minute, second (2 each) and milliseconds (3) starting at the offsets in
// `at`. REQUIRES: the text reaches at[6] + 3.
TDateTime ComposeDateTimeAt(std::string_view text, const std::array<size_t, 7>& at) {
  DateTimeParts p;
  p.year = ParseDigits(text, at[0], 4);
  p.month = ParseDigits(text, at[1], 2);
  p.day = ParseDigits(text, at[2], 2);
  p.hour = ParseDigits(text, at[3], 2);
  p.minute = ParseDigits(text, at[4], 2);
  p.second = ParseDigits(text, at[5], 2);
  p.millisecond = ParseDigits(text, at[6], 3);
  return ComposeDateTime(p);
}

DateTimeParts DecodeChecked(TDateTime value) {
  // 0001-01-01 .. 9999-12-31 23:59:59.999
  if (!std::isfinite(value) || value <= -693594.0 || value >= 2958466.0) {
    throw EConvertError("Invalid date-time value");
  }
  DateTimeParts p = DecodeDateTime(value);
  if (p.year < 1 || p.year > 9999) throw EConvertError("Invalid date-time value");
  return p;
}

}  // namespace

// ---------------------------------------------------------------- text forms

std::string MwFloatToText(double value, char decimal_separator) {
  if (std::isnan(value)) return "NAN";
  if (std::isinf(value)) return value > 0 ? "INF" : "-INF";
  if (value == 0) return "0";
  char buf[40];
  std::snprintf(buf, sizeof(buf), "%.14e", value);
  // buf: [-]d.dddddddddddddde[+-]xx
  const char* p = buf;
  std::string out;
  if (*p == '-') {
    out.push_back('-');
    ++p;
  }
  std::string digits;
  while (*p && *p != 'e') {
    if (IsDigit(*p)) digits.push_back(*p);
    ++p;
  }
  const int x = std::atoi(p + 1);  // scientific exponent: d.ddd x 10^x
  while (digits.size() > 1 && digits.back() == '0') digits.pop_back();
  const int e = x + 1;  // value = 0.ddd x 10^e
  const int n = static_cast<int>(digits.size());
  if (e >= -3 && e <= 15) {
    if (e <= 0) {
      out += "0";
      out.push_back(decimal_separator);
      out.append(static_cast<size_t>(-e), '0');
      out += digits;
    } else if (e >= n) {
      out += digits;
      out.append(static_cast<size_t>(e - n), '0');
    } else {
      out += digits.substr(0, static_cast<size_t>(e));
      out.push_back(decimal_separator);
      out += digits.substr(static_cast<size_t>(e));
    }
  } else {
    out.push_back(digits[0]);
    if (n > 1) {
      out.push_back(decimal_separator);
      out += digits.substr(1);
    }
    out += "E";
    if (x < 0) out += "-";
    out += std::to_string(x < 0 ? -x : x);
  }
  return out;
}

double MwTextToFloat(std::string_view text, char decimal_separator) {
  std::string s(text);
  const size_t mark = s.find_first_of(",.");
  if (mark != std::string::npos) s[mark] = decimal_separator;
  size_t i = 0;
  while (i < s.size() && (s[i] == ' ' || s[i] == '\t')) ++i;
  size_t end = s.size();
  while (end > i && (s[end - 1] == ' ' || s[end - 1] == '\t')) --end;
  std::string_view body(s.data() + i, end - i);
  bool negative = false;
  if (!body.empty() && (body[0] == '+' || body[0] == '-')) {
    negative = body[0] == '-';
    body.remove_prefix(1);
  }
  if (SameText(body, "INF")) {
    return negative ? -HUGE_VAL : HUGE_VAL;
  }
  if (SameText(body, "NAN")) return std::nan("");
  // digits [sep digits] [E [sign] digits], at least one mantissa digit.
  std::string canon = negative ? "-" : "";
  size_t k = 0;
  size_t mantissa_digits = 0;
  while (k < body.size() && IsDigit(body[k])) canon.push_back(body[k++]), ++mantissa_digits;
  if (k < body.size() && body[k] == decimal_separator) {
    ++k;
    canon.push_back('.');
    while (k < body.size() && IsDigit(body[k])) canon.push_back(body[k++]), ++mantissa_digits;
  }
  if (mantissa_digits == 0) ThrowFloatText(text);
  if (k < body.size() && (body[k] == 'E' || body[k] == 'e')) {
    ++k;
    canon.push_back('e');
    if (k < body.size() && (body[k] == '+' || body[k] == '-')) canon.push_back(body[k++]);
    size_t exp_digits = 0;
    while (k < body.size() && IsDigit(body[k])) canon.push_back(body[k++]), ++exp_digits;
    if (exp_digits == 0) ThrowFloatText(text);
  }
  if (k != body.size()) ThrowFloatText(text);
  if (canon.back() == '.') canon.push_back('0');
  double value = 0;
  const char* first = canon.data();
  auto [ptr, ec] = std::from_chars(first, canon.data() + canon.size(), value);
  if (ec == std::errc::result_out_of_range) {
    // Underflow reads as zero; overflow does not fit a double.
    if (std::strchr(canon.c_str(), 'e') && std::strstr(canon.c_str(), "e-")) return 0.0;
    ThrowFloatText(text);
  }
  if (ec != std::errc() || ptr != canon.data() + canon.size()) ThrowFloatText(text);
  return value;
}

std::string MwDateTimeToText(TDateTime value) {
  const DateTimeParts p = DecodeChecked(value);
  char buf[32];
  std::snprintf(buf, sizeof(buf), "%04d%02d%02d%02d%02d%02d%03d", p.year, p.month, p.day, p.hour,
                p.minute, p.second, p.millisecond);
  return buf;
}

std::string MwDateTimeToLocaleText(TDateTime value, const TMwFormatSettings& settings) {
  const DateTimeParts p = DecodeChecked(value);
  char buf[48];
  std::snprintf(buf, sizeof(buf), "%04d%c%02d%c%02d %02d%c%02d%c%02d%c%03d", p.year,
                settings.date_separator, p.month, settings.date_separator, p.day, p.hour,
                settings.time_separator, p.minute, settings.time_separator, p.second,
                settings.decimal_separator, p.millisecond);
  return buf;
}

TDateTime MwTextToDateTime(std::string_view text) {
  if (text.size() != 17) {
    throw EMwException("Invalid DateTime string length. Should be 17 chars. " + std::string(text),
                       kMwErrDateTimeLength);
  }
  // YYYYMMDDHHNNSSZZZ
  return ComposeDateTimeAt(text, {0, 4, 6, 8, 10, 12, 14});
}

// ---------------------------------------------------------------- registry

TMwRegisteredStreamableObjectList& TMwRegisteredStreamableObjectList::Instance() {
  static TMwRegisteredStreamableObjectList list;
  return list;
}

void TMwRegisteredStreamableObjectList::Register(const std::string& class_name, Factory factory) {
  MutexLock lock(&mu_);
  classes_.emplace_back(class_name, std::move(factory));
}

void TMwRegisteredStreamableObjectList::Unregister(const std::string& class_name) {
  MutexLock lock(&mu_);
  for (auto it = classes_.begin(); it != classes_.end(); ++it) {
    if (SameText(it->first, class_name)) {
      classes_.erase(it);
      return;
    }
  }
}

TMwRegisteredStreamableObjectList::Factory TMwRegisteredStreamableObjectList::Find(
    std::string_view class_name) const {
  MutexLock lock(&mu_);
  for (const auto& entry : classes_) {
    if (SameText(entry.first, class_name)) return entry.second;
  }
  return nullptr;
}

// ---------------------------------------------------------------- budget

void TMwCustomMemoryStreamFormatter::ChargeDecoded(int64_t bytes) {
  if (decode_budget_left_ < 0) decode_budget_left_ = MwDecodeBudget(buffer_->Size());
  if (bytes > decode_budget_left_) ThrowStreamReadError();
  decode_budget_left_ -= bytes;
}

int64_t TMwCustomMemoryStreamFormatter::DecodeBudgetLeft() const {
  return decode_budget_left_ < 0 ? MwDecodeBudget(buffer_->Size()) : decode_budget_left_;
}

// ---------------------------------------------------------------- settings

TMwStringConversion TMwCustomTransportStreamFormatter::StringConversion() const {
  if (overridden_) return conversion_;
  if (stream_ != nullptr && stream_->Transport() != nullptr) {
    return stream_->Transport()->StringConversion();
  }
  return mwscFixed;
}

TMwFormatSettings TMwCustomTransportStreamFormatter::FormatSettings() const {
  if (overridden_) return settings_;
  if (stream_ != nullptr && stream_->Transport() != nullptr) {
    return stream_->Transport()->FormatSettings();
  }
  return TMwFormatSettings{};
}

void TMwCustomTransportStreamFormatter::OverrideStringConversion(TMwStringConversion conversion,
                                                                 TMwFormatSettings settings) {
  overridden_ = true;
  conversion_ = conversion;
  settings_ = settings;
}

// ---------------------------------------------------------------- binary

void TMwCustomBinaryTransportStreamFormatter::WriteInt32(int32_t value) {
  const auto u = static_cast<uint32_t>(value);
  const uint8_t b[4] = {static_cast<uint8_t>(u), static_cast<uint8_t>(u >> 8),
                        static_cast<uint8_t>(u >> 16), static_cast<uint8_t>(u >> 24)};
  buffer_->Write(b, 4);
}

int32_t TMwCustomBinaryTransportStreamFormatter::ReadInt32() {
  const uint8_t* b = buffer_->Consume(4);
  return static_cast<int32_t>(static_cast<uint32_t>(b[0]) | static_cast<uint32_t>(b[1]) << 8 |
                              static_cast<uint32_t>(b[2]) << 16 |
                              static_cast<uint32_t>(b[3]) << 24);
}

std::string TMwCustomBinaryTransportStreamFormatter::FloatText(double value) const {
  const char sep = StringConversion() == mwscFixed ? '.' : FormatSettings().decimal_separator;
  return MwFloatToText(value, sep);
}

double TMwCustomBinaryTransportStreamFormatter::TextFloat(std::string_view text) const {
  const char sep = StringConversion() == mwscFixed ? '.' : FormatSettings().decimal_separator;
  return MwTextToFloat(text, sep);
}

std::string TMwCustomBinaryTransportStreamFormatter::DateTimeText(TDateTime value) const {
  if (StringConversion() == mwscFixed) return MwDateTimeToText(value);
  return MwDateTimeToLocaleText(value, FormatSettings());
}

TDateTime TMwCustomBinaryTransportStreamFormatter::TextDateTime(std::string_view text) const {
  if (StringConversion() == mwscFixed) return MwTextToDateTime(text);
  const TMwFormatSettings fs = FormatSettings();
  // YYYY?MM?DD HH?NN?SS?ZZZ: 23 characters, separators as configured.
  const char seps[] = {fs.date_separator, fs.date_separator, ' ',
                       fs.time_separator, fs.time_separator, fs.decimal_separator};
  const size_t at[] = {4, 7, 10, 13, 16, 19};
  bool ok = text.size() == 23;
  for (int i = 0; ok && i < 6; ++i) ok = text[at[i]] == seps[i];
  if (!ok) throw EConvertError("'" + std::string(text) + "' is not a valid date and time");
  return ComposeDateTimeAt(text, {0, 5, 8, 11, 14, 17, 20});
}

void TMwCustomBinaryTransportStreamFormatter::WriteWideString(const char* name,
                                                              std::string_view utf8) {
  WriteString(name, utf8);
}

void TMwCustomBinaryTransportStreamFormatter::WriteString(const char*, std::string_view bytes) {
  if (bytes.size() > static_cast<size_t>(kMwMaxMemoryStreamSize)) {
    throw EMwException("Stream write error", kMwErrStreamWrite);
  }
  WriteInt32(static_cast<int32_t>(bytes.size()));
  buffer_->Write(bytes.data(), bytes.size());
}

void TMwCustomBinaryTransportStreamFormatter::WriteText(const char*, std::string_view text,
                                                        std::string_view terminator) {
  buffer_->Write(text);
  buffer_->Write(terminator);
}

void TMwCustomBinaryTransportStreamFormatter::WriteInteger(const char*, int32_t value) {
  WriteInt32(value);
}

void TMwCustomBinaryTransportStreamFormatter::WriteFloat(const char* name, double value) {
  if (UseRawFloats()) {
    buffer_->Write(&value, sizeof(value));  // little-endian host
  } else {
    WriteString(name, FloatText(value));
  }
}

void TMwCustomBinaryTransportStreamFormatter::WriteDateTime(const char* name, TDateTime value) {
  if (UseRawFloats()) {
    buffer_->Write(&value, sizeof(value));
  } else {
    WriteString(name, DateTimeText(value));
  }
}

void TMwCustomBinaryTransportStreamFormatter::WriteBoolean(const char*, bool value) {
  const uint8_t b = value ? 1 : 0;
  buffer_->Write(&b, 1);
}

void TMwCustomBinaryTransportStreamFormatter::WriteObject(
    const char* name, const std::shared_ptr<TMwObject>& object) {
  IMwObject* mw = object ? object->AsMwObject() : nullptr;
  if (mw == nullptr) {
    throw EMwException("Object to stream must implement IMwObject interface.",
                       kMwErrStreamNotMwObject);
  }
  DepthGuard guard(&depth_);
  const std::string class_name = object->ClassName();
  WriteString(name, class_name);
  mw->MwSave(*this);
  WriteString(name, class_name);
}

void TMwCustomBinaryTransportStreamFormatter::WriteVariant(const char* name, const Variant& value) {
  DepthGuard guard(&depth_);
  const TVarType t = value.IsObject() ? varObject : value.VType();
  WriteTypeTag(name, t);
  if (value.IsArray()) {
    if ((t & varTypeMask) == varByte) {
      WriteVariantByteArray(name, value);
    } else {
      WriteVariantArray(name, value);
    }
    return;
  }
  switch (t) {
    case varEmpty:
    case varNull:
      return;
    case varSingle:
    case varDouble:
    case varCurrency:
      WriteFloat(name, value.AsDouble());
      return;
    case varDate:
      WriteDateTime(name, value.AsDouble());
      return;
    case varOleStr:
      WriteWideString(name, value.AsString());
      return;
    case varObject:
      WriteObject(name, value.AsObject());
      return;
    default:
      WriteString(name, value.AsString());
  }
}

void TMwCustomBinaryTransportStreamFormatter::WriteVariantArray(const char* name,
                                                                const Variant& value) {
  if (value.ArrayDimensions() != 1) {
    throw EMwException("WriteVariantArray writes arrays of one dimension only.",
                       kMwErrArrayDimensions);
  }
  WriteCount(name, 1);
  WriteBounds(name, value.ArrayLowBound(), value.ArrayHighBound());
  for (const Variant& item : value.Items()) WriteVariant(name, item);
}

void TMwCustomBinaryTransportStreamFormatter::WriteVariantByteArray(const char* name,
                                                                    const Variant& value) {
  if (value.ArrayDimensions() != 1) {
    throw EMwException("WriteVariantByteArray writes arrays of one dimension only.",
                       kMwErrArrayDimensions);
  }
  WriteCount(name, 1);
  WriteBounds(name, value.ArrayLowBound(), value.ArrayHighBound());
  buffer_->Write(value.Bytes().data(), value.Bytes().size());
}

void TMwCustomBinaryTransportStreamFormatter::WriteStream(const char* name, TMwMemoryStream& source,
                                                          int32_t count) {
  WriteCount(name, count);
  if (count > 0) {
    const uint8_t* p = source.Consume(static_cast<size_t>(count));
    buffer_->Write(p, static_cast<size_t>(count));
  }
}

std::string TMwCustomBinaryTransportStreamFormatter::ReadWideString(const char* name) {
  return SanitizeUtf8(ReadString(name));
}

std::string TMwCustomBinaryTransportStreamFormatter::ReadString(const char*) {
  const int32_t n = ReadInt32();
  if (n == 0) return std::string();
  if (n < 0) ThrowStreamReadError();
  if (max_string_size_ > 0 && n > max_string_size_) {
    throw EMwException("String size out of bounds.", kMwErrStringSize);
  }
  const uint8_t* p = buffer_->Consume(static_cast<size_t>(n));
  ChargeDecoded(n);
  return std::string(reinterpret_cast<const char*>(p), static_cast<size_t>(n));
}

std::string TMwCustomBinaryTransportStreamFormatter::ReadText(const char*,
                                                              std::string_view terminator) {
  const auto* begin = reinterpret_cast<const char*>(buffer_->Data() + buffer_->Position());
  const std::string_view rest(begin, static_cast<size_t>(buffer_->Remaining()));
  const size_t at = terminator.empty() ? rest.size() : rest.find(terminator);
  if (at == std::string_view::npos) ThrowStreamReadError();
  std::string text(rest.substr(0, at));
  buffer_->Consume(at + terminator.size());
  return text;
}

int32_t TMwCustomBinaryTransportStreamFormatter::ReadInteger(const char*) { return ReadInt32(); }

double TMwCustomBinaryTransportStreamFormatter::ReadFloat(const char* name) {
  if (UseRawFloats()) {
    double v;
    buffer_->ReadBuffer(&v, sizeof(v));
    return v;
  }
  return TextFloat(ReadString(name));
}

TDateTime TMwCustomBinaryTransportStreamFormatter::ReadDateTime(const char* name) {
  if (UseRawFloats()) {
    double v;
    buffer_->ReadBuffer(&v, sizeof(v));
    return v;
  }
  return TextDateTime(ReadString(name));
}

bool TMwCustomBinaryTransportStreamFormatter::ReadBoolean(const char*) {
  return *buffer_->Consume(1) == 1;
}

std::shared_ptr<TMwObject> TMwCustomBinaryTransportStreamFormatter::ReadObject(const char* name) {
  DepthGuard guard(&depth_);
  const std::string class_name = ReadString(name);
  auto factory = TMwRegisteredStreamableObjectList::Instance().Find(class_name);
  if (!factory) {
    throw EMwException("Object class " + class_name + " not registered.",
                       kMwErrObjectNotRegistered);
  }
  std::shared_ptr<TMwObject> object = factory();
  IMwObject* mw = object ? object->AsMwObject() : nullptr;
  if (mw == nullptr) {
    throw EMwException("Object to load must implement IMwObject interface.", kMwErrLoadNotMwObject);
  }
  mw->MwInitialize();
  mw->MwLoad(*this);
  ReadString(name);  // closing class name, not compared
  return object;
}

Variant TMwCustomBinaryTransportStreamFormatter::ReadVariant(const char* name) {
  DepthGuard guard(&depth_);
  const int32_t t = ReadTypeTag(name);
  if (t < 0 || t > 0xFFFF) {
    ReadString(name);
    char buf[16];
    std::snprintf(buf, sizeof(buf), "$%08X", static_cast<unsigned>(t));
    throw EVariantTypeCastError("Could not convert variant of type (String) into type (" +
                                std::string(buf) + ")");
  }
  const auto tag = static_cast<TVarType>(t);
  if (tag & varArray) {
    if ((tag & varTypeMask) == varByte) return ReadVariantByteArray(name);
    return ReadVariantArray(name, tag);
  }
  switch (tag) {
    case varEmpty:
      return Variant();
    case varNull:
      return Variant::Null();
    case varSingle:
    case varDouble:
    case varCurrency:
      return Variant(ReadFloat(name));
    case varDate:
      return Variant::DateTime(ReadDateTime(name));
    case varOleStr:
      return Variant::WideString(ReadWideString(name));
    case varObject:
      return Variant::Object(ReadObject(name));
    default:
      return VarFromText(tag, ReadString(name));
  }
}

Variant TMwCustomBinaryTransportStreamFormatter::ReadVariantArray(const char* name, TVarType) {
  if (ReadCount(name) != 1) {
    throw EMwException("ReadVariantArray only supports one dimension.", kMwErrArrayDimensions);
  }
  int32_t low = 0, high = 0;
  ReadBounds(name, &low, &high);
  const int64_t span = static_cast<int64_t>(high) - low;
  if ((max_array_size_ > 0 && span > max_array_size_) || span < -1) {
    throw EMwException("Array size out of bounds.", kMwErrArraySize);
  }
  const int64_t count = span + 1;
  // Every element takes at least its 4-byte tag: refuse counts the buffer
  // cannot hold, then charge the elements' memory before allocating it.
  if (count > buffer_->Remaining() / 4) ThrowStreamReadError();
  ChargeDecoded(count * static_cast<int64_t>(sizeof(Variant)));
  std::vector<Variant> items;
  items.reserve(static_cast<size_t>(count));
  for (int64_t i = 0; i < count; ++i) items.push_back(ReadVariant(name));
  return Variant::Array(varVariant, low, std::move(items));
}

Variant TMwCustomBinaryTransportStreamFormatter::ReadVariantByteArray(const char* name) {
  if (ReadCount(name) != 1) {
    throw EMwException("ReadVariantByteArray only supports one dimension.", kMwErrArrayDimensions);
  }
  int32_t low = 0, high = 0;
  ReadBounds(name, &low, &high);
  const int64_t span = static_cast<int64_t>(high) - low;
  if ((max_binary_array_size_ > 0 && span > max_binary_array_size_) || span < -1) {
    throw EMwException("Binary array size out of bounds.", kMwErrArraySize);
  }
  const auto count = static_cast<size_t>(span + 1);
  const uint8_t* p = buffer_->Consume(count);
  ChargeDecoded(static_cast<int64_t>(count));
  return Variant::ByteArray(low, std::vector<uint8_t>(p, p + count));
}

int32_t TMwCustomBinaryTransportStreamFormatter::ReadStream(const char* name,
                                                            TMwMemoryStream& target) {
  const int32_t n = ReadCount(name);
  if (n < 0) ThrowStreamReadError();
  if (max_stream_size_ > 0 && n > max_stream_size_) {
    throw EMwException("Stream size out of bounds.", kMwErrStreamSize);
  }
  const uint8_t* p = buffer_->Consume(static_cast<size_t>(n));
  ChargeDecoded(n);
  target.Write(p, static_cast<size_t>(n));
  return n;
}

void TMwCustomBinaryTransportStreamFormatter::WriteCount(const char*, int32_t count) {
  WriteInt32(count);
}
void TMwCustomBinaryTransportStreamFormatter::WriteTypeTag(const char*, int32_t tag) {
  WriteInt32(tag);
}
void TMwCustomBinaryTransportStreamFormatter::WriteBounds(const char*, int32_t low, int32_t high) {
  WriteInt32(low);
  WriteInt32(high);
}
void TMwCustomBinaryTransportStreamFormatter::WriteIdent(const char*, int32_t ident) {
  WriteInt32(ident);
}
void TMwCustomBinaryTransportStreamFormatter::WriteVersion(const char*, int32_t version) {
  WriteInt32(version);
}
int32_t TMwCustomBinaryTransportStreamFormatter::ReadCount(const char*) { return ReadInt32(); }
int32_t TMwCustomBinaryTransportStreamFormatter::ReadTypeTag(const char*) { return ReadInt32(); }
void TMwCustomBinaryTransportStreamFormatter::ReadBounds(const char*, int32_t* low, int32_t* high) {
  *low = ReadInt32();
  *high = ReadInt32();
}
int32_t TMwCustomBinaryTransportStreamFormatter::ReadIdent(const char*) { return ReadInt32(); }
int32_t TMwCustomBinaryTransportStreamFormatter::ReadVersion(const char*) { return ReadInt32(); }

TMwStandardTransportStreamFormatter::TMwStandardTransportStreamFormatter(
    const TMwStrings* params, TMwMemoryStream* buffer, TMwCustomTransportStream* stream)
    : TMwCustomBinaryTransportStreamFormatter(params, buffer, stream) {
  raw_floats_ =
      params != nullptr && UpperCase(params->Value("MW_STANDARDTRANSPORTSTREAM_FORMAT")) == "RAW";
}

}  // namespace tallyvox::mw
