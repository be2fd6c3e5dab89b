// Builds xBase table files byte by byte for tests, independently of the engine's own
// encoder, so that tests can make good tables of every version and damaged ones.
#ifndef TALLYVOX_TESTS_SUPPORT_DBF_BUILDER_H_
#define TALLYVOX_TESTS_SUPPORT_DBF_BUILDER_H_

#include <cstdint>
#include <string>
#include <vector>

namespace tallyvox::testing {

struct TestDbfField {
  std::string name;
  char type = 'C';
  int length = 1;
  int decimals = 0;
};

struct TestDbfRecord {
  bool deleted = false;
  // One value per field: character values are left-aligned and blank-padded, N/F values
  // right-aligned; other types must be given with exactly the field's length.
  std::vector<std::string> values;
};

struct TestDbf {
  uint8_t version = 0x03;
  int year = 2001, month = 2, day = 3;
  uint8_t table_flags = 0;
  std::vector<TestDbfField> fields;
  std::vector<TestDbfRecord> records;
  bool end_marker = true;
};

// The file's bytes. Visual FoxPro versions (0x30, 0x31, 0x32) get the 263-byte backlink.
std::string BuildDbf(const TestDbf& table);

// Offsets in a file built by BuildDbf.
size_t DbfHeaderLength(const TestDbf& table);
size_t DbfRecordLength(const TestDbf& table);

// The 8 little-endian bytes of a double and the 4 of an int32, for binary fields.
std::string DoubleBytes(double value);
std::string Int32Bytes(int32_t value);

}  // namespace tallyvox::testing

#endif  // TALLYVOX_TESTS_SUPPORT_DBF_BUILDER_H_
