// Variant: the tagged value carried by a request's data and arguments and by
// a response's data and result.
//
// The tag is a 16-bit type code from the OLE Automation set (VARENUM) plus
// varString (0x0100, an 8-bit string) and varObject (0x05A0, an object). An
// array has varArray (0x2000) added to its element code, one dimension and an
// integer low bound; its elements are Variants (each with its own code) except
// for byte arrays (0x2011), which hold raw bytes.
//
// Payloads by code:
//   integers (0x02,0x03,0x0A,0x10..0x15)  held as int64 (uint64 for 0x15)
//   0x04, 0x05, 0x07                       double (0x07 is a TDateTime)
//   0x06 currency                          int64 scaled by 10,000 (exact)
//   0x08 wide string                       UTF-8 text
//   0x0B boolean                           bool
//   0x0100 8-bit string                    bytes as they are
//   0x05A0 object                          shared TMwObject
//   any other code                         text (see VarToStr/VarAsType)
//
// Values are copied deeply (arrays included); objects are shared.
#ifndef TALLYVOX_MIDDLEWARE_WIRE_VARIANT_H_
#define TALLYVOX_MIDDLEWARE_WIRE_VARIANT_H_

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "base/datetime.h"

namespace tallyvox::mw {

using TVarType = uint16_t;

constexpr TVarType varEmpty = 0x0000;
constexpr TVarType varNull = 0x0001;
constexpr TVarType varSmallint = 0x0002;
constexpr TVarType varInteger = 0x0003;
constexpr TVarType varSingle = 0x0004;
constexpr TVarType varDouble = 0x0005;
constexpr TVarType varCurrency = 0x0006;
constexpr TVarType varDate = 0x0007;
constexpr TVarType varOleStr = 0x0008;
constexpr TVarType varDispatch = 0x0009;
constexpr TVarType varError = 0x000A;
constexpr TVarType varBoolean = 0x000B;
constexpr TVarType varVariant = 0x000C;
constexpr TVarType varUnknown = 0x000D;
constexpr TVarType varShortInt = 0x0010;
constexpr TVarType varByte = 0x0011;
constexpr TVarType varWord = 0x0012;
constexpr TVarType varLongWord = 0x0013;
constexpr TVarType varInt64 = 0x0014;
constexpr TVarType varUInt64 = 0x0015;
constexpr TVarType varString = 0x0100;
constexpr TVarType varObject = 0x05A0;
constexpr TVarType varTypeMask = 0x0FFF;
constexpr TVarType varArray = 0x2000;
constexpr TVarType varByRef = 0x4000;

class TMwObject;
class TMwCustomTransportStreamFormatter;

// The object interface a streamable object implements: initialise, then
// save its own fields to / load them from a formatter.
class IMwObject {
 public:
  virtual ~IMwObject() = default;
  virtual void MwInitialize() = 0;
  virtual void MwSave(TMwCustomTransportStreamFormatter& formatter) = 0;
  virtual void MwLoad(TMwCustomTransportStreamFormatter& formatter) = 0;
};

// Base of every object a Variant can carry. An object travels only when
// AsMwObject() answers its IMwObject (the interface query).
class TMwObject {
 public:
  virtual ~TMwObject() = default;
  virtual std::string ClassName() const = 0;
  virtual IMwObject* AsMwObject() { return nullptr; }
};

class Variant {
 public:
  // Empty (0x0000).
  Variant() = default;
  Variant(int32_t value);      // varInteger NOLINT(runtime/explicit)
  Variant(bool value);         // varBoolean NOLINT(runtime/explicit)
  Variant(double value);       // varDouble NOLINT(runtime/explicit)
  Variant(const char* value);  // varString NOLINT(runtime/explicit)
  Variant(std::string value);  // varString NOLINT(runtime/explicit)

