// Fuzzes the dataset block loader. The first byte picks the loading mode:
// a fresh table rebuilt from the block's definitions, or a table with
// existing fields matched by name (the client query's way). Every block that
// loads must save and load again.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "middleware/wire/dataset_stream_format.h"
#include "middleware/wire/memory_table.h"
#include "middleware/wire/mw_exception.h"

using namespace tallyvox::mw;

namespace {

void AddExistingFields(TCustomMemTable& table) {
  const TFieldType types[] = {ftString,   ftInteger, ftBlob,        ftWideString, ftCurrency,
                              ftLargeInt, ftFloat,   ftFMTBcdField, ftBoolean,    ftAutoInc};
  const char* names[] = {"S", "I", "B", "W", "C", "L", "F", "D", "Y", "A"};
  for (int i = 0; i < 10; ++i) {
    TField field;
    field.name = names[i];
    field.type = types[i];
    table.AddField(field);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const uint8_t mode = data[0];
  const std::string block(reinterpret_cast<const char*>(data + 1), size - 1);
  TCustomMemTable table;
  TMwBinaryStreamFormat format;
  if (mode & 1) {
    AddExistingFields(table);
    format.PrepareForRecords(false, false);
    if (mode & 2) format.ShortDefinitions = 0;  // full entries, matched by name
  }
  if (mode & 4) format.LoadProviderFlags = true;
  if (mode & 8) table.LoadLimit = 3;
  try {
    format.LoadFromString(table, block);
  } catch (const EMwException&) {
    return 0;
  }
  // What loaded saves and loads again.
  TMwBinaryStreamFormat again;
  again.DeltaFlags = sfSaveDeltas;
  again.KeepDeltaPairs = sfKeepDeltaPairs;
  try {
    const std::string saved = again.SaveToString(table);
    TCustomMemTable copy;
    again.LoadFromString(copy, saved);
    if (table.FieldCount() > 0 && copy.FieldCount() != table.FieldCount()) std::abort();
  } catch (const EMwException&) {
    // Only a table without fields cannot be read back (no field names).
    if (table.FieldCount() > 0) std::abort();
  }
  return 0;
}
