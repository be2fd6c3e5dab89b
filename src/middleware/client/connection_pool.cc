#include "middleware/client/connection_pool.h"

#include <algorithm>
#include <chrono>
#include <optional>

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
// Choosing a connection

namespace {

// The scan of MwChooseConnection: the first connection nobody has locked, and
// among the locked ones the one with the fewest users, kept apart for
// connections held by a session and not.
struct Scan {
  bool found_unlocked = false;
  size_t unlocked = 0;
  std::optional<size_t> best_free, best_held;
};

// Two passes: next_index..end, then 0..end.
Scan ScanConnections(const std::vector<TMwPoolCandidate>& list, size_t next_index) {
  Scan scan;
  auto consider = [&](size_t i) {
    const TMwPoolCandidate& c = list[i];
    if (c.discarded) return false;
    if (!c.locked) {
      scan.found_unlocked = true;
      scan.unlocked = i;
      return true;
    }
    std::optional<size_t>& best = c.held ? scan.best_held : scan.best_free;
    if (!best || c.user_count < list[*best].user_count) best = i;
    return false;
  };
  bool found = false;
  for (size_t i = next_index; i < list.size() && !found; ++i) found = consider(i);
  for (size_t i = 0; i < list.size() && !found; ++i) found = consider(i);
  return scan;
}

}  // namespace

TMwPoolChoice MwChooseConnection(const std::vector<TMwPoolCandidate>& connections,
                                 size_t next_index, int max_connections, int creating) {
  using Kind = TMwPoolChoice::Kind;
  const size_t count = connections.size();
  if (next_index > count) next_index = 0;
  const Scan scan = ScanConnections(connections, next_index);
  std::optional<size_t> candidate = scan.best_free;
  if (scan.found_unlocked) candidate = scan.unlocked;
  const size_t planned = count + static_cast<size_t>(creating);
  if (candidate && connections[*candidate].user_count <= 0) {
    return {Kind::kExisting, *candidate, next_index};
  }
  if (max_connections < 0 || planned < static_cast<size_t>(max_connections)) {
    return {Kind::kCreate, 0, 0};
  }
  if (candidate || scan.best_held) {
    // The position after the locked connection chosen; an unlocked one that
    // has users (a caller counted but not yet locked) restarts after the
    // best free one, as it always has.
    const size_t pos = candidate ? scan.best_free.value_or(0) : *scan.best_held;
    return {Kind::kExisting, candidate ? *candidate : *scan.best_held,
            pos + 1 >= count ? 0 : pos + 1};
  }
  if (creating > 0) return {Kind::kWait, 0, next_index};
  return {Kind::kNone, 0, next_index};
}

// ---------------------------------------------------------------------------
// TMwClientConnectionPool

// The collector waits GarbageInterval seconds between runs; a failing
// OnGarbageCollection handler does not end it.
TMwClientConnectionPool::TMwClientConnectionPool() : factory_(NewClientConnection) {
  Update([](TMwPoolSettings& s) { s.active = true; });
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
  if (TMwCustomClientTransport* transport = Transport()) {
    transport->RemoveFreeNotification(this);
  }
}

TMwPoolSettings TMwClientConnectionPool::Settings() const {
  MutexLock lock(&list_mutex_);
  return settings_;
}

TMwCustomClientTransport* TMwClientConnectionPool::Transport() const {
  return Settings().transport;
}

void TMwClientConnectionPool::SetTransport(TMwCustomClientTransport* transport) {
  TMwCustomClientTransport* old = Transport();
  if (old == transport) return;
  if (old != nullptr) old->RemoveFreeNotification(this);
  const bool shared = transport != nullptr && transport->IsSharedTransport();
  Update([&](TMwPoolSettings& s) {
    s.transport = transport;
    if (shared) s.max_connections = 1;
  });
  if (transport == nullptr) return;
  // A destroyed transport clears the reference (disconnecting everything
  // first when all connections share it).
  transport->AddFreeNotification(this, [this, transport] {
    if (transport->IsSharedTransport()) DisconnectAll();
    Update([transport](TMwPoolSettings& s) {
      if (s.transport == transport) s.transport = nullptr;
    });
  });
}

void TMwClientConnectionPool::SetMaxConnections(int value) {
  Update([value](TMwPoolSettings& s) {
    const int max = s.transport != nullptr && s.transport->IsSharedTransport() ? 1 : value;
    s.max_connections = max;
    if (max > 0 && max < s.min_connections) s.min_connections = max;
  });
}

void TMwClientConnectionPool::SetMinConnections(int value) {
  if (value < 0) value = 0;
  Update([value](TMwPoolSettings& s) {
    s.min_connections = value;
    if (s.max_connections > 0 && s.max_connections < value) s.max_connections = value;
  });
}

void TMwClientConnectionPool::SetGarbageInterval(int seconds) {
  if (seconds <= 0) throw EMwException("Interval must minimum be 1 sec.", kMwErrGarbageInterval);
  Update([seconds](TMwPoolSettings& s) { s.garbage_interval_s = seconds; });
  if (collector_) collector_->Restart();
}

void TMwClientConnectionPool::SetConnectionFactory(TMwConnectionFactory factory) {
  MutexLock lock(&list_mutex_);
  factory_ = std::move(factory);
}

