#include "core/distance/ranking.h"

#include <algorithm>
#include <cmath>

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

}  // namespace

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
