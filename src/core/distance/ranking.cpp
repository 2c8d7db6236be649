#include "core/distance/ranking.h"

#include <algorithm>
#include <cmath>
#include <utility>

namespace tavrik {
namespace {

// True when `a` must come before `b`. A NaN never precedes anything and
// every number precedes a NaN, so NaNs form one equivalence class placed
// last; among numbers this is the plain `<` (or `>`), a strict weak ordering.
template <class Better>
bool ranks_before(float a, float b, Better better) {
  if (std::isnan(a)) return false;
  if (std::isnan(b)) return true;
  return better(a, b);
}

// Up to this many records are kept by insertion; longer limits sort.
constexpr std::uint64_t kInsertionLimit = 64;

// The stable sort's first `limit` records (limit < size): each record goes
// after every kept record that it does not rank before, so among equals the
// earlier one stays first, and falls off once `limit` records rank before
// it or equally.
template <class Before>
void keep_top(std::vector<ScoredPoint>& results, std::size_t limit, Before before) {
  std::vector<ScoredPoint> top;
  top.reserve(limit + 1);
  for (const ScoredPoint& record : results) {
    if (top.size() == limit && !before(record, top.back())) continue;
    const auto at = std::upper_bound(top.begin(), top.end(), record, before);
    top.insert(at, record);
    if (top.size() > limit) top.pop_back();
  }
  results = std::move(top);
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
  const auto size = static_cast<std::size_t>(limit);
  if (ranks_ascending(metric)) {
    keep_top(results, size, [](const ScoredPoint& a, const ScoredPoint& b) {
      return ranks_before(a.score, b.score, [](float x, float y) { return x < y; });
    });
  } else {
    keep_top(results, size, [](const ScoredPoint& a, const ScoredPoint& b) {
      return ranks_before(a.score, b.score, [](float x, float y) { return x > y; });
    });
  }
}

void rank_by_metric(std::vector<ScoredPoint>& results, Metric metric) {
  if (ranks_ascending(metric)) {
    std::stable_sort(results.begin(), results.end(),
                     [](const ScoredPoint& a, const ScoredPoint& b) {
                       return ranks_before(a.score, b.score, [](float x, float y) { return x < y; });
                     });
  } else {
    std::stable_sort(results.begin(), results.end(),
                     [](const ScoredPoint& a, const ScoredPoint& b) {
                       return ranks_before(a.score, b.score, [](float x, float y) { return x > y; });
                     });
  }
}

}  // namespace tavrik
