// The query-time search of the graph, run for several queries at once.
//
// A walk descends through the upper layers when it is made, then runs the
// best-first search of layer 0 (at most ef_search results, sorted by
// ascending distance, stable) one expansion at a time. Walks run together
// expand in lock step, a phase of each expansion for every walk in turn:
// each phase requests the memory the walk's next phase reads (a node's
// lists, the table entries of its neighbours, their vectors), so one walk's
// loads arrive while the others compute, and the neighbours of all walks
// are scored together, several queries side by side in one lane-kernel
// call. Distances depend only on the query and the point, and each walk's
// steps depend on nothing outside it, so every walk gives exactly the
// candidates it gives when run alone.
//
// A walk on its own has no other walks to share a kernel call with, so it
// fills the lanes it would leave empty with neighbours of the candidates
// that come next and keeps their distances for later (see ScoreCache);
// marks, checks and admissions still happen one by one in the same order.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

#include "core/query/prepared_query.h"
#include "core/vector/point_table.h"
#include "index/hnsw/graph_scratch.h"
#include "index/hnsw/hnsw_index.h"
#include "index/hnsw/scored_id.h"

namespace tavrik {

class GraphWalk {
 public:
  // Starts the search for `query` in `scratch` (cleared first). The query,
  // tables and scratch must outlive the walk. A graph without an entry
  // point, or whose descent ends on an id without a point, yields nothing.
  GraphWalk(std::span<const float> query, const HNSWIndex& index, const PointTable& points,
            std::optional<std::string_view> tenant, GraphScratch& scratch);

  bool done() const { return phase_ == Phase::Done; }

  // Runs the walk to its end on its own.
  void finish();

  // The candidates, sorted by ascending distance (stable); only once done.
  // They live in the scratch and are valid until its next use.
  std::span<const ScoredId> candidates() const { return scratch_.results; }

 private:
  friend void run_together(std::span<GraphWalk> walks);

  enum class Phase {
    Take,   // take the closest candidate from C; request its lists
    Mark,   // mark its layer-0 neighbours; request their table entries
    Check,  // keep those with a point that passes the tenant test; request vectors
    Score,  // waiting for its neighbours' distances (and some scored ahead)
    Admit,  // the distances are known: admit each neighbour in list order
    Done,
  };

  void take(bool alone);
  void mark();
  void check(bool alone);
  void score_ahead();
  void score_lanes();
  void admit(bool alone);
  void end();

  PreparedQuery query_;
  const HNSWIndex& index_;
  const PointTable& points_;
  std::optional<std::string_view> tenant_;
  GraphScratch& scratch_;
  Phase phase_ = Phase::Done;
  const HNSWNode* node_ = nullptr;  // the node being expanded
  float worst_ = 0.0f;              // W's largest distance when node_ was taken
};

// Runs the walks together until every one is done.
void run_together(std::span<GraphWalk> walks);

}  // namespace tavrik
