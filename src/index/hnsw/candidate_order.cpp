#include "index/hnsw/candidate_order.h"

#include <algorithm>
#include <array>
#include <functional>

#include "core/distance/distance.h"
#include "core/distance/order_key.h"

namespace tavrik {

bool sorts_before(const ScoredId& a, const ScoredId& b) {
  return ascending_order_key(a.distance) < ascending_order_key(b.distance);
}

void sort_ascending(std::vector<ScoredId>& pairs) {
  const std::size_t count = pairs.size();
  if (count > kInsertionLimit) {
    std::stable_sort(pairs.begin(), pairs.end(), sorts_before);
    return;
  }
  // Short lists (the bound only keeps the words below on the stack) sort
  // each pair's place as one word: its distance's key above, its position
  // below. The words are distinct and order pairs as the stable sort does,
  // so any sort of them gives its result, with one integer comparison per
  // step.
  std::array<std::uint64_t, kInsertionLimit> places;
  for (std::size_t i = 0; i < count; ++i) {
    places[i] = (static_cast<std::uint64_t>(ascending_order_key(pairs[i].distance)) << 32) | i;
  }
  std::sort(places.begin(), places.begin() + count);
  std::array<ScoredId, kInsertionLimit> sorted;
  for (std::size_t i = 0; i < count; ++i) sorted[i] = pairs[static_cast<std::uint32_t>(places[i])];
  std::copy_n(sorted.begin(), count, pairs.begin());
}

// The last pair goes before the pairs strictly greater than it, which in a
// sorted list are a run at its end: it is found by bisection.
void insert_last_sorted(std::vector<ScoredId>& pairs) {
  if (pairs.size() < 2) return;
  const ScoredId moving = pairs.back();
  const std::uint32_t key = ascending_order_key(moving.distance);
  const auto last = pairs.end() - 1;
  const auto at = std::upper_bound(pairs.begin(), last, key,
                                   [](std::uint32_t k, const ScoredId& pair) {
                                     return k < ascending_order_key(pair.distance);
                                   });
  std::move_backward(at, last, pairs.end());
  *at = moving;
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
