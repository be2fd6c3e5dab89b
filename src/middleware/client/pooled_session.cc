#include "middleware/client/pooled_session.h"
#include "base/text.h"

#include <algorithm>
#include <cctype>
#include <chrono>

#include "middleware/client/pooled_dataset.h"

namespace tallyvox::mw {
namespace {

// The process-wide session list and sequence counter.
struct SessionList {
  Mutex mutex;
  std::vector<TMwPooledSession*> sessions GUARDED_BY(mutex);
  int last_sequence GUARDED_BY(mutex) = 0;
};

SessionList& Sessions() {
  static SessionList* list = new SessionList();  // lives for the whole process
  return *list;
}

}  // namespace

TMwPooledSession::TMwPooledSession() {
  SessionList& list = Sessions();
  MutexLock lock(&list.mutex);
  sequence_ = ++list.last_sequence;
  list.sessions.push_back(this);
}

TMwPooledSession::~TMwPooledSession() {
  SessionList& list = Sessions();
  MutexLock lock(&list.mutex);
  list.sessions.erase(std::remove(list.sessions.begin(), list.sessions.end(), this),
                      list.sessions.end());
}

void TMwPooledSession::SetSessionName(const std::string& name) {
  session_name_ = name;
  UpdateEffectiveName();
}

void TMwPooledSession::SetAutoSessionName(bool value) {
  auto_session_name_ = value;
  UpdateEffectiveName();
}

void TMwPooledSession::SetName(const std::string& name) {
  name_ = name;
  UpdateEffectiveName();
}

std::string TMwPooledSession::EffectiveSessionName() const {
  MutexLock lock(&name_mutex_);
  return effective_name_;
}

void TMwPooledSession::UpdateEffectiveName() {
  std::string effective =
      auto_session_name_ ? session_name_ + "_" + std::to_string(sequence_) : session_name_;
  MutexLock lock(&name_mutex_);
  effective_name_ = std::move(effective);
}

void TMwPooledSession::Loaded(const std::vector<TMwCustomPooledDataset*>& owned) {
  std::string effective = EffectiveSessionName();
  for (TMwCustomPooledDataset* dataset : owned) {
    if (dataset != nullptr && SameText(dataset->SessionName(), session_name_))
      dataset->SetSessionName(effective);
  }
}

void TMwPooledSession::DatasetInserted(TMwCustomPooledDataset* dataset) {
  if (auto_session_name_ && dataset != nullptr && dataset->SessionName() == session_name_)
    dataset->SetSessionName(EffectiveSessionName());
}

bool TMwPooledSession::Acquire(int timeout_ms) {
  use_count_.fetch_add(1);
  bool ok = true;
  if (timeout_ms <= 0) {
    sync_mutex_.lock();
  } else {
    ok = sync_mutex_.try_lock_for(std::chrono::milliseconds(timeout_ms));
  }
  if (!ok) use_count_.fetch_sub(1);
  return ok;
}

void TMwPooledSession::Release() {
  int count = use_count_.load();
  while (count > 0 && !use_count_.compare_exchange_weak(count, count - 1)) {
  }
  if (count > 0) sync_mutex_.unlock();
}

void TMwPooledSession::PoolDestroyed(const TMwClientConnectionPool* pool) {
  SessionList& list = Sessions();
  MutexLock lock(&list.mutex);
  for (TMwPooledSession* session : list.sessions) {
    TMwClientConnectionPool* expected = const_cast<TMwClientConnectionPool*>(pool);
    session->pool_.compare_exchange_strong(expected, nullptr);
  }
}

TMwPooledSession* TMwPooledSession::Find(const std::string& name) {
  SessionList& list = Sessions();
  MutexLock lock(&list.mutex);
  for (TMwPooledSession* session : list.sessions) {
    if (session->EffectiveSessionName() == name) return session;
  }
  return nullptr;
}

}  // namespace tallyvox::mw
