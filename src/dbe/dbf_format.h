// The xBase table file layout read and written by the table engine.
//
// File layout (all integers little-endian):
//
//   offset  size  header
//   0       1     version byte (0x03 dBase III, 0x83 dBase III with memo, 0x8B dBase IV with
//                 memo, 0xF5 FoxPro with memo, 0x30/0x31/0x32 Visual FoxPro, ...)
//   1       3     date of last update: year - 1900, month, day
//   4       4     record count
//   8       2     header length: offset of the first record
//   10      2     record length: deletion flag plus every field
//   12      16    reserved
//   28      1     table flags (Visual FoxPro: 0x01 structural index, 0x02 memo, 0x04 database)
//   29      1     code page mark
//   30      2     reserved
//   32      32*n  field descriptors, then the terminator byte 0x0D
//                 (Visual FoxPro puts a 263-byte backlink after the terminator)
//
//   field descriptor (32 bytes)
//   0       11    name, NUL padded (at most 10 characters used)
//   11      1     type letter
//   12      4     offset of the field in the record (Visual FoxPro; others leave it 0)
//   16      1     length (character fields of 256 bytes or more: low byte here, high
//                 byte in the decimals byte)
//   17      1     decimals
//   18      1     field flags (Visual FoxPro: 0x01 system, 0x02 nullable, 0x04 binary)
//   19      13    reserved
//
//   records, `record count` of them, each `record length` bytes starting at `header length`:
//   0       1     ' ' for a live record, '*' for a deleted one
//   1       ...   the fields in descriptor order, each `length` bytes
//
//   then the end-of-file marker 0x1A.
//
// Field types recognised: C character, N and F numeric (ASCII, right-aligned), L logical,
// D date (YYYYMMDD), I 4-byte integer, B 8-byte double (a B field of another length is a
// binary memo), T datetime (Julian day and milliseconds), Y currency, M/G/P memo block
// numbers, V/Q variable length, 0 the null-flags system field, and a few later types kept
// as raw bytes. Memo contents live in a separate file and are never read or written here.
#ifndef TALLYVOX_DBE_DBF_FORMAT_H_
#define TALLYVOX_DBE_DBF_FORMAT_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace tallyvox::dbe {

constexpr size_t kDbfHeaderSize = 32;
constexpr size_t kDbfDescriptorSize = 32;
constexpr uint8_t kDbfHeaderTerminator = 0x0D;
constexpr uint8_t kDbfEndOfFile = 0x1A;
constexpr size_t kDbfVfpBacklinkSize = 263;
constexpr size_t kDbfMaxFieldNameLength = 10;
// Header lengths are 16-bit: at most (65535 - 33) / 32 descriptors fit.
constexpr size_t kDbfMaxFields = 2046;

// A field as the table file describes it.
struct DbfField {
  std::string name;  // upper/lower case as stored, at most 10 characters
  char type = 'C';
  uint32_t length = 0;  // bytes in the record
  uint8_t decimals = 0;
  uint8_t flags = 0;
  uint32_t offset = 0;  // offset in the record, the deletion flag being byte 0
};

// The parsed header of a table file.
struct DbfHeader {
  uint8_t version = 0x03;
  int year = 0, month = 0, day = 0;  // last update (year in full)
  uint32_t record_count = 0;
  uint16_t header_length = 0;
  uint16_t record_length = 0;
  uint8_t table_flags = 0;
  std::vector<DbfField> fields;
};

// Why a header was refused.
enum class DbfHeaderFault {
  kNone,
  kTruncated,           // fewer than 32 bytes, or fewer than the header length
  kNotATable,           // unknown version byte
  kBadHeaderLength,     // header length too small or beyond the file
  kDescriptorsOverrun,  // field descriptors run past the header length
  kBadField,            // a field with no name, length 0 or an unknown type
  kBadRecordLength,     // record length smaller than the fields need
  kRecordCountOverrun,  // the records counted do not fit in the file
};

struct DbfParseResult {
  DbfHeaderFault fault = DbfHeaderFault::kNone;
  std::string detail;  // what was wrong, for the error text
  DbfHeader header;
};

// True for the version bytes this engine accepts.
bool IsKnownDbfVersion(uint8_t version);
// True for Visual FoxPro versions (backlink after the descriptors).
bool IsVisualFoxProVersion(uint8_t version);

// Reads the fixed header's lengths from the first 32 bytes.
// REQUIRES: bytes.size() >= kDbfHeaderSize.
uint16_t PeekHeaderLength(std::string_view bytes);

// Parses a header. `bytes` holds at least the first min(file_size, header length) bytes
// of the file; `file_size` is the whole file's size. Never reads beyond `bytes`.
DbfParseResult ParseDbfHeader(std::string_view bytes, uint64_t file_size);

// Builds the bytes of a header (fixed part, descriptors, terminator, backlink for Visual
// FoxPro) for `header`. Field offsets, the header length and the record length are
// computed here and stored back into `header`.
// REQUIRES: 1 <= fields <= kDbfMaxFields, each field valid, record length < 65536.
std::string EncodeDbfHeader(DbfHeader* header);

// Encodes the update date into bytes 1..3 of a header.
void EncodeDbfDate(int year, int month, int day, uint8_t out[3]);

// The blank value of a field: blanks for text-like types, zero bytes for binary ones.
void BlankField(const DbfField& field, uint8_t* dest);

// True for types whose bytes are binary (I, B of length 8, T, Y, 0, ...).
bool IsBinaryFieldType(char type, uint32_t length);
// True for memo-like types (M, G, P, B other than length 8, V, Q are handled as raw).
bool IsMemoFieldType(char type, uint32_t length);

// A readable text for a field's bytes (for listing): character fields without trailing
// blanks, numbers trimmed, binary types decoded, memo fields as their block number.
std::string FieldValueText(const DbfField& field, const uint8_t* bytes);

}  // namespace tallyvox::dbe

#endif  // TALLYVOX_DBE_DBF_FORMAT_H_
