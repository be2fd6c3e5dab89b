#include "support/dbf_builder.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>

namespace tallyvox::testing {

namespace {

bool IsVfp(uint8_t version) { return version == 0x30 || version == 0x31 || version == 0x32; }

void Put(std::string* s, size_t at, uint64_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) (*s)[at + i] = static_cast<char>((value >> (8 * i)) & 0xFF);
}

}  // namespace

size_t DbfHeaderLength(const TestDbf& t) {
  return 32 + 32 * t.fields.size() + 1 + (IsVfp(t.version) ? 263 : 0);
}

size_t DbfRecordLength(const TestDbf& t) {
  size_t n = 1;
  for (const auto& f : t.fields) n += f.length;
  return n;
}

std::string BuildDbf(const TestDbf& t) {
  const size_t hlen = DbfHeaderLength(t);
  const size_t rlen = DbfRecordLength(t);
  std::string out(hlen, '\0');
  out[0] = static_cast<char>(t.version);
  out[1] = static_cast<char>(t.year - 1900);
  out[2] = static_cast<char>(t.month);
  out[3] = static_cast<char>(t.day);
  Put(&out, 4, t.records.size(), 4);
  Put(&out, 8, hlen, 2);
  Put(&out, 10, rlen, 2);
  out[28] = static_cast<char>(t.table_flags);
  size_t offset = 1;
  for (size_t i = 0; i < t.fields.size(); ++i) {
    const TestDbfField& f = t.fields[i];
    const size_t d = 32 + 32 * i;
    std::memcpy(&out[d], f.name.data(), std::min<size_t>(f.name.size(), 11));
    out[d + 11] = f.type;
    if (IsVfp(t.version)) Put(&out, d + 12, offset, 4);
    out[d + 16] = static_cast<char>(f.length & 0xFF);
    out[d + 17] = static_cast<char>(f.type == 'C' ? (f.length >> 8) : f.decimals);
    offset += f.length;
  }
  out[32 + 32 * t.fields.size()] = 0x0D;
  for (const TestDbfRecord& r : t.records) {
    std::string rec(1, r.deleted ? '*' : ' ');
    for (size_t i = 0; i < t.fields.size(); ++i) {
      const TestDbfField& f = t.fields[i];
      std::string v = i < r.values.size() ? r.values[i] : "";
      const size_t len = static_cast<size_t>(f.length);
      if (f.type == 'C' || f.type == 'L' || f.type == 'D' || f.type == 'M') {
        v.resize(len, ' ');
      } else if (f.type == 'N' || f.type == 'F') {
        if (v.size() > len) throw std::invalid_argument("numeric value too long");
        v = std::string(len - v.size(), ' ') + v;
      } else if (v.empty()) {
        v.assign(len, '\0');
      } else if (v.size() != len) {
        throw std::invalid_argument("binary value of the wrong length");
      }
      rec += v;
    }
    out += rec;
  }
  if (t.end_marker) out += '\x1A';
  return out;
}

std::string DoubleBytes(double value) {
  uint64_t bits;
  std::memcpy(&bits, &value, 8);
  std::string s(8, '\0');
  Put(&s, 0, bits, 8);
  return s;
}

std::string Int32Bytes(int32_t value) {
  std::string s(4, '\0');
  Put(&s, 0, static_cast<uint32_t>(value), 4);
  return s;
}

}  // namespace tallyvox::testing