  static Variant Null();
  static Variant String(std::string bytes);     // 0x0100
  static Variant WideString(std::string utf8);  // 0x0008
  // Any integer kind: varSmallint, varInteger, varError, varShortInt,
  // varByte, varWord, varLongWord, varInt64. The value is cut to the kind's
  // width as a C cast would.
  static Variant Integer(TVarType type, int64_t value);
  static Variant UInt64(uint64_t value);
  static Variant Single(float value);
  static Variant Currency(double value);  // rounded to 4 decimals
  static Variant DateTime(TDateTime value);
  static Variant Object(std::shared_ptr<TMwObject> object);
  // An array with the given element code (not varByte) and low bound.
  static Variant Array(TVarType element_type, int32_t low_bound, std::vector<Variant> items);
  static Variant ByteArray(int32_t low_bound, std::vector<uint8_t> bytes);
  // An array value of `dimensions` dimensions; only for exercising the
  // one-dimension rule (such values cannot be written).
  static Variant MultiDimArray(TVarType element_type, int dimensions);
  // A value of a code without a native payload, held as its text form.
  static Variant OfText(TVarType type, std::string text);

  TVarType VType() const { return vtype_; }
  bool IsEmpty() const { return vtype_ == varEmpty; }
  bool IsNull() const { return vtype_ == varNull; }
  bool IsArray() const { return (vtype_ & varArray) != 0; }
  bool IsByteArray() const { return IsArray() && (vtype_ & varTypeMask) == varByte; }
  bool IsObject() const { return vtype_ == varObject; }

  // Payload access. Each raises EVariantTypeCastError when the value cannot
  // be converted to the asked kind (e.g. text that is not a number).
  int64_t AsInt64() const;
  int32_t AsInteger() const { return static_cast<int32_t>(AsInt64()); }
  double AsDouble() const;
  bool AsBoolean() const;
  // The text form: integers in decimal, booleans "True"/"False", floats in the
  // general 15-digit form, dates as 17 digits, strings as they are.
  std::string AsString() const;
  // Currency as its scaled int64 (value * 10,000).
  int64_t CurrencyScaled() const { return i_; }
  const std::shared_ptr<TMwObject>& AsObject() const { return object_; }

  // Arrays. REQUIRES: IsArray().
  int ArrayDimensions() const { return dimensions_; }
  int32_t ArrayLowBound() const { return low_; }
  int32_t ArrayHighBound() const;
  const std::vector<Variant>& Items() const { return items_; }
  std::vector<Variant>& MutableItems() { return items_; }
  const std::vector<uint8_t>& Bytes() const { return bytes_; }

  // Same code and equal payload (doubles compared bitwise-equal or both NaN;
  // objects by identity).
  bool operator==(const Variant& other) const;
  bool operator!=(const Variant& other) const { return !(*this == other); }

 private:
  TVarType vtype_ = varEmpty;
  int64_t i_ = 0;  // integers, currency (scaled), boolean, uint64 bits
  double d_ = 0;   // single, double, date
  std::string s_;  // strings and text-held codes
  int dimensions_ = 0;
  int32_t low_ = 0;
  std::vector<Variant> items_;
  std::vector<uint8_t> bytes_;
  std::shared_ptr<TMwObject> object_;
};

using TMwVariantList = std::vector<Variant>;

// The type's name as error texts show it: "Empty", "Null", "Smallint",
// "Integer", "Single", "Double", "Currency", "Date", "OleStr", "Dispatch",
// "Error", "Boolean", "Variant", "Unknown", "ShortInt", "Byte", "Word",
// "LongWord", "Int64", "UInt64", "String", "Object", arrays as
// "Array <name>", anything else "$" + 4 hex digits.
std::string VarTypeAsText(TVarType type);

// Converts text to a value of `type` (the reading side of the text form).
// Raises EVariantTypeCastError "Could not convert variant of type (String)
// into type (NAME)" when the text does not convert.
Variant VarFromText(TVarType type, std::string_view text);

// Replaces invalid UTF-8 sequences by U+FFFD so the result is valid UTF-8.
std::string SanitizeUtf8(std::string_view bytes);

}  // namespace tallyvox::mw

#endif  // TALLYVOX_MIDDLEWARE_WIRE_VARIANT_H_
