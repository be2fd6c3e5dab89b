// TMwClientConnectionPool: a small set of connections to one application
// server, each with its own transport object configured from the pool's
// Transport, handed out locked to one caller at a time.
//
// Obtaining scans the list from NextIndex to the end and once more from the
// start, takes the first connection nobody has locked, else creates a new one
// while MaxConnections allows (negative: no limit; 0: none), else takes the
// locked connection with the fewest users (callers holding or waiting).
// A background collector disconnects connections idle for more than
// ConnectionInactivityTimeout seconds and trims the result cache.
//
// Connections are shared objects: the pool's list holds one reference and a
// caller holds another while it uses the connection, so a connection that is
// discarded (or whose pool is deactivated) while locked stays valid for its
// holder and is disconnected when the holder lets go of it.
//
// Taking and collecting are one decision each, made under the list lock: a
// connection is collected (or disconnected by DisconnectAll or
// DiscardConnection) only while its UserCount is 0 and its own mutex can be
// taken at once, and it is disconnected holding that mutex, so no caller
// uses its transport meanwhile. ObtainLockedConnection and the immediate
// lock count their caller in UserCount from the moment they choose the
// connection; a caller of ObtainConnection without the immediate lock has
// no such claim until LockConnection, and may find the connection collected
// (disconnected) by then.
//
// No lock of the pool is held while a connection is created, set up
// (OnSetupConnection) or connected, or while one is disconnected: a slow
// connect delays only the caller that makes it. Ages (idle times) are
// measured on the steady clock; LastUsed is the wall-clock time only shown.
//
// Thread safety: every operation may be called from any thread. The list and
// the cache each have their own lock; a connection is used by one thread at a
// time between LockConnection and UnlockConnection (its mutex is recursive,
// so the holder may lock it again).
#ifndef TALLYVOX_MIDDLEWARE_CLIENT_CONNECTION_POOL_H_
#define TALLYVOX_MIDDLEWARE_CLIENT_CONNECTION_POOL_H_

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <limits>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "base/datetime.h"
#include "base/mutex.h"
#include "base/periodic_thread.h"
#include "base/recursive_timed_mutex.h"
#include "middleware/client/client_transport.h"
#include "middleware/client/pool_cache.h"
#include "middleware/client/pool_macros.h"
#include "middleware/wire/string_list.h"

namespace tallyvox::mw {

class TMwClientConnectionPool;
class TMwPooledSession;

// Error codes of the pool.
constexpr int32_t kMwErrNoConnectionClass = 0x04300001;
constexpr int32_t kMwErrGarbageInterval = 0x04300003;
constexpr int32_t kMwErrPoolNotFound = 0x04300004;
constexpr int32_t kMwErrNoBestConnection = 0x04300010;
constexpr int32_t kMwErrConnectionWait = 0x04300011;
constexpr int32_t kMwErrPoolNotActive = 0x04300012;

// One pooled connection and its private transport.
class TMwClientConnection {
 public:
  // Creates the connection's own transport: a new object of the class of
  // `pool_transport`, not yet configured or connected.
  TMwClientConnection(int connection_id, const TMwCustomClientTransport& pool_transport);
  // Disconnects (errors swallowed) and destroys the transport.
  ~TMwClientConnection();
  TMwClientConnection(const TMwClientConnection&) = delete;
  TMwClientConnection& operator=(const TMwClientConnection&) = delete;

  int ConnectionId() const { return connection_id_; }
  TMwCustomClientTransport* Transport() const { return transport_.get(); }

  int32_t UserCount() const { return user_count_.load(); }
  bool Locked() const { return locked_.load(); }
  bool Held() const { return held_.load(); }
  void SetHeld(bool held) { held_.store(held); }
  // 1.0 on creation, now when chosen/locked/unlocked, 0.0 = to be discarded
  // (a mark kept until the connection is gone). The wall-clock time, for
  // showing; ages are measured on the steady clock.
  TDateTime LastUsed() const { return last_used_.load(); }
  int OwnerId() const { return owner_id_.load(); }
  void SetOwnerId(int id) { owner_id_.store(id); }
  TMwClientConnectionPool* Pool() const { return pool_.load(); }
  TMwPooledSession* Session() const { return session_.load(); }
  void SetSession(TMwPooledSession* session) { session_.store(session); }
  // Whether the session's synchronous-mode mutex was acquired for the holder.
  bool SessionAcquired() const { return session_acquired_; }
  void SetSessionAcquired(bool value) { session_acquired_ = value; }

