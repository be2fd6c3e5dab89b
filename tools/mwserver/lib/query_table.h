// The small built-in table that mwserver's QUERY returns in the STREAM
// section of its answer.
#ifndef TALLYVOX_TOOLS_MWSERVER_LIB_QUERY_TABLE_H_
#define TALLYVOX_TOOLS_MWSERVER_LIB_QUERY_TABLE_H_

#include <cstdint>

#include "middleware/wire/memory_stream.h"

namespace tallyvox::mwserver {

constexpr int32_t kQueryCursorId = 4711;

// Writes the table's block at the stream's position.
void WriteQueryTable(mw::TMwMemoryStream* out);

}  // namespace tallyvox::mwserver

#endif  // TALLYVOX_TOOLS_MWSERVER_LIB_QUERY_TABLE_H_
