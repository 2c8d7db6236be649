// Working storage of the query-time search, reusable from one search to the
// next on the same thread.
//
// Each search starts by clearing it (so results never depend on what an
// earlier search left), and the storage it keeps between searches is capped:
// beyond kKeepSlots visited slots or kKeepPairs candidate or result pairs it
// is released and sized afresh. A scratch serves one search at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "index/hnsw/candidate_order.h"
#include "index/hnsw/visited_ids.h"

namespace tavrik {

struct Point;

// A neighbour marked while its node is expanded, its point once found and
// its distance once scored.
struct FreshNeighbor {
  std::uint64_t id;
  const Point* point;
  float distance;
};

class GraphScratch {
 public:
  static constexpr std::size_t kKeepSlots = 16384;
  static constexpr std::size_t kKeepPairs = 4096;

  GraphScratch() : visited(0, 0) {}

  // Clears everything for a search whose visited range ends at `largest_id`.
  void reset(std::uint64_t largest_id, std::size_t expected_marks) {
    visited.reset(largest_id, expected_marks, kKeepSlots);
    candidates.clear(kKeepPairs);
    results.clear();
    if (results.capacity() > kKeepPairs) std::vector<ScoredId>().swap(results);
    fresh.clear();
    if (fresh.capacity() > kKeepPairs) std::vector<FreshNeighbor>().swap(fresh);
    results_sorted = false;
  }

  VisitedIds visited;
  CandidateQueue candidates;       // C: still to expand
  std::vector<ScoredId> results;   // W: best found, at most ef after trimming
  std::vector<FreshNeighbor> fresh;  // the expanded node's neighbours, this expansion
  // True once W has overflowed: W then stays sorted ascending and at ef
  // pairs, so every admission overflows again and only the new pair has to
  // move into place.
  bool results_sorted = false;
};

}  // namespace tavrik