  // Transaction bookkeeping.
  bool Enlisted() const { return enlisted_; }
  void SetEnlisted(bool value) { enlisted_ = value; }
  int TransactionNesting() const { return nesting_; }
  void SetTransactionNesting(int value) { nesting_ = value; }

  // Disconnects the transport; errors are swallowed.
  void DisconnectQuietly();

 private:
  friend class TMwClientConnectionPool;
  using SteadyTicks = std::chrono::steady_clock::rep;
  static constexpr SteadyTicks kNeverUsed = std::numeric_limits<SteadyTicks>::min();

  // LastUsed := now (unless marked for discarding), and the age restarts.
  void Touch();
  bool Discarded() const { return last_used_.load() == 0.0; }
  // Whether the connection has not been used for more than `seconds`.
  bool IdleLongerThan(std::chrono::steady_clock::time_point now, int seconds) const;

  const int connection_id_;
  std::unique_ptr<TMwCustomClientTransport> transport_;
  std::atomic<int32_t> user_count_{0};
  std::atomic<bool> locked_{false};
  std::atomic<bool> held_{false};
  std::atomic<TDateTime> last_used_{1.0};
  std::atomic<SteadyTicks> used_at_{kNeverUsed};
  std::atomic<int> owner_id_{-1};
  std::atomic<TMwClientConnectionPool*> pool_{nullptr};
  std::atomic<TMwPooledSession*> session_{nullptr};
  bool session_acquired_ = false;
  bool enlisted_ = false;
  int nesting_ = 0;
  RecursiveTimedMutex mutex_;
};

using TMwConnectionRef = std::shared_ptr<TMwClientConnection>;

// The pool's settings, read and written as one under the pool's lock (a
// reader takes a consistent copy).
struct TMwPoolSettings {
  bool active = false;
  TMwCustomClientTransport* transport = nullptr;  // not owned
  int max_connections = 1;
  int min_connections = 0;
  bool immediate_lock = false;
  int inactivity_timeout_s = 0;
  bool garbage_collection = true;
  int garbage_interval_s = 60;
  bool enable_cache = false;
  int max_cache_age_s = 0;
  int max_cache_entries = 100;
  int max_cache_record_count = 0;
  bool enable_macros = true;
};

// What obtaining sees of one listed connection.
struct TMwPoolCandidate {
  bool discarded = false;
  bool locked = false;
  bool held = false;
  int32_t user_count = 0;
};

// What obtaining does next, chosen from a snapshot of the list.
struct TMwPoolChoice {
  enum class Kind {
    kExisting,  // take the connection at `index`
    kCreate,    // create a new connection (MaxConnections allows one)
    kWait,      // only connections still being created: wait for one
    kNone,      // nothing to take: "Could not obtain a best connection."
  };
  Kind kind = Kind::kNone;
  size_t index = 0;
  // The pool's NextIndex after the choice (kExisting; kCreate restarts at 0).
  size_t next_index = 0;
};

// The choice of ObtainConnection (see the file comment) over the list
// `connections`, scanned from `next_index`, with `creating` connections being
// created outside the lock. A pure function.
TMwPoolChoice MwChooseConnection(const std::vector<TMwPoolCandidate>& connections,
                                 size_t next_index, int max_connections, int creating);

class TMwClientConnectionPool {
 public:
  // (ConnectionPool): start of every collector run, on the collector thread.
  using TMwNotifyEvent = std::function<void(TMwClientConnectionPool* pool)>;
  // (Connection, Transport): after the connection's transport was configured,
  // before it connects.
  using TMwSetupConnectionEvent =
      std::function<void(TMwClientConnection* connection, TMwCustomClientTransport* transport)>;
  // Creates a connection for the pool (the pool's connection class).
  using TMwConnectionFactory = std::function<TMwConnectionRef(
      int connection_id, const TMwCustomClientTransport& pool_transport)>;

  // Created active, with its collector running.
  TMwClientConnectionPool();
  // Deactivates (discarding every connection) and stops the collector.
  ~TMwClientConnectionPool();
  TMwClientConnectionPool(const TMwClientConnectionPool&) = delete;
  TMwClientConnectionPool& operator=(const TMwClientConnectionPool&) = delete;

  // Setting the current value does nothing. True: OnUpdateMacros (with
  // AutoUpdateMacros), resume the collector, create MinConnections connected
  // connections (unless loading; a failed connect raises). False: disconnect
  // and discard every connection, then pause the collector.
  bool Active() const EXCLUDES(list_mutex_) { return Settings().active; }
  void SetActive(bool active) EXCLUDES(list_mutex_);

