// TMwCustomPooledDataset: the part of a client query that obtains a pooled
// connection for the duration of a call and gives it back.
//
// A dataset reaches its pool either directly (ConnectionPool) or through the
// session named by SessionName. While it holds a connection, the connection is
// locked for it (UserCount counts it) and, in synchronous mode, the session's
// mutex is held as well.
#ifndef TALLYVOX_MIDDLEWARE_CLIENT_POOLED_DATASET_H_
#define TALLYVOX_MIDDLEWARE_CLIENT_POOLED_DATASET_H_

#include <memory>
#include <string>

#include "middleware/client/pool_cache.h"

namespace tallyvox::mw {

class TMwClientConnection;
class TMwClientConnectionPool;

enum TMwPooledSync { mwpsAsync, mwpsSync };

class TMwCustomPooledDataset {
 public:
  TMwCustomPooledDataset();
  virtual ~TMwCustomPooledDataset();
  TMwCustomPooledDataset(const TMwCustomPooledDataset&) = delete;
  TMwCustomPooledDataset& operator=(const TMwCustomPooledDataset&) = delete;

  // Not owned. REQUIRES: the pool outlives the dataset, or is cleared first.
  TMwClientConnectionPool* ConnectionPool() const { return pool_; }
  void SetConnectionPool(TMwClientConnectionPool* pool) { pool_ = pool; }
  const std::string& SessionName() const { return session_name_; }
  void SetSessionName(const std::string& name) { session_name_ = name; }
  TMwPooledSync Sync() const { return sync_; }
  void SetSync(TMwPooledSync sync) { sync_ = sync; }
  // Milliseconds; 0 or less waits without limit.
  int ConnectionWaitTimeout() const { return wait_timeout_ms_; }
  void SetConnectionWaitTimeout(int ms) { wait_timeout_ms_ = ms; }

  bool Cached() const { return cached_; }
  void SetCached(bool value) { cached_ = value; }
  TMwCacheFlags CacheFlags() const { return cache_flags_; }
  void SetCacheFlags(TMwCacheFlags flags) { cache_flags_ = flags; }
  TParamType CacheParams() const { return cache_params_; }
  void SetCacheParams(TParamType type) { cache_params_ = type; }

  // The pool this dataset reaches: ConnectionPool, else the pool of the
  // session named SessionName; nullptr when neither exists.
  TMwClientConnectionPool* FindPool() const;

  // Obtains and locks a connection unless one is held already.
  // Raises EMwException 0x04300004 when no pool is reachable and 0x04300011
  // when a lock wait fails; passes on the pool's own obtain errors.
  void ObtainConnection();
  // Gives the held connection back (see the pool header for discarding).
  void ReleaseConnection(bool discard, bool failed);

  // The held connection, or nullptr.
  const std::shared_ptr<TMwClientConnection>& Connection() const { return connection_; }
  // Stops holding the connection without unlocking it (a transaction that
  // enlisted it unlocks it later).
  void ForgetConnection() { connection_.reset(); }

  // Holds a connection that a transaction already locked and enlisted.
  void AdoptConnection(std::shared_ptr<TMwClientConnection> connection) {
    connection_ = std::move(connection);
    obtained_self_ = false;
  }

  // The owner id used when locking connections (a cursor id after opening).
  int OwnerId() const { return owner_id_; }
  void SetOwnerId(int id) { owner_id_ = id; }

 private:
  TMwClientConnectionPool* pool_ = nullptr;
  std::string session_name_;
  TMwPooledSync sync_ = mwpsAsync;
  int wait_timeout_ms_ = 0;
  bool cached_ = false;
  TMwCacheFlags cache_flags_ = 0;
  TParamType cache_params_ = ptUnknown;
  int owner_id_ = 0;
  std::shared_ptr<TMwClientConnection> connection_;
  bool obtained_self_ = false;
};

}  // namespace tallyvox::mw

#endif  // TALLYVOX_MIDDLEWARE_CLIENT_POOLED_DATASET_H_
