#include "index/hnsw/candidate_order.h"

#include <algorithm>
#include <functional>

#include "core/distance/distance.h"
#include "core/distance/order_key.h"

namespace tavrik {

bool sorts_before(const ScoredId& a, const ScoredId& b) {
  return ascending_order_key(a.distance) < ascending_order_key(b.distance);
}

namespace {

// Moves pairs[i] back into place among pairs[0..i), which are sorted: only
// past strictly greater pairs, so equal ones keep their order.
void sink(std::vector<ScoredId>& pairs, std::size_t i) {
  const ScoredId moving = pairs[i];
  std::size_t at = i;
  while (at > 0 && sorts_before(moving, pairs[at - 1])) {
    pairs[at] = pairs[at - 1];
    --at;
  }
  pairs[at] = moving;
}

}  // namespace

void sort_ascending(std::vector<ScoredId>& pairs) {
  // Short lists, which are mostly sorted already (a sorted list with one
  // pair appended), by insertion; its result is the stable sort's.
  if (pairs.size() > kInsertionLimit) {
    std::stable_sort(pairs.begin(), pairs.end(), sorts_before);
    return;
  }
  for (std::size_t i = 1; i < pairs.size(); ++i) sink(pairs, i);
}

void insert_last_sorted(std::vector<ScoredId>& pairs) {
  if (pairs.size() >= 2) sink(pairs, pairs.size() - 1);
}

void CandidateQueue::clear(std::size_t keep_pairs) {
  heap_.clear();
  pairs_.clear();
  if (heap_.capacity() > keep_pairs) std::vector<std::uint64_t>().swap(heap_);
  if (pairs_.capacity() > keep_pairs) std::vector<Added>().swap(pairs_);
  added_ = 0;
}

void CandidateQueue::push(const ScoredId& pair, const HNSWNode* node) {
  if (added_ == ~std::uint32_t{0}) renumber();
  const std::uint64_t key =
      (static_cast<std::uint64_t>(ascending_order_key(pair.distance)) << 32) | added_++;
  pairs_.push_back({pair.id, node, pair.distance, 0});
  heap_.push_back(key);
  std::push_heap(heap_.begin(), heap_.end(), std::greater<>());
}

void CandidateQueue::renumber() {
  // The relative order of every pair held stays as it was, so the heap
  // stays one; the pairs move to their new places.
  std::vector<std::size_t> by_order(heap_.size());
  for (std::size_t i = 0; i < by_order.size(); ++i) by_order[i] = i;
  std::sort(by_order.begin(), by_order.end(), [&](std::size_t a, std::size_t b) {
    return static_cast<std::uint32_t>(heap_[a]) < static_cast<std::uint32_t>(heap_[b]);
  });
  std::vector<Added> held;
  held.reserve(heap_.size());
  for (const std::size_t i : by_order) {
    held.push_back(pair_of(heap_[i]));
    heap_[i] = (heap_[i] & ~std::uint64_t{0xFFFF'FFFFu}) | (held.size() - 1);
  }
  pairs_.swap(held);
  added_ = static_cast<std::uint32_t>(pairs_.size());
}

ScoredId CandidateQueue::take() {
  const HNSWNode* node = nullptr;
  return take(node);
}

ScoredId CandidateQueue::take(const HNSWNode*& node) {
  std::pop_heap(heap_.begin(), heap_.end(), std::greater<>());
  const Added& taken = pair_of(heap_.back());
  heap_.pop_back();
  node = taken.node;
  return {taken.distance, taken.id};
}

float worst_distance(const std::vector<ScoredId>& pairs) {
  if (pairs.empty()) return kUncomparableDistance;
  float worst = pairs.front().distance;
  for (std::size_t i = 1; i < pairs.size(); ++i) {
    worst = running_maximum(worst, pairs[i].distance);
  }
  return worst;
}

}  // namespace tavrik
