// The process-wide list of engine connections: one per table folder, keyed by the
// folder upper-cased, made on the first open in that folder and kept until the program
// ends (or DisconnectAll). Thread-safe: each lookup and addition is locked.
#ifndef TALLYVOX_AUDIT_CONNECTION_LIST_H_
#define TALLYVOX_AUDIT_CONNECTION_LIST_H_

#include <cstddef>
#include <string>

#include "dbe/dbe_engine.h"

namespace tallyvox::audit {

// The folder a DatabaseName names: trailing path separators dropped ("/" stays "/").
std::string ResolveDatabaseFolder(const std::string& database_name);

class TDbeConnectionList {
 public:
  static TDbeConnectionList& Instance();
  // The folder's connection, connecting it first when it is not in the list.
  // Returns the engine result of DbeConnect (the handle untouched on failure).
  dbe::DbeResult Acquire(const std::string& folder, dbe::DbeHandle* connection);
  size_t Count();
  // Disconnects every connection (errors swallowed) and empties the list.
  void DisconnectAll();
};

}  // namespace tallyvox::audit

#endif  // TALLYVOX_AUDIT_CONNECTION_LIST_H_
