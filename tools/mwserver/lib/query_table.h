// The small built-in table that mwserver's QUERY returns in the STREAM
// section of its answer.
#ifndef TALLYVOX_TOOLS_MWSERVER_LIB_QUERY_TABLE_H_
#define TALLYVOX_TOOLS_MWSERVER_LIB_QUERY_TABLE_H_

#include <cstdint>

#include "middleware/wire/memory_stream.h"
#include "middleware/wire/memory_table.h"

namespace tallyvox::mwserver {

constexpr int32_t kQueryCursorId = 4711;

// The table's fields: ZIP (String 5, key), CITY (String 30), STATE (String
// 2), POPULATION (Integer).
void AddQueryTableFields(mw::TCustomMemTable* table);

// Writes the table's block (4 rows) at the stream's position, saved as a
// client query loads a result: short definitions matched to its fields.
void WriteQueryTable(mw::TMwMemoryStream* out);

}  // namespace tallyvox::mwserver

#endif  // TALLYVOX_TOOLS_MWSERVER_LIB_QUERY_TABLE_H_
