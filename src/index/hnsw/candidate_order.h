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

// True when `a` sorts strictly before `b`.
bool sorts_before(const ScoredId& a, const ScoredId& b);

void sort_ascending(std::vector<ScoredId>& pairs);

// sort_ascending for a list that is sorted ascending except for its last
// pair: the last pair moves before the pairs that are strictly greater, which
// is where the stable sort would put it. Linear, with no pass over the rest.
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
  const ScoredId& next() const { return heap_.front().pair; }
  void push(const ScoredId& pair);
  ScoredId take();

 private:
  // The pair with its place in the order of taking: the distance's
  // ascending_order_key (every NaN equal and last, -0 equal to +0), then the
  // order of adding. Comparing two entries is then two integer comparisons.
  struct Entry {
    std::uint32_t distance_key;
    std::uint64_t order;
    ScoredId pair;
  };
  // True when `a` is taken after `b`.
  static bool taken_after(const Entry& a, const Entry& b) {
    return a.distance_key != b.distance_key ? a.distance_key > b.distance_key
                                            : a.order > b.order;
  }

  std::vector<Entry> heap_;
  std::uint64_t added_ = 0;
};

// The running maximum over `pairs` in order: start from the first distance,
// keep the running value when it is greater than the next pair's distance,
// take that distance otherwise (so a NaN running value yields to whatever
// follows). kUncomparableDistance for an empty list.
float worst_distance(const std::vector<ScoredId>& pairs);

}  // namespace tavrik
