#include "mwserver/lib/query_table.h"

namespace tallyvox::mwserver {

// TODO(mwclient): the rows, once the dataset block writer exists.
void WriteQueryTable(mw::TMwMemoryStream* /*out*/) {}

}  // namespace tallyvox::mwserver
