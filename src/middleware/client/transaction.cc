#include "middleware/client/transaction.h"

#include "middleware/client/connection_pool.h"
#include "middleware/client/pooled_session.h"

namespace tallyvox::mw {

TMwTransaction::~TMwTransaction() {
  try {
    Release();
  } catch (...) {
  }
}

void TMwTransaction::Enlist(const std::shared_ptr<TMwClientConnection>& connection) {
  MutexLock lock(&mutex_);
  for (const auto& c : connections_) {
    if (c == connection) return;
  }
  connection->SetEnlisted(true);
  if (started_) connection->SetTransactionNesting(connection->TransactionNesting() + 1);
  connections_.push_back(connection);
}

std::shared_ptr<TMwClientConnection> TMwTransaction::ConnectionFor(
    const TMwClientConnectionPool* pool) const {
  MutexLock lock(&mutex_);
  for (const auto& c : connections_) {
    if (c->Pool() == pool) return c;
  }
  return nullptr;
}

void TMwTransaction::Start() {
  MutexLock lock(&mutex_);
  started_ = true;
  for (const auto& c : connections_) c->SetTransactionNesting(c->TransactionNesting() + 1);
}

void TMwTransaction::Commit() {
  MutexLock lock(&mutex_);
  for (const auto& c : connections_) {
    if (c->TransactionNesting() > 0) c->SetTransactionNesting(c->TransactionNesting() - 1);
  }
  started_ = false;
}

void TMwTransaction::Rollback() { Commit(); }

void TMwTransaction::Release() {
  std::vector<std::shared_ptr<TMwClientConnection>> connections;
  {
    MutexLock lock(&mutex_);
    connections.swap(connections_);
    started_ = false;
  }
  for (const auto& c : connections) {
    c->SetEnlisted(false);
    c->SetTransactionNesting(0);
    TMwPooledSession* session = c->Session();
    if (session != nullptr && c->SessionAcquired()) {
      c->SetSessionAcquired(false);
      session->Release();
    }
    if (c->Locked()) TMwClientConnectionPool::UnlockConnection(c.get());
  }
}

size_t TMwTransaction::Count() const {
  MutexLock lock(&mutex_);
  return connections_.size();
}

}  // namespace tallyvox::mw
