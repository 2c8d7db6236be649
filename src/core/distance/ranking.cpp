#include "core/distance/ranking.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <utility>

#include "core/distance/order_key.h"

namespace tavrik {
namespace {

// The stable sort's first `limit` records (limit < size, limit <=
// kInsertionLimit): each record goes after every kept record whose key is
// not larger, so among equals the earlier one stays first, and falls off
// once `limit` records rank before it or equally.
void keep_top(std::vector<ScoredPoint>& results, std::size_t limit, bool ascending) {
  struct Kept {
    std::uint32_t key;
    std::size_t index;
  };
  std::array<Kept, kInsertionLimit> top;
  std::size_t kept = 0;
  for (std::size_t i = 0; i < results.size(); ++i) {
    const float score = results[i].score;
    const std::uint32_t key =
        ascending ? ascending_order_key(score) : descending_order_key(score);
    if (kept == limit && key >= top[kept - 1].key) continue;
    std::size_t at = kept == limit ? limit - 1 : kept++;
    for (; at > 0 && top[at - 1].key > key; --at) top[at] = top[at - 1];
    top[at] = {key, i};
  }
  std::array<ScoredPoint, kInsertionLimit> chosen;
  for (std::size_t j = 0; j < kept; ++j) chosen[j] = results[top[j].index];
  results.assign(chosen.begin(), chosen.begin() + static_cast<std::ptrdiff_t>(kept));
}

}  // namespace

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
