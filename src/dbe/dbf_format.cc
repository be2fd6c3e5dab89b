#include "dbe/dbf_format.h"

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <cstring>

namespace tallyvox::dbe {

namespace {

uint16_t Get16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }

uint32_t Get32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
         (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

void Put16(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
}

void Put32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

bool IsKnownFieldType(char type) {
  switch (type) {
    case 'C':
    case 'N':
    case 'F':
    case 'L':
    case 'D':
    case 'I':
    case 'B':
    case 'T':
    case 'Y':
    case 'M':
    case 'G':
    case 'P':
    case 'V':
    case 'Q':
    case '0':
    case '@':
    case '+':
    case 'O':
    case 'W':
      return true;
    default:
      return false;
  }
}

DbfParseResult Fail(DbfHeaderFault fault, std::string detail) {
  DbfParseResult r;
  r.fault = fault;
  r.detail = std::move(detail);
  return r;
}

// Parses one 32-byte descriptor; false when the field is unusable.
bool ParseDescriptor(const uint8_t* d, DbfField* field, std::string* why) {
  size_t name_len = 0;
  while (name_len < 11 && d[name_len] != 0) ++name_len;
  if (name_len == 0 || name_len > kDbfMaxFieldNameLength + 1) {
    *why = "a field has no name";
    return false;
  }
  // Some writers fill all 11 bytes; only 10 characters are significant.
  field->name.assign(reinterpret_cast<const char*>(d), std::min(name_len, kDbfMaxFieldNameLength));
  field->type = static_cast<char>(d[11]);
  field->decimals = d[17];
  field->flags = d[18];
  field->length = d[16];
  if (field->type == 'C') {
    field->length |= static_cast<uint32_t>(d[17]) << 8;
    field->decimals = 0;
  }
  if (!IsKnownFieldType(field->type)) {
    *why = "field " + field->name + " has the unknown type " + std::to_string(d[11]);
    return false;
  }
  if (field->length == 0) {
    *why = "field " + field->name + " has length 0";
    return false;
  }
  return true;
}

}  // namespace

bool IsKnownDbfVersion(uint8_t version) {
  switch (version) {
    case 0x03:
    case 0x30:
    case 0x31:
    case 0x32:
    case 0x43:
    case 0x63:
    case 0x83:
    case 0x8B:
    case 0xCB:
    case 0xF5:
    case 0xFB:
      return true;
    default:
      return false;
  }
}

bool IsVisualFoxProVersion(uint8_t version) {
  return version == 0x30 || version == 0x31 || version == 0x32;
}

uint16_t PeekHeaderLength(std::string_view bytes) {
  return Get16(reinterpret_cast<const uint8_t*>(bytes.data()) + 8);
}

DbfParseResult ParseDbfHeader(std::string_view bytes, uint64_t file_size) {
  const auto* b = reinterpret_cast<const uint8_t*>(bytes.data());
  if (bytes.size() < kDbfHeaderSize || file_size < kDbfHeaderSize) {
    return Fail(DbfHeaderFault::kTruncated, "the file is shorter than a table header");
  }
  DbfParseResult r;
  DbfHeader& h = r.header;
  h.version = b[0];
  if (!IsKnownDbfVersion(h.version)) {
    return Fail(DbfHeaderFault::kNotATable, "unknown version byte " + std::to_string(b[0]));
  }
  h.year = 1900 + b[1];
  h.month = b[2];
  h.day = b[3];
  h.record_count = Get32(b + 4);
  h.header_length = Get16(b + 8);
  h.record_length = Get16(b + 10);
  h.table_flags = b[28];
  const size_t hlen = h.header_length;
  if (hlen < kDbfHeaderSize + kDbfDescriptorSize + 1) {
    return Fail(DbfHeaderFault::kBadHeaderLength,
                "header length " + std::to_string(hlen) + " is too small");
  }
  if (hlen > file_size) {
    return Fail(DbfHeaderFault::kBadHeaderLength, "header length " + std::to_string(hlen) +
                                                      " is beyond the file size " +
                                                      std::to_string(file_size));
  }
  if (bytes.size() < hlen) {
    return Fail(DbfHeaderFault::kTruncated, "the header is incomplete");
  }
  size_t off = kDbfHeaderSize;
  for (;;) {
    if (off >= hlen) {
      return Fail(DbfHeaderFault::kDescriptorsOverrun,
                  "the field descriptors run past the header length " + std::to_string(hlen));
    }
    if (b[off] == kDbfHeaderTerminator) break;
    if (off + kDbfDescriptorSize > hlen || h.fields.size() >= kDbfMaxFields) {
      return Fail(DbfHeaderFault::kDescriptorsOverrun,
                  "the field descriptors run past the header length " + std::to_string(hlen));
    }
    DbfField field;
    std::string why;
    if (!ParseDescriptor(b + off, &field, &why)) return Fail(DbfHeaderFault::kBadField, why);
    h.fields.push_back(std::move(field));
    off += kDbfDescriptorSize;
  }
  if (h.fields.empty()) return Fail(DbfHeaderFault::kBadField, "the table has no fields");
  uint64_t next = 1;
  for (DbfField& f : h.fields) {
    f.offset = static_cast<uint32_t>(next);
    next += f.length;
  }
  if (next > h.record_length) {
    return Fail(DbfHeaderFault::kBadRecordLength,
                "record length " + std::to_string(h.record_length) + " is smaller than the " +
                    std::to_string(next) + " bytes the fields need");
  }
  const uint64_t data_end =
      static_cast<uint64_t>(hlen) + static_cast<uint64_t>(h.record_count) * h.record_length;
  if (data_end > file_size) {
    return Fail(DbfHeaderFault::kRecordCountOverrun,
                "record count " + std::to_string(h.record_count) + " with record length " +
                    std::to_string(h.record_length) + " is beyond the file size " +
                    std::to_string(file_size));
  }
  return r;
}

void EncodeDbfDate(int year, int month, int day, uint8_t out[3]) {
  int y = year - 1900;
  if (y < 0) y = 0;
  if (y > 255) y = 255;
  out[0] = static_cast<uint8_t>(y);
  out[1] = static_cast<uint8_t>(month);
  out[2] = static_cast<uint8_t>(day);
}

std::string EncodeDbfHeader(DbfHeader* header) {
  const bool vfp = IsVisualFoxProVersion(header->version);
  const size_t n = header->fields.size();
  const size_t hlen = kDbfHeaderSize + n * kDbfDescriptorSize + 1 + (vfp ? kDbfVfpBacklinkSize : 0);
  std::string out(hlen, '\0');
  auto* b = reinterpret_cast<uint8_t*>(out.data());
  uint32_t offset = 1;
  for (size_t i = 0; i < n; ++i) {
    DbfField& f = header->fields[i];
    f.offset = offset;
    uint8_t* d = b + kDbfHeaderSize + i * kDbfDescriptorSize;
    std::memcpy(d, f.name.data(), std::min(f.name.size(), kDbfMaxFieldNameLength));
    d[11] = static_cast<uint8_t>(f.type);
    if (vfp) Put32(d + 12, offset);
    d[16] = static_cast<uint8_t>(f.length);
    d[17] = f.type == 'C' ? static_cast<uint8_t>(f.length >> 8) : f.decimals;
    d[18] = f.flags;
    offset += f.length;
  }
  header->header_length = static_cast<uint16_t>(hlen);
  header->record_length = static_cast<uint16_t>(offset);
  b[0] = header->version;
  EncodeDbfDate(header->year, header->month, header->day, b + 1);
  Put32(b + 4, header->record_count);
  Put16(b + 8, header->header_length);
  Put16(b + 10, header->record_length);
  b[28] = header->table_flags;
  b[kDbfHeaderSize + n * kDbfDescriptorSize] = kDbfHeaderTerminator;
  return out;
}

bool IsBinaryFieldType(char type, uint32_t length) {
  switch (type) {
    case 'I':
    case 'T':
    case 'Y':
    case '0':
    case '@':
    case '+':
    case 'O':
    case 'Q':
      return true;
    case 'B':
      return length == 8;
    case 'M':
    case 'G':
    case 'P':
      return length == 4;  // Visual FoxPro stores memo block numbers as integers
    default:
      return false;
  }
}

bool IsMemoFieldType(char type, uint32_t length) {
  switch (type) {
    case 'M':
    case 'G':
    case 'P':
      return true;
    case 'B':
      return length != 8;
    default:
      return false;
  }
}

void BlankField(const DbfField& field, uint8_t* dest) {
  std::memset(dest, IsBinaryFieldType(field.type, field.length) ? 0 : ' ', field.length);
}

namespace {

std::string Trim(std::string_view s) {
  size_t a = 0, e = s.size();
  while (a < e && (s[a] == ' ' || s[a] == '\0')) ++a;
  while (e > a && (s[e - 1] == ' ' || s[e - 1] == '\0')) --e;
  return std::string(s.substr(a, e - a));
}

// Gregorian date of a Julian day number.
void JulianToDate(int64_t jd, int* y, int* m, int* d) {
  int64_t a = jd + 32044;
  int64_t b = (4 * a + 3) / 146097;
  int64_t c = a - 146097 * b / 4;
  int64_t dd = (4 * c + 3) / 1461;
  int64_t e = c - 1461 * dd / 4;
  int64_t mm = (5 * e + 2) / 153;
  *d = static_cast<int>(e - (153 * mm + 2) / 5 + 1);
  *m = static_cast<int>(mm + 3 - 12 * (mm / 10));
  *y = static_cast<int>(100 * b + dd - 4800 + mm / 10);
}

}  // namespace

std::string FieldValueText(const DbfField& field, const uint8_t* bytes) {
  std::string_view raw(reinterpret_cast<const char*>(bytes), field.length);
  char buf[64];
  switch (field.type) {
    case 'C': {
      size_t e = raw.size();
      while (e > 0 && (raw[e - 1] == ' ' || raw[e - 1] == '\0')) --e;
      return std::string(raw.substr(0, e));
    }
    case 'N':
    case 'F':
    case 'L':
    case 'D':
      return Trim(raw);
    default:
      break;
  }
  if (field.type == 'I' && field.length == 4) {
    return std::to_string(static_cast<int32_t>(Get32(bytes)));
  }
  if ((field.type == 'B' || field.type == 'O') && field.length == 8) {
    uint64_t bits = Get32(bytes) | (static_cast<uint64_t>(Get32(bytes + 4)) << 32);
    double v;
    std::memcpy(&v, &bits, sizeof v);
    auto res = std::to_chars(buf, buf + sizeof buf, v);
    return std::string(buf, res.ptr);
  }
  if (field.type == 'T' && field.length == 8) {
    const int32_t jd = static_cast<int32_t>(Get32(bytes));
    const int64_t ms = static_cast<int32_t>(Get32(bytes + 4));
    if (jd == 0 && ms == 0) return "";
    int y, m, d;
    JulianToDate(jd, &y, &m, &d);
    const int64_t s = ms / 1000;
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02d %02d:%02d:%02d", y, m, d,
                  static_cast<int>(s / 3600 % 100), static_cast<int>(s / 60 % 60),
                  static_cast<int>(s % 60));
    return buf;
  }
  if (field.type == 'Y' && field.length == 8) {
    uint64_t bits = Get32(bytes) | (static_cast<uint64_t>(Get32(bytes + 4)) << 32);
    const int64_t v = static_cast<int64_t>(bits);
    const uint64_t mag = v < 0 ? 0 - static_cast<uint64_t>(v) : static_cast<uint64_t>(v);
    std::snprintf(buf, sizeof buf, "%s%llu.%04llu", v < 0 ? "-" : "",
                  static_cast<unsigned long long>(mag / 10000),
                  static_cast<unsigned long long>(mag % 10000));
    return buf;
  }
  if (IsMemoFieldType(field.type, field.length)) {
    if (field.length == 4) return "<memo " + std::to_string(Get32(bytes)) + ">";
    std::string block = Trim(raw);
    return block.empty() ? "" : "<memo " + block + ">";
  }
  std::string hex;
  static const char kHex[] = "0123456789abcdef";
  for (uint32_t i = 0; i < field.length; ++i) {
    hex += kHex[bytes[i] >> 4];
    hex += kHex[bytes[i] & 15];
  }
  return hex;
}

}  // namespace tallyvox::dbe
