#include "mwserver/lib/query_table.h"

#include <string>

#include "middleware/wire/dataset_stream_format.h"
#include "middleware/wire/memory_table.h"

namespace tallyvox::mwserver {
namespace {}  // namespace

void AddQueryTableFields(mw::TCustomMemTable* table) {
  mw::TField zip;
  zip.name = "ZIP";
  zip.type = mw::ftString;
  zip.size = 5;
  zip.required = true;
  zip.provider_flags |= mw::pfInKey;
  table->AddField(zip);
  mw::TField city;
  city.name = "CITY";
  city.type = mw::ftString;
  city.size = 30;
  table->AddField(city);
  mw::TField state;
  state.name = "STATE";
  state.type = mw::ftString;
  state.size = 2;
  table->AddField(state);
  mw::TField population;
  population.name = "POPULATION";
  population.type = mw::ftInteger;
  table->AddField(population);
}

namespace {

void BuildTable(mw::TCustomMemTable* table) {
  AddQueryTableFields(table);
  table->Open();
  const struct {
    const char* zip;
    const char* city;
    const char* state;
    int64_t population;
  } kRows[] = {
      {"10001", "New York", "NY", 21102},
      {"60601", "Chicago", "IL", 14675},
      {"94105", "San Francisco", "CA", 11232},
      {"98101", "Seattle", "WA", 12408},
  };
  for (const auto& row : kRows) {
    table->AppendRecord({mw::TFieldValue::Text(row.zip), mw::TFieldValue::Text(row.city),
                         mw::TFieldValue::Text(row.state),
                         mw::TFieldValue::Integer(row.population)});
  }
}

}  // namespace

void WriteQueryTable(mw::TMwMemoryStream* out) {
  mw::TCustomMemTable table;
  BuildTable(&table);
  // Saved with the configuration a client query loads a result with: short
  // field definitions (name, origin, provider flags) matched by name to the
  // client's fields, then the records.
  mw::TMwBinaryStreamFormat format;
  format.PrepareForRecords(/*full_definitions=*/false, /*invisible_load_only=*/false);
  const std::string block = format.SaveToString(table);
  out->Write(block);
}

}  // namespace tallyvox::mwserver
