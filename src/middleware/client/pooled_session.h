// TMwPooledSession: a named handle through which pooled datasets (client
// queries) find their connection pool without referring to it directly.
//
// Every session joins the process-wide session list when it is created and
// gets the next SessionSequence (1 for the first session of the process, then
// 2, ...). Its EffectiveSessionName is SessionName + "_" + SessionSequence
// while AutoSessionName is on, else SessionName; finding a session compares
// names exactly with EffectiveSessionName, in creation order.
//
// A session can also serialise the queries that use it (synchronous mode): a
// query in mode mwpsSync waits for the session's recursive mutex before it
// obtains a connection and releases it with the connection.
#ifndef TALLYVOX_MIDDLEWARE_CLIENT_POOLED_SESSION_H_
#define TALLYVOX_MIDDLEWARE_CLIENT_POOLED_SESSION_H_

#include <atomic>
#include <string>
#include <vector>

#include "base/mutex.h"
#include "base/recursive_timed_mutex.h"

namespace tallyvox::mw {

class TMwClientConnectionPool;
class TMwCustomPooledDataset;

class TMwPooledSession {
 public:
  TMwPooledSession();
  ~TMwPooledSession();
  TMwPooledSession(const TMwPooledSession&) = delete;
  TMwPooledSession& operator=(const TMwPooledSession&) = delete;

  // Not owned; cleared when the pool is destroyed.
  TMwClientConnectionPool* ConnectionPool() const { return pool_.load(); }
  void SetConnectionPool(TMwClientConnectionPool* pool) { pool_.store(pool); }

  const std::string& SessionName() const { return session_name_; }
  void SetSessionName(const std::string& name);
  bool AutoSessionName() const { return auto_session_name_; }
  void SetAutoSessionName(bool value);
  // The component name; setting it recomputes the effective name as well.
  const std::string& Name() const { return name_; }
  void SetName(const std::string& name);

  int SessionSequence() const { return sequence_; }
  std::string EffectiveSessionName() const EXCLUDES(name_mutex_);

  // The session has been loaded with its owner: every dataset of `owned`
  // whose SessionName equals this SessionName without regard to case gets the
  // effective name as its SessionName.
  void Loaded(const std::vector<TMwCustomPooledDataset*>& owned);
  // A dataset inserted into the owner after loading: while AutoSessionName is
  // on, a SessionName equal (exactly) to this SessionName is rewritten.
  void DatasetInserted(TMwCustomPooledDataset* dataset);

  // Synchronous mode. Acquire increments the use counter and waits for the
  // session mutex for `timeout_ms` (0 or less: without limit); on failure the
  // counter is decremented again and false returned. Release decrements a
  // positive use counter and releases the mutex.
  // REQUIRES for Release: the calling thread acquired the session (a caller
  // that never acquired it must not release it, or it would unlock a mutex
  // another thread holds).
  bool Acquire(int timeout_ms);
  void Release();
  int UseCount() const { return use_count_.load(); }

  // The first session (in creation order) whose EffectiveSessionName equals
  // `name` exactly, or nullptr.
  static TMwPooledSession* Find(const std::string& name);
  // A pool being destroyed: every session referring to it forgets it.
  static void PoolDestroyed(const TMwClientConnectionPool* pool);

 private:
  void UpdateEffectiveName() EXCLUDES(name_mutex_);

  std::atomic<TMwClientConnectionPool*> pool_{nullptr};
  std::string session_name_;
  std::string name_;
  bool auto_session_name_ = false;
  int sequence_ = 0;
  mutable Mutex name_mutex_;  // guards effective_name_ against Find()
  std::string effective_name_ GUARDED_BY(name_mutex_);
  std::atomic<int> use_count_{0};
  RecursiveTimedMutex sync_mutex_;
};

}  // namespace tallyvox::mw

#endif  // TALLYVOX_MIDDLEWARE_CLIENT_POOLED_SESSION_H_