  // The template every connection's transport is copied from. Not owned.
  // REQUIRES: it outlives the pool, or is cleared (SetTransport(nullptr)) first.
  TMwCustomClientTransport* Transport() const EXCLUDES(list_mutex_);
  void SetTransport(TMwCustomClientTransport* transport) EXCLUDES(list_mutex_);

  // A consistent copy of every setting below.
  TMwPoolSettings Settings() const EXCLUDES(list_mutex_);

  int MaxConnections() const { return Settings().max_connections; }
  void SetMaxConnections(int value) EXCLUDES(list_mutex_);
  int MinConnections() const { return Settings().min_connections; }
  void SetMinConnections(int value) EXCLUDES(list_mutex_);
  bool ImmediateConnectionLock() const { return Settings().immediate_lock; }
  void SetImmediateConnectionLock(bool value) {
    Update([value](TMwPoolSettings& s) { s.immediate_lock = value; });
  }
  int ConnectionInactivityTimeout() const { return Settings().inactivity_timeout_s; }
  void SetConnectionInactivityTimeout(int seconds) {
    Update([seconds](TMwPoolSettings& s) { s.inactivity_timeout_s = seconds; });
  }
  bool GarbageCollection() const { return Settings().garbage_collection; }
  void SetGarbageCollection(bool value) {
    Update([value](TMwPoolSettings& s) { s.garbage_collection = value; });
  }
  int GarbageInterval() const { return Settings().garbage_interval_s; }
  // Raises EMwException 0x04300003 "Interval must minimum be 1 sec." for 0 or
  // less. The collector starts its current wait afresh with the new period.
  void SetGarbageInterval(int seconds) EXCLUDES(list_mutex_);
  bool EnableCache() const { return Settings().enable_cache; }
  void SetEnableCache(bool value) {
    Update([value](TMwPoolSettings& s) { s.enable_cache = value; });
  }
  int MaxCacheAge() const { return Settings().max_cache_age_s; }
  void SetMaxCacheAge(int seconds) {
    Update([seconds](TMwPoolSettings& s) { s.max_cache_age_s = seconds; });
  }
  int MaxCacheEntries() const { return Settings().max_cache_entries; }
  void SetMaxCacheEntries(int value) {
    Update([value](TMwPoolSettings& s) { s.max_cache_entries = value; });
  }
  int MaxCacheRecordCount() const { return Settings().max_cache_record_count; }
  void SetMaxCacheRecordCount(int value) {
    Update([value](TMwPoolSettings& s) { s.max_cache_record_count = value; });
  }
  bool EnableMacros() const { return Settings().enable_macros; }
  void SetEnableMacros(bool value) {
    Update([value](TMwPoolSettings& s) { s.enable_macros = value; });
  }
  bool AutoUpdateMacros() const { return auto_update_macros_; }
  void SetAutoUpdateMacros(bool value) { auto_update_macros_ = value; }

  // Events. Set them before the pool is used from several threads.
  TMwNotifyEvent OnUpdateMacros;
  TMwMacroEvent OnMacro;
  TMwNotifyEvent OnGarbageCollection;
  TMwSetupConnectionEvent OnSetupConnection;

  // name=value lines. Set before use; not guarded against concurrent edits.
  TMwStrings Macros;

  // The pool's connection class; an empty factory makes creating a
  // connection fail with "Connection class not specified.".
  void SetConnectionFactory(TMwConnectionFactory factory) EXCLUDES(list_mutex_);

  // Loading as a stored component: while loading, activation creates no
  // connections; Loaded() runs the activation once more when active.
  void BeginLoading() { loading_ = true; }
  void Loaded();

  // Obtains a connection (see the file comment). Raises EMwException
  // 0x04300012 "Connectionpool not active.", 0x04300010 "Could not obtain a
  // best connection." and, with `immediate_lock`, 0x04300011
  // "Timeout/error waiting for connection.".
  TMwConnectionRef ObtainConnection(bool immediate_lock, int owner_id, int wait_timeout_ms)
      EXCLUDES(list_mutex_);
  // Obtains a connection and locks it for `owner_id` as one step: the
  // caller counts among its users from the moment it is chosen, so the
  // collector cannot take it between the two. Waits up to timeout_ms (0 or
  // less: without limit) for the lock; nullptr when that fails. Raises what
  // ObtainConnection raises before it waits.
  TMwConnectionRef ObtainLockedConnection(int owner_id, int wait_timeout_ms) EXCLUDES(list_mutex_);

  // Disconnects and discards every connection (errors swallowed).
  void DisconnectAll() EXCLUDES(list_mutex_);
  // Marks the connection for discarding; an unlocked one is disconnected and
  // removed at once, a locked one when the collector finds it unlocked.
  void DiscardConnection(TMwClientConnection* connection) EXCLUDES(list_mutex_);

