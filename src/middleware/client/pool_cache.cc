#include "middleware/client/pool_cache.h"

#include "middleware/client/pool_crc32.h"

namespace tallyvox::mw {

int32_t MwCacheKey(const std::string& statement_text, const TParams& params, TMwCacheFlags flags,
                   TParamType cache_params, TMwStringConversion conversion) {
  std::string text = statement_text + ",";
  if ((flags & mwcfNoParamsInCacheID) == 0) {
    for (const TParam& p : params.Items()) {
      bool selected =
          cache_params == ptUnknown || cache_params == p.param_type ||
          (cache_params == ptInputOutput && (p.param_type == ptInput || p.param_type == ptOutput));
      if (!selected) continue;
      text += p.IsNull() ? std::string() : MwParamValueText(p.value, conversion);
      text += ",";
    }
  }
  return static_cast<int32_t>(MwCrc32(text));
}

bool TMwCache::Lookup(int32_t key, bool defs_only, Hit* hit) {
  MutexLock lock(&mutex_);
  for (auto it = items_.begin(); it != items_.end(); ++it) {
    if (it->key != key) continue;
    if (!defs_only && it->defs_only) return false;
    it->accessed = std::chrono::steady_clock::now();
    items_.splice(items_.begin(), items_, it);
    const TMwCacheItem& item = items_.front();
    hit->has_rows = item.has_rows;
    hit->defs_only = item.defs_only;
    hit->block = item.block;
    hit->params = item.params;
    return true;
  }
  return false;
}

void TMwCache::Store(TMwCacheItem item, bool replace, bool keep_created) {
  MutexLock lock(&mutex_);
  if (replace) {
    for (auto it = items_.begin(); it != items_.end(); ++it) {
      if (it->key != item.key) continue;
      if (keep_created) item.created = it->created;
      items_.erase(it);
      break;
    }
  }
  items_.push_front(std::move(item));
}

void TMwCache::Collect(int max_age_s, int max_entries, std::chrono::steady_clock::time_point now) {
  MutexLock lock(&mutex_);
  if (max_entries > 0 && max_age_s > 0) {
    const std::chrono::seconds max_age(max_age_s);
    for (auto it = items_.end(); it != items_.begin();) {
      --it;
      bool spared = (it->flags & (mwcfDontAge | mwcfDontGarbageCollect)) != 0;
      if (!spared && now - it->created > max_age) it = items_.erase(it);
    }
  }
  if (max_entries < 0) return;
  size_t limit = static_cast<size_t>(max_entries);
  for (auto it = items_.end(); items_.size() > limit && it != items_.begin();) {
    --it;
    if (max_entries != 0 && (it->flags & mwcfDontGarbageCollect) != 0) continue;
    it = items_.erase(it);
  }
}

size_t TMwCache::Count() const {
  MutexLock lock(&mutex_);
  return items_.size();
}

void TMwCache::Clear() {
  MutexLock lock(&mutex_);
  items_.clear();
}

}  // namespace tallyvox::mw
