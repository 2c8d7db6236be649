// Ordering of the (distance, id) pairs of the query-time search.
//
// "Ascending" is a stable sort by distance: smaller distances first, equal
// distances keep their relative order. NaN distances compare equal to each
// other and greater than every number, so they gather at the end and the
// comparison stays a strict weak ordering.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "index/hnsw/scored_id.h"

namespace tavrik {

struct HNSWNode;

// True when `a` sorts strictly before `b`.
bool sorts_before(const ScoredId& a, const ScoredId& b);

void sort_ascending(std::vector<ScoredId>& pairs);

// sort_ascending for a list that is sorted ascending except for its last
// pair: the last pair moves before the pairs that are strictly greater, which
// is where the stable sort would put it, found in logarithmic steps; only the
// pairs after that place move.
void insert_last_sorted(std::vector<ScoredId>& pairs);

// The candidate list C of the query-time search, as a binary heap. take()
// yields what sorting C ascending and taking its front yields: the least
// distance, and among equal distances the pair added first (a stable sort
// never reorders equal pairs, so their order in C is the order of adding).
class CandidateQueue {
 public:
  bool empty() const { return heap_.empty(); }
  // Empties the queue and restarts the order of adding, as a fresh queue
  // would; the storage is kept unless it holds room for more than
  // `keep_pairs` pairs.
  void clear(std::size_t keep_pairs);
  // What take() would yield now, without taking it. Not empty.
  std::uint64_t next_id() const { return pair_of(heap_.front()).id; }
  // Each pair carries the graph node of its id, as the caller found it
  // (nullptr for none); it plays no part in the order.
  const HNSWNode* next_node() const { return pair_of(heap_.front()).node; }
  void push(const ScoredId& pair, const HNSWNode* node = nullptr);
  ScoredId take();
  // take(), also giving the pair's node.
  ScoredId take(const HNSWNode*& node);

  // The pairs held, in the heap's storage order: position 0 is what take()
  // yields next, and the pairs taken soon after mostly sit at the first
  // few positions. Each pair also carries a note for the caller's own use,
  // zero when pushed; nodes and notes never change the order of taking.
  std::size_t size() const { return heap_.size(); }
  const HNSWNode* node_at(std::size_t position) const { return pair_of(heap_[position]).node; }
  std::uint32_t& note_at(std::size_t position) {
    return pairs_[static_cast<std::uint32_t>(heap_[position])].note;
  }

 private:
  // The heap holds only each pair's place in the order of taking, in one
  // word: the distance's ascending_order_key (every NaN equal and last, -0
  // equal to +0) above, the order of adding below, so comparing two is one
  // integer comparison; the pair itself sits in pairs_ at its order of
  // adding. That order is counted in 32 bits; should it ever run out, the
  // pairs held are renumbered in the same order.
  struct Added {
    std::uint64_t id;
    const HNSWNode* node;
    float distance;
    std::uint32_t note;
  };
  const Added& pair_of(std::uint64_t key) const { return pairs_[static_cast<std::uint32_t>(key)]; }
  void renumber();

  std::vector<std::uint64_t> heap_;
  std::vector<Added> pairs_;
  std::uint32_t added_ = 0;
};

// One step of the running maximum: keep the running value when it is
// greater than the next distance, take that distance otherwise (so a NaN
// running value yields to whatever follows).
inline float running_maximum(float worst, float next) { return worst > next ? worst : next; }

// The running maximum over `pairs` in order, from the first distance;
// kUncomparableDistance for an empty list.
float worst_distance(const std::vector<ScoredId>& pairs);

}  // namespace tavrik
