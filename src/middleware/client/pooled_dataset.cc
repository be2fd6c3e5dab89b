#include "middleware/client/pooled_dataset.h"

#include "middleware/client/connection_pool.h"
#include "middleware/client/pooled_session.h"
#include "middleware/wire/mw_exception.h"

namespace tallyvox::mw {

TMwCustomPooledDataset::TMwCustomPooledDataset() = default;

TMwCustomPooledDataset::~TMwCustomPooledDataset() {
  try {
    ReleaseConnection(false, false);
  } catch (...) {
  }
}

TMwClientConnectionPool* TMwCustomPooledDataset::FindPool() const {
  if (pool_ != nullptr) return pool_;
  TMwPooledSession* session = TMwPooledSession::Find(session_name_);
  return session != nullptr ? session->ConnectionPool() : nullptr;
}

void TMwCustomPooledDataset::ObtainConnection() {
  if (connection_) return;
  TMwClientConnectionPool* pool = FindPool();
  if (pool == nullptr) throw EMwException("Connection pool not found.", kMwErrPoolNotFound);
  const bool immediate = pool->ImmediateConnectionLock();

  TMwPooledSession* session = nullptr;
  bool session_acquired = false;
  TMwConnectionRef connection;
  // Without the immediate lock the pool locks the connection for this
  // dataset as part of obtaining it, so it is never collected in between.
  auto obtain = [&](TMwClientConnectionPool* from) {
    return immediate ? from->ObtainConnection(true, owner_id_, wait_timeout_ms_)
                     : from->ObtainLockedConnection(owner_id_, wait_timeout_ms_);
  };
  if (pool_ != nullptr) {
    connection = obtain(pool_);
  } else {
    session = TMwPooledSession::Find(session_name_);
    if (session == nullptr) {
      throw EMwException(
          "PooledDataset : ObtainConnection : SessionName or Connection pool not specified",
          kMwErrPoolNotFound);
    }
    if (sync_ == mwpsSync) {
      if (!session->Acquire(wait_timeout_ms_)) {
        throw EMwException(
            "PooledDataset : ObtainConnection : Timeout/error waiting for session: " +
                session->SessionName(),
            kMwErrConnectionWait);
      }
      session_acquired = true;
    }
    try {
      connection = obtain(pool);
    } catch (...) {
      if (session_acquired) session->Release();
      throw;
    }
  }

  if (!connection) {
    if (session_acquired) session->Release();
    throw EMwException("PooledDataset : ObtainConnection : Timeout/error waiting for connection.",
                       kMwErrConnectionWait);
  }
  connection->SetSession(session);
  connection->SetSessionAcquired(session_acquired);
  if (immediate) connection->SetOwnerId(owner_id_);
  connection_ = std::move(connection);
  obtained_self_ = true;
}

void TMwCustomPooledDataset::ReleaseConnection(bool discard, bool failed) {
  if (!connection_) return;
  TMwConnectionRef connection = connection_;
  TMwClientConnectionPool* pool = connection->Pool();
  if (failed && pool != nullptr) pool->DiscardConnection(connection.get());
  if (connection->Enlisted()) {
    connection_.reset();
    return;
  }
  if (!obtained_self_) return;
  if (failed || discard || !connection->Held()) {
    TMwClientConnectionPool::UnlockConnection(connection.get());
  }
  connection_.reset();
  obtained_self_ = false;
  TMwPooledSession* session = connection->Session();
  if (session != nullptr && connection->SessionAcquired()) {
    connection->SetSessionAcquired(false);
    session->Release();
  }
}

}  // namespace tallyvox::mw
