// Fuzzes the variant decoder: any byte string must decode or raise, never
// crash or read out of bounds. Whatever decodes is encoded again; a second
// decode/encode cycle must reproduce those bytes exactly.
#include <cstddef>
#include <cstdint>
#include <exception>
#include <string>

#include "middleware/wire/value_formatter.h"

using namespace tallyvox::mw;

namespace {

std::string EncodeAll(const TMwVariantList& values, bool raw) {
  TMwStrings params;
  if (raw) params.Add("MW_STANDARDTRANSPORTSTREAM_FORMAT=RAW");
  TMwMemoryStream buf;
  TMwStandardTransportStreamFormatter f(&params, &buf, nullptr);
  for (const Variant& v : values) f.WriteVariant("V", v);
  return buf.ToString();
}

TMwVariantList DecodeAll(const std::string& bytes, bool raw, int32_t limit) {
  TMwStrings params;
  if (raw) params.Add("MW_STANDARDTRANSPORTSTREAM_FORMAT=RAW");
  TMwMemoryStream buf;
  buf.Assign(bytes);
  TMwStandardTransportStreamFormatter f(&params, &buf, nullptr);
  f.SetMaxStringSize(limit);
  f.SetMaxArraySize(limit);
  f.SetMaxBinaryArraySize(limit);
  f.SetMaxStreamSize(limit);
  TMwVariantList out;
  while (buf.Remaining() > 0) out.push_back(f.ReadVariant("V"));
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const bool raw = (data[0] & 1) != 0;
  const int32_t limit = (data[0] & 2) != 0 ? data[0] >> 2 : 0;
  const std::string bytes(reinterpret_cast<const char*>(data + 1), size - 1);
  TMwVariantList first;
  try {
    first = DecodeAll(bytes, raw, limit);
  } catch (const std::exception&) {
    return 0;  // a clean refusal
  }
  std::string once;
  try {
    once = EncodeAll(first, raw);
  } catch (const std::exception&) {
    return 0;  // e.g. a date outside 1..9999 read raw cannot be written as text
  }
  const std::string twice = EncodeAll(DecodeAll(once, raw, 0), raw);
  if (once != twice) __builtin_trap();
  return 0;
}
