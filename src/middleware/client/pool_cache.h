// TMwCache: the connection pool's thread-safe result cache.
//
// Items are ordered most recently used first. An item holds the output
// parameters of a query and, when rows were cached, the rows as one dataset
// stream block (the same bytes a query result arrives in), so a hit is
// loaded back exactly like a server's answer.
//
// Key: CRC-32 of the statement text (lines joined, trimmed) + "," followed,
// unless mwcfNoParamsInCacheID is set, by each selected parameter's value as
// text + ",". A parameter is selected when CacheParams is ptUnknown, equals
// its type, or is ptInputOutput while the parameter is ptInput or ptOutput.
#ifndef TALLYVOX_MIDDLEWARE_CLIENT_POOL_CACHE_H_
#define TALLYVOX_MIDDLEWARE_CLIENT_POOL_CACHE_H_

#include <chrono>
#include <cstdint>
#include <list>
#include <memory>
#include <string>

#include "base/mutex.h"
#include "middleware/client/client_query_params.h"

namespace tallyvox::mw {

// TMwCacheFlags: a set of these bits.
using TMwCacheFlags = uint32_t;
constexpr TMwCacheFlags mwcfDefsOnly = 1u << 0;            // cache field definitions only
constexpr TMwCacheFlags mwcfNoParamsInCacheID = 1u << 1;   // key from the statement alone
constexpr TMwCacheFlags mwcfDontAge = 1u << 2;             // never dropped for its age
constexpr TMwCacheFlags mwcfDontGarbageCollect = 1u << 3;  // kept by the collector

struct TMwCacheItem {
  int32_t key = 0;
  bool has_rows = false;   // `block` holds a dataset stream block
  bool defs_only = false;  // the block holds definitions only
  std::string block;
  TParams params;
  // On the steady clock: the collector drops items by their age.
  std::chrono::steady_clock::time_point created;
  std::chrono::steady_clock::time_point accessed;
  TMwCacheFlags flags = 0;
};

// The cache key of a statement and its parameters (see the file comment).
int32_t MwCacheKey(const std::string& statement_text, const TParams& params, TMwCacheFlags flags,
                   TParamType cache_params, TMwStringConversion conversion = mwscFixed);

class TMwCache {
 public:
  struct Hit {
    bool has_rows = false;
    bool defs_only = false;
    std::string block;
    TParams params;
  };

  // Looks `key` up. On a match the item moves to the front and its access
  // time is renewed. A look-up for rows (defs_only false) of an item holding
  // definitions only is a miss. Returns true on a hit and fills *hit.
  bool Lookup(int32_t key, bool defs_only, Hit* hit) EXCLUDES(mutex_);

  // Inserts a new item at the front. With `replace`, an item of the same key
  // is destroyed first (its creation time is kept with `keep_created`).
  void Store(TMwCacheItem item, bool replace, bool keep_created) EXCLUDES(mutex_);

  // The collector's step: with max_entries > 0, drops items older than
  // max_age_s seconds (from creation; only when max_age_s > 0) unless flagged
  // mwcfDontAge or mwcfDontGarbageCollect; then trims the least recently used
  // items down to max_entries, sparing mwcfDontGarbageCollect items unless
  // max_entries is 0.
  void Collect(int max_age_s, int max_entries, std::chrono::steady_clock::time_point now)
      EXCLUDES(mutex_);

  size_t Count() const EXCLUDES(mutex_);
  void Clear() EXCLUDES(mutex_);

 private:
  mutable Mutex mutex_;
  std::list<TMwCacheItem> items_ GUARDED_BY(mutex_);  // most recently used first
};

}  // namespace tallyvox::mw

#endif  // TALLYVOX_MIDDLEWARE_CLIENT_POOL_CACHE_H_
