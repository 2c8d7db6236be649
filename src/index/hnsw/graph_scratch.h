// Working storage of the query-time search, reusable from one search to the
// next on the same thread.
//
// Each search starts by clearing it (so results never depend on what an
// earlier search left), and the storage it keeps between searches is capped:
// beyond kKeepSlots visited slots or kKeepPairs candidate or result pairs it
// is released and sized afresh; visited bits are kept for ranges up to
// VisitedIds::kMaxBitmapIds ids, and the table of distances scored ahead
// (24 KiB) once a walk on its own has used it. A scratch serves one search
// at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "index/hnsw/candidate_order.h"
#include "index/hnsw/score_cache.h"
#include "index/hnsw/visited_ids.h"

namespace tavrik {

struct Point;

// A neighbour marked while its node is expanded, its point once found and
// its distance once scored (or found scored ahead).
struct FreshNeighbor {
  std::uint64_t id;
  const Point* point;
  float distance;
  bool scored;
};

// A lane of a kernel call: the point to score and where its distance goes.
struct PendingScore {
  const Point* point;
  float* distance;
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
    unsorted_worst = 0.0f;
    ahead.reset();
    lanes.clear();
  }

  VisitedIds visited;
  CandidateQueue candidates;       // C: still to expand
  std::vector<ScoredId> results;   // W: best found, at most ef after trimming
  std::vector<FreshNeighbor> fresh;  // the expanded node's neighbours, this expansion
  ScoreCache ahead;                  // neighbours of pending candidates, scored early
  std::vector<PendingScore> lanes;   // this expansion's kernel lanes, needed and ahead
  // True once W has overflowed: W then stays sorted ascending and at ef
  // pairs, so every admission overflows again and only the new pair has to
  // move into place.
  bool results_sorted = false;
  // Until then, worst_distance(results), kept up to date as pairs are added
  // (the running maximum taken one more step each time).
  float unsorted_worst = 0.0f;
};

}  // namespace tavrik
