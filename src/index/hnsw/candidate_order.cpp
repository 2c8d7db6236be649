#include "index/hnsw/candidate_order.h"

#include <algorithm>
#include <cmath>

#include "core/distance/distance.h"

namespace tavrik {

bool sorts_before(const ScoredId& a, const ScoredId& b) {
  if (std::isnan(a.distance)) return false;
  if (std::isnan(b.distance)) return true;
  return a.distance < b.distance;
}

void sort_ascending(std::vector<ScoredId>& pairs) {
  std::stable_sort(pairs.begin(), pairs.end(), sorts_before);
}

float worst_distance(const std::vector<ScoredId>& pairs) {
  if (pairs.empty()) return kUncomparableDistance;
  float worst = pairs.front().distance;
  for (std::size_t i = 1; i < pairs.size(); ++i) {
    const float d = pairs[i].distance;
    worst = worst > d ? worst : d;
  }
  return worst;
}

}  // namespace tavrik
