#include "index/hnsw/candidate_order.h"

#include <algorithm>
#include <cmath>

#include "core/distance/distance.h"
#include "core/distance/order_key.h"

namespace tavrik {

bool sorts_before(const ScoredId& a, const ScoredId& b) {
  if (std::isnan(a.distance)) return false;
  if (std::isnan(b.distance)) return true;
  return a.distance < b.distance;
}

void sort_ascending(std::vector<ScoredId>& pairs) {
  // Short lists, which are mostly sorted already (a sorted list with one
  // pair appended), by insertion: a pair moves only past strictly greater
  // ones, so the sort is stable and its result is the stable sort's.
  constexpr std::size_t kInsertionLimit = 64;
  if (pairs.size() > kInsertionLimit) {
    std::stable_sort(pairs.begin(), pairs.end(), sorts_before);
    return;
  }
  for (std::size_t i = 1; i < pairs.size(); ++i) {
    const ScoredId moving = pairs[i];
    std::size_t at = i;
    while (at > 0 && sorts_before(moving, pairs[at - 1])) {
      pairs[at] = pairs[at - 1];
      --at;
    }
    pairs[at] = moving;
  }
}

void insert_last_sorted(std::vector<ScoredId>& pairs) {
  if (pairs.size() < 2) return;
  const ScoredId moving = pairs.back();
  std::size_t at = pairs.size() - 1;
  while (at > 0 && sorts_before(moving, pairs[at - 1])) {
    pairs[at] = pairs[at - 1];
    --at;
  }
  pairs[at] = moving;
}

void CandidateQueue::clear(std::size_t keep_pairs) {
  heap_.clear();
  if (heap_.capacity() > keep_pairs) std::vector<Entry>().swap(heap_);
  added_ = 0;
}

void CandidateQueue::push(const ScoredId& pair) {
  heap_.push_back({ascending_order_key(pair.distance), added_++, pair});
  std::push_heap(heap_.begin(), heap_.end(),
                 [](const Entry& a, const Entry& b) { return taken_after(a, b); });
}

ScoredId CandidateQueue::take() {
  std::pop_heap(heap_.begin(), heap_.end(),
                [](const Entry& a, const Entry& b) { return taken_after(a, b); });
  const ScoredId pair = heap_.back().pair;
  heap_.pop_back();
  return pair;
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