  // Waits up to timeout_ms (0 or less: without limit) for the connection's
  // recursive mutex; UserCount counts the wait. True when locked.
  static bool LockConnection(TMwClientConnection* connection, int owner_id, int timeout_ms);
  // LockConnection for a caller already counted in UserCount; a wait that
  // fails takes the count back.
  static bool LockCounted(TMwClientConnection* connection, int owner_id, int timeout_ms);
  // REQUIRES: the calling thread locked the connection.
  static void UnlockConnection(TMwClientConnection* connection);

  // Expands the macros of one statement line for `reference`.
  std::string ExpandMacros(void* reference, std::string_view text);

  int ConnectionCount() const EXCLUDES(list_mutex_);
  int TotalUserCount() const EXCLUDES(list_mutex_);
  // "1:-1, 2:7": each connection's position from 1 and its OwnerId.
  std::string StatusText() const EXCLUDES(list_mutex_);
  int64_t CallsServed() const { return calls_served_.load(); }
  int64_t CacheHits() const { return cache_hits_.load(); }
  int64_t CacheInsertions() const { return cache_insertions_.load(); }
  void CountCall() { calls_served_.fetch_add(1); }
  void CountCacheHit() { cache_hits_.fetch_add(1); }

  // The cache operations of client queries.
  bool CacheLookup(int32_t key, bool defs_only, TMwCache::Hit* hit);
  // Does nothing when EnableCache is off, or when rows are stored and
  // MaxCacheRecordCount is positive and below `record_count`.
  void CacheStore(TMwCacheItem item, bool replace, bool keep_created, int record_count)
      EXCLUDES(list_mutex_);
  TMwCache& Cache() { return cache_; }

  // One collector run (also called by the collector thread).
  void CollectGarbage() EXCLUDES(list_mutex_);

 private:
  // Changes the settings under the lock.
  template <typename F>
  void Update(F change) EXCLUDES(list_mutex_) {
    MutexLock lock(&list_mutex_);
    change(settings_);
  }
  TMwConnectionRef CreateConnection(bool in_obtain) EXCLUDES(list_mutex_);
  // Chooses (or creates) a connection as ObtainConnection does; with
  // `count_caller` the caller is counted in its UserCount under the list
  // lock.
  TMwConnectionRef Take(bool count_caller) EXCLUDES(list_mutex_);
  // What Take sees of the list.
  std::vector<TMwPoolCandidate> Snapshot() const REQUIRES(list_mutex_);
  // Hands a chosen connection to the caller (counted with `count_caller`).
  TMwConnectionRef Claim(TMwConnectionRef connection, bool count_caller) REQUIRES(list_mutex_);
  // Creates a connection for Take, which counted it in creating_, and adds
  // it to the list.
  TMwConnectionRef CreateForTake(bool count_caller) EXCLUDES(list_mutex_);
  void CollectConnections(int timeout_s) EXCLUDES(list_mutex_);
  // Under the list lock: true when nobody holds, waits for or has claimed
  // the connection, and its mutex could be taken (the caller then holds
  // it and must Retire the connection).
  static bool TryClaimIdle(TMwClientConnection* connection);
  // Marks a claimed connection for discarding, disconnects it and releases
  // the claim (for one no longer in the list).
  static void Retire(TMwClientConnection* connection);
  // Marks, disconnects and then removes claimed connections of the list, and
  // releases the claims.
  void RemoveClaimed(const std::vector<TMwClientConnection*>& claimed) EXCLUDES(list_mutex_);

  // Set up before the pool is shared between threads.
  bool auto_update_macros_ = true;
  bool loading_ = false;

  // Guards the settings and the list. Never held while a handler runs, a
  // connection connects or disconnects.
  mutable Mutex list_mutex_;
  CondVar created_;  // a creation in progress ended
  TMwPoolSettings settings_ GUARDED_BY(list_mutex_);
  std::vector<TMwConnectionRef> connections_ GUARDED_BY(list_mutex_);
  int creating_ GUARDED_BY(list_mutex_) = 0;  // being created outside the lock
  size_t next_index_ GUARDED_BY(list_mutex_) = 0;
  TMwConnectionFactory factory_ GUARDED_BY(list_mutex_);

  TMwCache cache_;
  std::atomic<int64_t> calls_served_{0};
  std::atomic<int64_t> cache_hits_{0};
  std::atomic<int64_t> cache_insertions_{0};

  std::unique_ptr<PeriodicThread> collector_;
};

}  // namespace tallyvox::mw

#endif  // TALLYVOX_MIDDLEWARE_CLIENT_CONNECTION_POOL_H_
