#include "middleware/wire/variant.h"
#include "base/text.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <limits>

#include "middleware/wire/value_formatter.h"
#include "middleware/wire/wire_errors.h"

namespace tallyvox::mw {
namespace {

[[noreturn]] void ThrowCast(TVarType from, TVarType to) {
  throw EVariantTypeCastError("Could not convert variant of type (" + VarTypeAsText(from) +
                              ") into type (" + VarTypeAsText(to) + ")");
}

bool IsIntegerKind(TVarType t) {
  switch (t) {
    case varSmallint:
    case varInteger:
    case varError:
    case varShortInt:
    case varByte:
    case varWord:
    case varLongWord:
    case varInt64:
      return true;
    default:
      return false;
  }
}

// The value cut to the width of kind `t`, as a C cast would.
int64_t CutToKind(TVarType t, int64_t v) {
  switch (t) {
    case varSmallint:
      return static_cast<int16_t>(v);
    case varInteger:
    case varError:
      return static_cast<int32_t>(v);
    case varShortInt:
      return static_cast<int8_t>(v);
    case varByte:
      return static_cast<uint8_t>(v);
    case varWord:
      return static_cast<uint16_t>(v);
    case varLongWord:
      return static_cast<uint32_t>(v);
    default:
      return v;
  }
}

bool InRange(TVarType t, int64_t v) { return CutToKind(t, v) == v; }

std::string_view Trimmed(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return s;
}

// Decimal integer with an optional sign; false when the text is not one.
bool ParseInt64(std::string_view s, int64_t* out) {
  s = Trimmed(s);
  if (!s.empty() && s.front() == '+') s.remove_prefix(1);
  if (s.empty()) return false;
  auto [ptr, ec] = std::from_chars(s.data(), s.data() + s.size(), *out);
  return ec == std::errc() && ptr == s.data() + s.size();
}

bool ParseUInt64(std::string_view s, uint64_t* out) {
  s = Trimmed(s);
  if (!s.empty() && s.front() == '+') s.remove_prefix(1);
  if (s.empty()) return false;
  auto [ptr, ec] = std::from_chars(s.data(), s.data() + s.size(), *out);
  return ec == std::errc() && ptr == s.data() + s.size();
}

}  // namespace

Variant::Variant(int32_t value) : vtype_(varInteger), i_(value) {}
Variant::Variant(bool value) : vtype_(varBoolean), i_(value ? 1 : 0) {}
Variant::Variant(double value) : vtype_(varDouble), d_(value) {}
Variant::Variant(const char* value) : vtype_(varString), s_(value) {}
Variant::Variant(std::string value) : vtype_(varString), s_(std::move(value)) {}

Variant Variant::Null() {
  Variant v;
  v.vtype_ = varNull;
  return v;
}

Variant Variant::String(std::string bytes) { return Variant(std::move(bytes)); }

Variant Variant::WideString(std::string utf8) {
  Variant v(std::move(utf8));
  v.vtype_ = varOleStr;
  return v;
}

Variant Variant::Integer(TVarType type, int64_t value) {
  if (!IsIntegerKind(type)) ThrowCast(varInt64, type);
  Variant v;
  v.vtype_ = type;
  v.i_ = CutToKind(type, value);
  return v;
}

Variant Variant::UInt64(uint64_t value) {
  Variant v;
  v.vtype_ = varUInt64;
  v.i_ = static_cast<int64_t>(value);
  return v;
}

Variant Variant::Single(float value) {
  Variant v;
  v.vtype_ = varSingle;
  v.d_ = value;
  return v;
}

Variant Variant::Currency(double value) {
  Variant v;
  v.vtype_ = varCurrency;
  v.i_ = std::llround(value * 10000.0);
  return v;
}

Variant Variant::DateTime(TDateTime value) {
  Variant v;
  v.vtype_ = varDate;
  v.d_ = value;
  return v;
}

Variant Variant::Object(std::shared_ptr<TMwObject> object) {
  Variant v;
  v.vtype_ = varObject;
  v.object_ = std::move(object);
  return v;
}

Variant Variant::Array(TVarType element_type, int32_t low_bound, std::vector<Variant> items) {
  Variant v;
  v.vtype_ = static_cast<TVarType>((element_type & varTypeMask) | varArray);
  v.dimensions_ = 1;
  v.low_ = low_bound;
  v.items_ = std::move(items);
  return v;
}

Variant Variant::ByteArray(int32_t low_bound, std::vector<uint8_t> bytes) {
  Variant v;
  v.vtype_ = varByte | varArray;
  v.dimensions_ = 1;
  v.low_ = low_bound;
  v.bytes_ = std::move(bytes);
  return v;
}

Variant Variant::MultiDimArray(TVarType element_type, int dimensions) {
  Variant v;
  v.vtype_ = static_cast<TVarType>((element_type & varTypeMask) | varArray);
  v.dimensions_ = dimensions;
  return v;
}

Variant Variant::OfText(TVarType type, std::string text) {
  Variant v(std::move(text));
  v.vtype_ = type;
  return v;
}

int32_t Variant::ArrayHighBound() const {
  const size_t n = IsByteArray() ? bytes_.size() : items_.size();
  return static_cast<int32_t>(static_cast<int64_t>(low_) + static_cast<int64_t>(n) - 1);
}

int64_t Variant::AsInt64() const {
  if (IsIntegerKind(vtype_) || vtype_ == varUInt64) return i_;
  switch (vtype_) {
    case varEmpty:
      return 0;
    case varBoolean:
      return i_ ? -1 : 0;
    case varSingle:
    case varDouble:
    case varDate:
      if (!std::isfinite(d_) || std::fabs(d_) > 9.2e18) ThrowCast(vtype_, varInt64);
      return std::llrint(d_);
    case varCurrency:
      return std::llrint(static_cast<double>(i_) / 10000.0);
    case varString:
    case varOleStr: {
      int64_t v;
      if (!ParseInt64(s_, &v)) ThrowCast(vtype_, varInt64);
      return v;
    }
    default:
      ThrowCast(vtype_, varInt64);
  }
}

double Variant::AsDouble() const {
  switch (vtype_) {
    case varEmpty:
      return 0;
    case varSingle:
    case varDouble:
    case varDate:
      return d_;
    case varCurrency:
      return static_cast<double>(i_) / 10000.0;
    case varUInt64:
      return static_cast<double>(static_cast<uint64_t>(i_));
    case varBoolean:
      return i_ ? -1.0 : 0.0;
    case varString:
    case varOleStr:
      try {
        return MwTextToFloat(s_);
      } catch (const EConvertError&) {
        ThrowCast(vtype_, varDouble);
      }
    default:
      if (IsIntegerKind(vtype_)) return static_cast<double>(i_);
      ThrowCast(vtype_, varDouble);
  }
}

bool Variant::AsBoolean() const {
  switch (vtype_) {
    case varEmpty:
      return false;
    case varBoolean:
      return i_ != 0;
    case varSingle:
    case varDouble:
    case varDate:
      return d_ != 0;
    case varString:
    case varOleStr:
      return VarFromText(varBoolean, s_).i_ != 0;
    default:
      if (IsIntegerKind(vtype_) || vtype_ == varUInt64 || vtype_ == varCurrency) return i_ != 0;
      ThrowCast(vtype_, varBoolean);
  }
}

std::string Variant::AsString() const {
  switch (vtype_) {
    case varEmpty:
    case varNull:
      return std::string();
    case varBoolean:
      return i_ ? "True" : "False";
    case varSingle:
    case varDouble:
      return MwFloatToText(d_);
    case varCurrency:
      return MwFloatToText(static_cast<double>(i_) / 10000.0);
    case varDate:
      return MwDateTimeToText(d_);
    case varUInt64:
      return std::to_string(static_cast<uint64_t>(i_));
    case varString:
    case varOleStr:
      return s_;
    default:
      if (IsIntegerKind(vtype_)) return std::to_string(i_);
      if (IsArray() || vtype_ == varObject || vtype_ == varDispatch || vtype_ == varUnknown) {
        ThrowCast(vtype_, varString);
      }
      return s_;  // a code held as its text form
  }
}

bool Variant::operator==(const Variant& o) const {
  if (vtype_ != o.vtype_) return false;
  if (IsArray()) {
    return dimensions_ == o.dimensions_ && low_ == o.low_ && items_ == o.items_ &&
           bytes_ == o.bytes_;
  }
  switch (vtype_) {
    case varEmpty:
    case varNull:
      return true;
    case varSingle:
    case varDouble:
    case varDate:
      return d_ == o.d_ || (std::isnan(d_) && std::isnan(o.d_));
    case varObject:
      return object_ == o.object_;
    case varString:
    case varOleStr:
      return s_ == o.s_;
    default:
      return i_ == o.i_ && s_ == o.s_;
  }
}

std::string VarTypeAsText(TVarType type) {
  if (type & varArray) {
    return "Array " + VarTypeAsText(static_cast<TVarType>(type & varTypeMask));
  }
  switch (type) {
    case varEmpty:
      return "Empty";
    case varNull:
      return "Null";
    case varSmallint:
      return "Smallint";
    case varInteger:
      return "Integer";
    case varSingle:
      return "Single";
    case varDouble:
      return "Double";
    case varCurrency:
      return "Currency";
    case varDate:
      return "Date";
    case varOleStr:
      return "OleStr";
    case varDispatch:
      return "Dispatch";
    case varError:
      return "Error";
    case varBoolean:
      return "Boolean";
    case varVariant:
      return "Variant";
    case varUnknown:
      return "Unknown";
    case varShortInt:
      return "ShortInt";
    case varByte:
      return "Byte";
    case varWord:
      return "Word";
    case varLongWord:
      return "LongWord";
    case varInt64:
      return "Int64";
    case varUInt64:
      return "UInt64";
    case varString:
      return "String";
    case varObject:
      return "Object";
    default: {
      char buf[8];
      std::snprintf(buf, sizeof(buf), "$%04X", static_cast<unsigned>(type));
      return buf;
    }
  }
}

Variant VarFromText(TVarType type, std::string_view text) {
  if (IsIntegerKind(type)) {
    int64_t v;
    if (!ParseInt64(text, &v) || !InRange(type, v)) ThrowCast(varString, type);
    return Variant::Integer(type, v);
  }
  switch (type) {
    case varUInt64: {
      uint64_t v;
      if (!ParseUInt64(text, &v)) ThrowCast(varString, type);
      return Variant::UInt64(v);
    }
    case varBoolean: {
      const std::string_view t = Trimmed(text);
      if (SameText(t, "True")) return Variant(true);
      if (SameText(t, "False")) return Variant(false);
      int64_t v;
      if (!ParseInt64(t, &v)) ThrowCast(varString, type);
      return Variant(v != 0);
    }
    case varString:
      return Variant::String(std::string(text));
    case varOleStr:
      return Variant::WideString(SanitizeUtf8(text));
    case varSingle:
    case varDouble:
    case varCurrency:
      try {
        const double d = MwTextToFloat(text);
        return type == varCurrency ? Variant::Currency(d) : Variant(d);
      } catch (const EConvertError&) {
        ThrowCast(varString, type);
      }
    case varDate:
      return Variant::DateTime(MwTextToDateTime(text));
    default:
      ThrowCast(varString, type);
  }
}

std::string SanitizeUtf8(std::string_view in) {
  std::string out;
  out.reserve(in.size());
  size_t i = 0;
  while (i < in.size()) {
    const auto c = static_cast<unsigned char>(in[i]);
    size_t len = 0;
    uint32_t cp = 0;
    if (c < 0x80) {
      out.push_back(static_cast<char>(c));
      ++i;
      continue;
    } else if (c >= 0xC2 && c <= 0xDF) {
      len = 2;
      cp = c & 0x1F;
    } else if (c >= 0xE0 && c <= 0xEF) {
      len = 3;
      cp = c & 0x0F;
    } else if (c >= 0xF0 && c <= 0xF4) {
      len = 4;
      cp = c & 0x07;
    }
    bool ok = len > 0 && i + len <= in.size();
    for (size_t k = 1; ok && k < len; ++k) {
      const auto cc = static_cast<unsigned char>(in[i + k]);
      if ((cc & 0xC0) != 0x80) ok = false;
      cp = (cp << 6) | (cc & 0x3F);
    }
    if (ok) {
      // Overlong forms, surrogates and values above U+10FFFF are invalid.
      if ((len == 3 && cp < 0x800) || (len == 4 && (cp < 0x10000 || cp > 0x10FFFF)) ||
          (cp >= 0xD800 && cp <= 0xDFFF)) {
        ok = false;
      }
    }
    if (ok) {
      out.append(in.substr(i, len));
      i += len;
    } else {
      out.append("\xEF\xBF\xBD");
      ++i;
    }
  }
  return out;
}

}  // namespace tallyvox::mw
