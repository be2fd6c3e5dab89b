// Fuzzes the binary subject header (middleware/wire/subject_header.h): a
// header that reads must write back to the same bytes, and no input reads
// out of bounds or raises anything but "Stream read error".
#include <cstddef>
#include <cstdint>

#include "middleware/wire/memory_stream.h"
#include "middleware/wire/subject_header.h"
#include "middleware/wire/wire_errors.h"

using namespace tallyvox::mw;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  TMwMemoryStream in;
  in.Assign(data, size);
  TMwSubjectHeader header;
  bool read = false;
  try {
    read = MwReadSubjectHeader(in, &header);
  } catch (const EMwException& e) {
    if (e.ErrorCode() != kMwErrStreamRead) __builtin_trap();
    return 0;
  }
  if (!read) return 0;
  const int64_t used = in.Position();
  TMwMemoryStream out;
  MwWriteSubjectHeader(out, header);
  if (out.Size() != used || out.ToString() != in.ToString().substr(0, static_cast<size_t>(used))) {
    __builtin_trap();
  }
  return 0;
}