void TMwClientConnectionPool::SetActive(bool active) {
  if (active == Active()) return;
  Update([active](TMwPoolSettings& s) { s.active = active; });
  if (active) {
    if (auto_update_macros_ && OnUpdateMacros) OnUpdateMacros(this);
    collector_->SetPaused(false);
    if (!loading_) {
      while (ConnectionCount() < MinConnections()) {
        TMwConnectionRef connection = CreateConnection(/*in_obtain=*/false);
        MutexLock lock(&list_mutex_);
        connections_.push_back(std::move(connection));
      }
    }
  } else {
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
  if (!Active()) return;
  Update([](TMwPoolSettings& s) { s.active = false; });
  SetActive(true);
}

TMwConnectionRef TMwClientConnectionPool::CreateConnection(bool in_obtain) {
  TMwConnectionFactory factory;
  TMwCustomClientTransport* pool_transport = nullptr;
  {
    MutexLock lock(&list_mutex_);
    factory = factory_;
    pool_transport = settings_.transport;
  }
  if (!factory) throw EMwException("Connection class not specified.", kMwErrNoConnectionClass);
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

std::vector<TMwPoolCandidate> TMwClientConnectionPool::Snapshot() const {
  std::vector<TMwPoolCandidate> list;
  list.reserve(connections_.size());
  for (const TMwConnectionRef& c : connections_) {
    list.push_back({c->Discarded(), c->Locked(), c->Held(), c->UserCount()});
  }
  return list;
}

TMwConnectionRef TMwClientConnectionPool::Claim(TMwConnectionRef connection, bool count_caller) {
  connection->Touch();
  connection->session_.store(nullptr);
  connection->pool_.store(this);
  if (count_caller) connection->user_count_.fetch_add(1);
  return connection;
}

TMwConnectionRef TMwClientConnectionPool::Take(bool count_caller) {
  using Kind = TMwPoolChoice::Kind;
  {
    MutexLock lock(&list_mutex_);
    for (;;) {
      const TMwPoolChoice choice =
          MwChooseConnection(Snapshot(), next_index_, settings_.max_connections, creating_);
      if (choice.kind == Kind::kExisting) {
        next_index_ = choice.next_index;
        return Claim(connections_[choice.index], count_caller);
      }
      if (choice.kind == Kind::kCreate) break;
      if (choice.kind == Kind::kNone) {
        throw EMwException("Could not obtain a best connection.", kMwErrNoBestConnection);
      }
      created_.Wait(&list_mutex_);  // kWait: choose again when one is made
    }
    // Counted meanwhile, so that MaxConnections holds.
    ++creating_;
  }
  return CreateForTake(count_caller);
}

TMwConnectionRef TMwClientConnectionPool::CreateForTake(bool count_caller) {
  TMwConnectionRef created;
  try {
    created = CreateConnection(/*in_obtain=*/true);
  } catch (...) {
    MutexLock lock(&list_mutex_);
    --creating_;
    created_.SignalAll();
    throw;
  }
  {
    MutexLock lock(&list_mutex_);
    --creating_;
    created_.SignalAll();
    if (settings_.active) {
      connections_.push_back(created);
      next_index_ = 0;
      return Claim(std::move(created), count_caller);
    }
  }
  // Deactivated meanwhile: the connection is not kept.
  created->DisconnectQuietly();
  throw EMwException("Connectionpool not active.", kMwErrPoolNotActive);
}

TMwConnectionRef TMwClientConnectionPool::ObtainConnection(bool immediate_lock, int owner_id,
                                                           int wait_timeout_ms) {
  if (!Active()) throw EMwException("Connectionpool not active.", kMwErrPoolNotActive);
  TMwConnectionRef taken = Take(/*count_caller=*/immediate_lock);
  if (immediate_lock && !LockCounted(taken.get(), owner_id, wait_timeout_ms)) {
    throw EMwException("Timeout/error waiting for connection.", kMwErrConnectionWait);
  }
  return taken;
}

TMwConnectionRef TMwClientConnectionPool::ObtainLockedConnection(int owner_id,
                                                                 int wait_timeout_ms) {
  if (!Active()) throw EMwException("Connectionpool not active.", kMwErrPoolNotActive);
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
    MutexLock lock(&list_mutex_);
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
    MutexLock lock(&list_mutex_);
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
    MutexLock lock(&list_mutex_);
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
  MutexLock lock(&list_mutex_);
  return static_cast<int>(connections_.size());
}

int TMwClientConnectionPool::TotalUserCount() const {
  MutexLock lock(&list_mutex_);
  int total = 0;
  for (const TMwConnectionRef& c : connections_) total += c->UserCount();
  return total;
}

std::string TMwClientConnectionPool::StatusText() const {
  MutexLock lock(&list_mutex_);
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
  const TMwPoolSettings settings = Settings();
  if (!settings.enable_cache) return;
  const int max_records = settings.max_cache_record_count;
  if (item.has_rows && !item.defs_only && max_records > 0 && record_count > max_records) return;
  const auto now = std::chrono::steady_clock::now();
  item.created = now;
  item.accessed = now;
  cache_.Store(std::move(item), replace, keep_created);
  cache_insertions_.fetch_add(1);
}

void TMwClientConnectionPool::CollectGarbage() {
  if (!GarbageCollection()) return;
  if (OnGarbageCollection) OnGarbageCollection(this);
  // Read after the handler, which may change them.
  const TMwPoolSettings settings = Settings();
  cache_.Collect(settings.max_cache_age_s, settings.max_cache_entries,
                 std::chrono::steady_clock::now());
  CollectConnections(settings.inactivity_timeout_s);
}

void TMwClientConnectionPool::CollectConnections(int timeout_s) {
  // Chosen under the list lock, from the last entry to the first, and
  // claimed there (see TryClaimIdle), so no caller takes them meanwhile.
  std::vector<TMwClientConnection*> claimed;
  {
    MutexLock lock(&list_mutex_);
    const auto now = std::chrono::steady_clock::now();
    const size_t min = static_cast<size_t>(settings_.min_connections);
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
