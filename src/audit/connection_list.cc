#include "audit/connection_list.h"

#include <map>

#include "base/mutex.h"
#include "base/text.h"

namespace tallyvox::audit {

using namespace tallyvox::dbe;

namespace {

struct ConnectionMap {
  Mutex mutex;
  std::map<std::string, DbeHandle> handles GUARDED_BY(mutex);
  ~ConnectionMap() {
    for (const auto& [folder, handle] : handles) DbeDisconnect(handle);
  }
};

ConnectionMap& Connections() {
  static ConnectionMap map;  // disconnects everything when the program ends
  return map;
}

}  // namespace

std::string ResolveDatabaseFolder(const std::string& database_name) {
  std::string folder = database_name;
  while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
  return folder;
}

TDbeConnectionList& TDbeConnectionList::Instance() {
  static TDbeConnectionList list;
  return list;
}

DbeResult TDbeConnectionList::Acquire(const std::string& folder, DbeHandle* connection) {
  ConnectionMap& map = Connections();
  MutexLock g(&map.mutex);
  const std::string key = UpperCase(folder);
  auto it = map.handles.find(key);
  if (it != map.handles.end()) {
    *connection = it->second;
    return kDbeSuccess;
  }
  DbeHandle handle = 0;
  if (DbeResult r = DbeConnect(folder.c_str(), &handle)) return r;
  map.handles[key] = handle;
  *connection = handle;
  return kDbeSuccess;
}

size_t TDbeConnectionList::Count() {
  ConnectionMap& map = Connections();
  MutexLock g(&map.mutex);
  return map.handles.size();
}

void TDbeConnectionList::DisconnectAll() {
  ConnectionMap& map = Connections();
  MutexLock g(&map.mutex);
  for (const auto& [folder, handle] : map.handles) DbeDisconnect(handle);
  map.handles.clear();
}

}  // namespace tallyvox::audit
