// Dataset block throughput: loading (and saving) a 10,000-row, 6-field block
// with the in-memory table. Reports rows/s (ns per row = 1e9 / items_per_second)
// and bytes/s of the block.
#include <benchmark/benchmark.h>

#include <string>

#include "middleware/wire/dataset_stream_format.h"
#include "middleware/wire/memory_table.h"

namespace {

using namespace tallyvox::mw;

constexpr int kRows = 10000;

void AddFields(TCustomMemTable& table) {
  const struct {
    const char* name;
    TFieldType type;
    int32_t size;
  } fields[] = {{"ID", ftInteger, 0},       {"NAME", ftString, 30},   {"AMOUNT", ftCurrency, 0},
                {"CREATED", ftDateTime, 0}, {"ACTIVE", ftBoolean, 0}, {"CITY", ftWideString, 20}};
  for (const auto& f : fields) {
    TField field;
    field.name = f.name;
    field.type = f.type;
    field.size = f.size;
    table.AddField(field);
  }
}

std::string MakeBlock(bool short_definitions) {
  TCustomMemTable table;
  AddFields(table);
  for (int i = 0; i < kRows; ++i) {
    table.AppendRecord({TFieldValue::Integer(i * 37),
                        TFieldValue::Text("Customer " + std::to_string(i)),
                        TFieldValue::Integer(int64_t{i} * 12345), TFieldValue::Float(45000.25 + i),
                        TFieldValue::Boolean(i % 3 == 0),
                        i % 10 == 0 ? TFieldValue() : TFieldValue::Text("M\xC3\xBCnchen")});
  }
  TMwBinaryStreamFormat format;
  if (short_definitions) format.PrepareForRecords(false, false);
  return format.SaveToString(table);
}

// A fresh table rebuilt from the block's full definitions.
void BM_LoadBlockFullDefinitions(benchmark::State& state) {
  const std::string block = MakeBlock(false);
  TMwBinaryStreamFormat format;
  for (auto _ : state) {
    TCustomMemTable table;
    format.LoadFromString(table, block);
    benchmark::DoNotOptimize(table.RecordCount());
  }
  state.SetItemsProcessed(state.iterations() * kRows);
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(block.size()));
  state.counters["block_bytes"] = static_cast<double>(block.size());
}
BENCHMARK(BM_LoadBlockFullDefinitions)->Unit(benchmark::kMillisecond);

// The client query's way: existing fields, short definitions.
void BM_LoadBlockIntoExistingFields(benchmark::State& state) {
  const std::string block = MakeBlock(true);
  TMwBinaryStreamFormat format;
  format.PrepareForRecords(false, false);
  for (auto _ : state) {
    TCustomMemTable table;
    AddFields(table);
    size_t position = 0;
    format.Load(table, block, position);
    benchmark::DoNotOptimize(table.RecordCount());
  }
  state.SetItemsProcessed(state.iterations() * kRows);
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(block.size()));
}
BENCHMARK(BM_LoadBlockIntoExistingFields)->Unit(benchmark::kMillisecond);

void BM_SaveBlock(benchmark::State& state) {
  TCustomMemTable table;
  TMwBinaryStreamFormat format;
  format.LoadFromString(table, MakeBlock(false));
  size_t bytes = 0;
  for (auto _ : state) {
    const std::string block = format.SaveToString(table);
    bytes = block.size();
    benchmark::DoNotOptimize(block.data());
  }
  state.SetItemsProcessed(state.iterations() * kRows);
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(bytes));
}
BENCHMARK(BM_SaveBlock)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
