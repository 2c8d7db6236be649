#include "core/distance/ranking.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <utility>

#include "core/distance/order_key.h"

namespace tavrik {
namespace {

// The first `limit` (at most kInsertionLimit) of the records offered in
// turn, by key: each goes after every kept record whose key is not larger,
// so among equals the earlier one stays first, and falls off once `limit`
// records rank before it or equally. This is the stable sort's prefix.
class TopKeys {
 public:
  explicit TopKeys(std::size_t limit) : limit_(limit) {}

  // False when a record of this key would not be kept: it needs no offer.
  bool wanted(std::uint32_t key) const { return kept_ < limit_ || key < top_[kept_ - 1].key; }
  // Keeps record `index`, which is wanted.
  void offer(std::uint32_t key, std::size_t index) {
    std::size_t at = kept_ == limit_ ? limit_ - 1 : kept_++;
    for (; at > 0 && top_[at - 1].key > key; --at) top_[at] = top_[at - 1];
    top_[at] = {key, index};
  }

  std::size_t size() const { return kept_; }
  // The index of the kept record at rank j.
  std::size_t index(std::size_t j) const { return top_[j].index; }

 private:
  struct Kept {
    std::uint32_t key;
    std::size_t index;
  };
  std::size_t limit_;
  std::size_t kept_ = 0;
  std::array<Kept, kInsertionLimit> top_;
};

void keep_top(std::vector<ScoredPoint>& results, std::size_t limit, bool ascending) {
  TopKeys top(limit);
  for (std::size_t i = 0; i < results.size(); ++i) {
    const float score = results[i].score;
    const std::uint32_t key =
        ascending ? ascending_order_key(score) : descending_order_key(score);
    if (top.wanted(key)) top.offer(key, i);
  }
  std::array<ScoredPoint, kInsertionLimit> chosen;
  for (std::size_t j = 0; j < top.size(); ++j) chosen[j] = results[top.index(j)];
  results.assign(chosen.begin(), chosen.begin() + static_cast<std::ptrdiff_t>(top.size()));
}

// The keys of `scores`, in a loop of its own that the compiler runs
// several lanes at a time (no branches).
template <bool kAscending>
void order_keys(std::span<const float> scores, std::uint32_t* keys) {
  for (std::size_t i = 0; i < scores.size(); ++i) {
    keys[i] = kAscending ? ascending_order_key(scores[i]) : descending_order_key(scores[i]);
  }
}

}  // namespace

bool ranks_top_slots(std::uint64_t limit) { return limit >= 1 && limit <= kInsertionLimit; }

std::vector<ScoredPoint> rank_top_slots(std::span<const float> scores,
                                        std::span<const std::uint64_t> ids,
                                        std::span<const std::uint8_t> excluded, Metric metric,
                                        std::size_t limit) {
  // Keys in chunks, so a store of any size needs no allocation for them.
  constexpr std::size_t kChunk = 512;
  std::uint32_t keys[kChunk];
  TopKeys top(limit);
  const bool ascending = ranks_ascending(metric);
  for (std::size_t start = 0; start < scores.size(); start += kChunk) {
    const std::size_t length = std::min(kChunk, scores.size() - start);
    if (ascending) {
      order_keys<true>(scores.subspan(start, length), keys);
    } else {
      order_keys<false>(scores.subspan(start, length), keys);
    }
    for (std::size_t i = 0; i < length; ++i) {
      const std::size_t slot = start + i;
      if (top.wanted(keys[i]) && (excluded.empty() || excluded[slot] == 0)) {
        top.offer(keys[i], slot);
      }
    }
  }
  std::vector<ScoredPoint> results(top.size());
  for (std::size_t j = 0; j < top.size(); ++j) {
    results[j] = {ids[top.index(j)], scores[top.index(j)]};
  }
  return results;
}

void rank_top_by_metric(std::vector<ScoredPoint>& results, Metric metric, std::uint64_t limit) {
  if (limit == 0) {
    results.clear();
    return;
  }
  if (limit >= results.size() || limit > kInsertionLimit) {
    rank_by_metric(results, metric);
    if (limit < results.size()) results.resize(static_cast<std::size_t>(limit));
    return;
  }
  keep_top(results, static_cast<std::size_t>(limit), ranks_ascending(metric));
}

void rank_by_metric(std::vector<ScoredPoint>& results, Metric metric) {
  if (ranks_ascending(metric)) {
    std::stable_sort(results.begin(), results.end(),
                     [](const ScoredPoint& a, const ScoredPoint& b) {
                       return ascending_order_key(a.score) < ascending_order_key(b.score);
                     });
  } else {
    std::stable_sort(results.begin(), results.end(),
                     [](const ScoredPoint& a, const ScoredPoint& b) {
                       return descending_order_key(a.score) < descending_order_key(b.score);
                     });
  }
}

}  // namespace tavrik
