// TMwTransaction: the connections enlisted in one unit of work.
//
// For client connections a transaction sends nothing to the server: start,
// commit and rollback only keep each connection's nesting counter. Releasing
// the transaction (also by destroying it) clears each connection's enlisted
// mark, releases its session, unlocks it and empties the list. A client
// query runs every execution without a caller's transaction inside a private
// one, so its connection is unlocked when that transaction is released.
#ifndef TALLYVOX_MIDDLEWARE_CLIENT_TRANSACTION_H_
#define TALLYVOX_MIDDLEWARE_CLIENT_TRANSACTION_H_

#include <memory>
#include <vector>

#include "base/mutex.h"

namespace tallyvox::mw {

class TMwClientConnection;
class TMwClientConnectionPool;

class TMwTransaction {
 public:
  TMwTransaction() = default;
  // Releases the transaction (errors swallowed).
  ~TMwTransaction();
  TMwTransaction(const TMwTransaction&) = delete;
  TMwTransaction& operator=(const TMwTransaction&) = delete;

  // Marks `connection` enlisted and adds it; begins its transaction when this
  // transaction has started already. Enlisting twice adds it once.
  void Enlist(const std::shared_ptr<TMwClientConnection>& connection);
  // The enlisted connection obtained from `pool`, or nullptr.
  std::shared_ptr<TMwClientConnection> ConnectionFor(const TMwClientConnectionPool* pool) const;

  void Start();
  void Commit();
  void Rollback();
  bool Started() const EXCLUDES(mutex_) {
    MutexLock lock(&mutex_);
    return started_;
  }

  // Unlocks every enlisted connection (REQUIRES: on the thread that locked
  // them) and releases their sessions.
  void Release();
  size_t Count() const;

 private:
  mutable Mutex mutex_;
  std::vector<std::shared_ptr<TMwClientConnection>> connections_ GUARDED_BY(mutex_);
  bool started_ GUARDED_BY(mutex_) = false;
};

}  // namespace tallyvox::mw

#endif  // TALLYVOX_MIDDLEWARE_CLIENT_TRANSACTION_H_
