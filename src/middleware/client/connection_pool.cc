#include "middleware/client/connection_pool.h"

#include <algorithm>
#include <chrono>

#include "middleware/client/client_exceptions.h"
#include "middleware/client/client_transport.h"
#include "middleware/client/pooled_session.h"
#include "middleware/wire/mw_exception.h"

namespace tallyvox::mw {
namespace {

// The process-wide connection id counter, starting at 0.
std::atomic<int> g_next_connection_id{0};

TMwConnectionRef NewClientConnection(int id, const TMwCustomClientTransport& pool_transport) {
  return std::make_shared<TMwClientConnection>(id, pool_transport);
}

}  // namespace

// ---------------------------------------------------------------------------
// TMwClientConnection

TMwClientConnection::TMwClientConnection(int connection_id,
                                         const TMwCustomClientTransport& pool_transport)
    : connection_id_(connection_id), transport_(pool_transport.NewInstance()) {}

// A connection still connected disconnects with its transport (whose
// destructor disconnects it); one disconnected before raised OnDisconnected
// then and raises it no more.
TMwClientConnection::~TMwClientConnection() {
  try {
    transport_.reset();
  } catch (...) {
  }
}

void TMwClientConnection::DisconnectQuietly() {
  if (!transport_) return;
  try {
    transport_->Disconnect();
  } catch (...) {
  }
}

void TMwClientConnection::Touch() {
  if (!Discarded()) last_used_.store(Now());
  used_at_.store(std::chrono::steady_clock::now().time_since_epoch().count());
}

bool TMwClientConnection::IdleLongerThan(std::chrono::steady_clock::time_point now,
                                         int seconds) const {
  const SteadyTicks at = used_at_.load();
  if (at == kNeverUsed) return true;
  const std::chrono::steady_clock::time_point used{std::chrono::steady_clock::duration(at)};
  return now - used > std::chrono::seconds(seconds);
}

// ---------------------------------------------------------------------------
// TMwClientConnectionPool

// The collector waits GarbageInterval seconds between runs; a failing
// OnGarbageCollection handler does not end it.
TMwClientConnectionPool::TMwClientConnectionPool() : factory_(NewClientConnection) {
  active_.store(true);
  collector_ = std::make_unique<PeriodicThread>(
      [this] { return std::chrono::milliseconds(std::chrono::seconds(GarbageInterval())); },
      [this] {
        try {
          CollectGarbage();
        } catch (...) {
        }
      });
  collector_->Start();
}

TMwClientConnectionPool::~TMwClientConnectionPool() {
  TMwPooledSession::PoolDestroyed(this);
  try {
    SetActive(false);
  } catch (...) {
  }
  collector_.reset();
  DisconnectAll();
  if (TMwCustomClientTransport* transport = transport_.load()) {
    transport->RemoveFreeNotification(this);
  }
}

TMwCustomClientTransport* TMwClientConnectionPool::Transport() const { return transport_.load(); }

void TMwClientConnectionPool::SetTransport(TMwCustomClientTransport* transport) {
  TMwCustomClientTransport* old = transport_.load();
  if (old == transport) return;
  if (old != nullptr) old->RemoveFreeNotification(this);
  transport_.store(transport);
  if (transport == nullptr) return;
  if (transport->IsSharedTransport()) max_connections_.store(1);
  // A destroyed transport clears the reference (disconnecting everything
  // first when all connections share it).
  transport->AddFreeNotification(this, [this, transport] {
    if (transport->IsSharedTransport()) DisconnectAll();
    TMwCustomClientTransport* expected = transport;
    transport_.compare_exchange_strong(expected, nullptr);
  });
}

void TMwClientConnectionPool::SetMaxConnections(int value) {
  TMwCustomClientTransport* transport = transport_.load();
  if (transport != nullptr && transport->IsSharedTransport()) value = 1;
  max_connections_.store(value);
  if (value > 0 && value < min_connections_.load()) min_connections_.store(value);
}

void TMwClientConnectionPool::SetMinConnections(int value) {
  if (value < 0) value = 0;
  min_connections_.store(value);
  int max = max_connections_.load();
  if (max > 0 && max < value) max_connections_.store(value);
}

void TMwClientConnectionPool::SetGarbageInterval(int seconds) {
  if (seconds <= 0) throw EMwException("Interval must minimum be 1 sec.", kMwErrGarbageInterval);
  garbage_interval_s_.store(seconds);
  if (collector_) collector_->Restart();
}

void TMwClientConnectionPool::SetConnectionFactory(TMwConnectionFactory factory) {
  std::lock_guard<std::mutex> lock(list_mutex_);
  factory_ = std::move(factory);
}

void TMwClientConnectionPool::SetActive(bool active) {
  if (active == active_.load()) return;
  if (active) {
    active_.store(true);
    if (auto_update_macros_ && OnUpdateMacros) OnUpdateMacros(this);
    collector_->SetPaused(false);
    if (!loading_) {
      while (ConnectionCount() < min_connections_.load()) {
        TMwConnectionRef connection = CreateConnection(/*in_obtain=*/false);
        std::lock_guard<std::mutex> lock(list_mutex_);
        connections_.push_back(std::move(connection));
      }
    }
  } else {
    active_.store(false);
    try {
      DisconnectAll();
    } catch (...) {
      collector_->SetPaused(true);
      throw;
    }
    collector_->SetPaused(true);
  }
}

void TMwClientConnectionPool::Loaded() {
  loading_ = false;
  if (!active_.load()) return;
  active_.store(false);
  SetActive(true);
}

TMwConnectionRef TMwClientConnectionPool::CreateConnection(bool in_obtain) {
  TMwConnectionFactory factory;
  {
    std::lock_guard<std::mutex> lock(list_mutex_);
    factory = factory_;
  }
  if (!factory) throw EMwException("Connection class not specified.", kMwErrNoConnectionClass);
  TMwCustomClientTransport* pool_transport = transport_.load();
  if (pool_transport == nullptr) {
    throw EMwException("Transport property not set on client connectionpool.",
                       kMwErrTransportNotSet);
  }
  TMwConnectionRef connection = factory(g_next_connection_id.fetch_add(1), *pool_transport);
  connection->pool_.store(this);
  try {
    connection->Transport()->CopySettingsFrom(*pool_transport);
    if (OnSetupConnection) OnSetupConnection(connection.get(), connection->Transport());
    connection->Transport()->Connect();
  } catch (...) {
    // Obtaining keeps the unconnected connection: the request exchange
    // connects it again when it finds it disconnected.
    if (!in_obtain) throw;
  }
  return connection;
}

TMwConnectionRef TMwClientConnectionPool::Take(bool count_caller) {
  std::unique_lock<std::mutex> lock(list_mutex_);
  for (;;) {
    const size_t count = connections_.size();
    if (next_index_ > count) next_index_ = 0;
    // Two passes: NextIndex..end, then 0..end.
    TMwConnectionRef unlocked, best_free, best_held;
    size_t best_free_pos = 0, best_held_pos = 0;
    auto consider = [&](size_t i) {
      const TMwConnectionRef& c = connections_[i];
      if (c->Discarded()) return false;
      if (!c->Locked()) {
        unlocked = c;
        return true;
      }
      TMwConnectionRef& best = c->Held() ? best_held : best_free;
      size_t& best_pos = c->Held() ? best_held_pos : best_free_pos;
      if (!best || c->UserCount() < best->UserCount()) {
        best = c;
        best_pos = i;
      }
      return false;
    };
    bool found = false;
    for (size_t i = next_index_; i < count && !found; ++i) found = consider(i);
    for (size_t i = 0; i < count && !found; ++i) found = consider(i);

    const TMwConnectionRef& candidate = unlocked ? unlocked : best_free;
    const int max = max_connections_.load();
    const size_t planned = count + static_cast<size_t>(creating_);
    TMwConnectionRef taken;
    if (candidate && candidate->UserCount() <= 0) {
      taken = candidate;
    } else if (max < 0 || planned < static_cast<size_t>(max)) {
      // Created and connected without the lock, counted meanwhile so that
      // MaxConnections holds.
      ++creating_;
      lock.unlock();
      TMwConnectionRef created;
      try {
        created = CreateConnection(/*in_obtain=*/true);
      } catch (...) {
        lock.lock();
        --creating_;
        created_.notify_all();
        throw;
      }
      lock.lock();
      --creating_;
      created_.notify_all();
      if (!active_.load()) {
        // Deactivated meanwhile: the connection is not kept.
        lock.unlock();
        created->DisconnectQuietly();
        throw EMwException("Connectionpool not active.", kMwErrPoolNotActive);
      }
      connections_.push_back(created);
      next_index_ = 0;
      taken = std::move(created);
    } else if (candidate || best_held) {
      const bool free_one = candidate != nullptr;
      taken = free_one ? candidate : best_held;
      const size_t pos = free_one ? best_free_pos : best_held_pos;
      next_index_ = pos + 1 >= count ? 0 : pos + 1;
    } else if (creating_ > 0) {
      // Only connections still being created: wait for one and choose again.
      created_.wait(lock);
      continue;
    } else {
      throw EMwException("Could not obtain a best connection.", kMwErrNoBestConnection);
    }
    taken->Touch();
    taken->session_.store(nullptr);
    taken->pool_.store(this);
    if (count_caller) taken->user_count_.fetch_add(1);
    return taken;
  }
}

TMwConnectionRef TMwClientConnectionPool::ObtainConnection(bool immediate_lock, int owner_id,
                                                           int wait_timeout_ms) {
  if (!active_.load()) throw EMwException("Connectionpool not active.", kMwErrPoolNotActive);
  TMwConnectionRef taken = Take(/*count_caller=*/immediate_lock);
  if (immediate_lock && !LockCounted(taken.get(), owner_id, wait_timeout_ms)) {
    throw EMwException("Timeout/error waiting for connection.", kMwErrConnectionWait);
  }
  return taken;
}

TMwConnectionRef TMwClientConnectionPool::ObtainLockedConnection(int owner_id,
                                                                 int wait_timeout_ms) {
  if (!active_.load()) throw EMwException("Connectionpool not active.", kMwErrPoolNotActive);
  TMwConnectionRef taken = Take(/*count_caller=*/true);
  if (!LockCounted(taken.get(), owner_id, wait_timeout_ms)) return nullptr;
  return taken;
}

bool TMwClientConnectionPool::TryClaimIdle(TMwClientConnection* connection) {
  return connection->UserCount() == 0 && connection->mutex_.try_lock();
}

void TMwClientConnectionPool::Retire(TMwClientConnection* connection) {
  connection->last_used_.store(0.0);
  connection->DisconnectQuietly();
  connection->mutex_.unlock();
}

void TMwClientConnectionPool::DisconnectAll() {
  std::vector<TMwConnectionRef> removed;
  std::vector<TMwClientConnection*> claimed;
  {
    std::lock_guard<std::mutex> lock(list_mutex_);
    removed.swap(connections_);
    next_index_ = 0;
    for (const TMwConnectionRef& c : removed) {
      c->last_used_.store(0.0);
      if (TryClaimIdle(c.get())) claimed.push_back(c.get());
    }
  }
  // A connection in use stays alive for its holder and is disconnected when
  // the holder drops its reference (with its transport).
  for (TMwClientConnection* c : claimed) Retire(c);
}

void TMwClientConnectionPool::DiscardConnection(TMwClientConnection* connection) {
  if (connection == nullptr) return;
  connection->last_used_.store(0.0);
  {
    std::lock_guard<std::mutex> lock(list_mutex_);
    if (!TryClaimIdle(connection)) return;  // in use: the collector takes it later
  }
  RemoveClaimed({connection});
}

void TMwClientConnectionPool::RemoveClaimed(const std::vector<TMwClientConnection*>& claimed) {
  // Disconnected without the list lock, then taken out of the list: a caller
  // that sees the list without a connection sees it disconnected too.
  for (TMwClientConnection* c : claimed) {
    c->last_used_.store(0.0);
    c->DisconnectQuietly();
  }
  std::vector<TMwConnectionRef> removed;  // let go of after the lock
  {
    std::lock_guard<std::mutex> lock(list_mutex_);
    std::erase_if(connections_, [&](const TMwConnectionRef& c) {
      if (std::find(claimed.begin(), claimed.end(), c.get()) == claimed.end()) return false;
      removed.push_back(c);
      return true;
    });
    if (next_index_ > connections_.size()) next_index_ = 0;
  }
  for (TMwClientConnection* c : claimed) c->mutex_.unlock();
}

bool TMwClientConnectionPool::LockConnection(TMwClientConnection* connection, int owner_id,
                                             int timeout_ms) {
  connection->user_count_.fetch_add(1);
  return LockCounted(connection, owner_id, timeout_ms);
}

bool TMwClientConnectionPool::LockCounted(TMwClientConnection* connection, int owner_id,
                                          int timeout_ms) {
  bool ok = true;
  try {
    if (timeout_ms <= 0) {
      connection->mutex_.lock();
    } else {
      ok = connection->mutex_.try_lock_for(std::chrono::milliseconds(timeout_ms));
    }
  } catch (...) {
    ok = false;
  }
  if (!ok) {
    connection->user_count_.fetch_sub(1);
    return false;
  }
  connection->locked_.store(true);
  connection->Touch();
  connection->owner_id_.store(owner_id);
  return true;
}

void TMwClientConnectionPool::UnlockConnection(TMwClientConnection* connection) {
  connection->Touch();  // a connection marked for discarding keeps its mark
  connection->owner_id_.store(-1);
  connection->user_count_.fetch_sub(1);
  connection->held_.store(false);
  connection->locked_.store(false);
  connection->mutex_.unlock();
}

std::string TMwClientConnectionPool::ExpandMacros(void* reference, std::string_view text) {
  return MwExpandMacros(text, Macros, OnMacro, this, reference);
}

int TMwClientConnectionPool::ConnectionCount() const {
  std::lock_guard<std::mutex> lock(list_mutex_);
  return static_cast<int>(connections_.size());
}

int TMwClientConnectionPool::TotalUserCount() const {
  std::lock_guard<std::mutex> lock(list_mutex_);
  int total = 0;
  for (const TMwConnectionRef& c : connections_) total += c->UserCount();
  return total;
}

std::string TMwClientConnectionPool::StatusText() const {
  std::lock_guard<std::mutex> lock(list_mutex_);
  std::string text;
  for (size_t i = 0; i < connections_.size(); ++i) {
    if (i > 0) text += ", ";
    text += std::to_string(i + 1) + ":" + std::to_string(connections_[i]->OwnerId());
  }
  return text;
}

bool TMwClientConnectionPool::CacheLookup(int32_t key, bool defs_only, TMwCache::Hit* hit) {
  return cache_.Lookup(key, defs_only, hit);
}

void TMwClientConnectionPool::CacheStore(TMwCacheItem item, bool replace, bool keep_created,
                                         int record_count) {
  if (!enable_cache_.load()) return;
  int max_records = max_cache_record_count_.load();
  if (item.has_rows && !item.defs_only && max_records > 0 && record_count > max_records) return;
  const auto now = std::chrono::steady_clock::now();
  item.created = now;
  item.accessed = now;
  cache_.Store(std::move(item), replace, keep_created);
  cache_insertions_.fetch_add(1);
}

void TMwClientConnectionPool::CollectGarbage() {
  if (!garbage_collection_.load()) return;
  if (OnGarbageCollection) OnGarbageCollection(this);
  cache_.Collect(max_cache_age_s_.load(), max_cache_entries_.load(),
                 std::chrono::steady_clock::now());
  CollectConnections(inactivity_timeout_s_.load());
}

void TMwClientConnectionPool::CollectConnections(int timeout_s) {
  // Chosen under the list lock, from the last entry to the first, and
  // claimed there (see TryClaimIdle), so no caller takes them meanwhile.
  std::vector<TMwClientConnection*> claimed;
  {
    std::lock_guard<std::mutex> lock(list_mutex_);
    const auto now = std::chrono::steady_clock::now();
    const size_t min = static_cast<size_t>(min_connections_.load());
    size_t left = connections_.size();
    for (size_t i = connections_.size(); i-- > 0;) {
      TMwClientConnection* c = connections_[i].get();
      const bool discarded = c->Discarded();
      if (!discarded && left <= min) break;
      if (!discarded && !(timeout_s > 0 && c->IdleLongerThan(now, timeout_s))) continue;
      if (!TryClaimIdle(c)) continue;  // in use
      c->last_used_.store(0.0);        // no caller chooses it any more
      claimed.push_back(c);
      --left;
    }
  }
  if (!claimed.empty()) RemoveClaimed(claimed);
}

}  // namespace tallyvox::mw
