#include "index/hnsw/graph_walk.h"

#include <algorithm>

#include "core/distance/distance.h"
#include "core/distance/lane_batch.h"
#include "index/hnsw/candidate_order.h"
#include "index/hnsw/descent.h"
#include "index/hnsw/search_layer.h"

namespace tavrik {
namespace {

// Only sizes the visited set up front; a loaded ef_search may be huge.
constexpr std::uint64_t kMaxVisitedReserve = 4096;

// A hint only: starts loading a neighbour's vector, taken to be as long
// as the query (as nearly every stored vector is), a few cache lines at most.
inline void prefetch_vector(const Point& point, std::size_t query_length) {
  constexpr std::size_t kMaxLines = 16;
  point.vector.prefetch(query_length, kMaxLines);
}

// Once W has overflowed it is sorted ascending, and the running maximum
// over a sorted list is its last distance (NaNs, gathered at the end, are
// taken as they come), so it is read directly. Before, W only grows, and
// the running maximum was carried along as each pair was added.
float worst_of(const GraphScratch& scratch) {
  if (scratch.results.empty()) return worst_distance(scratch.results);
  return scratch.results_sorted ? scratch.results.back().distance : scratch.unsorted_worst;
}

}  // namespace

GraphWalk::GraphWalk(std::span<const float> query, const HNSWIndex& index,
                     const PointTable& points, std::optional<std::string_view> tenant,
                     GraphScratch& scratch)
    : query_(query), index_(index), points_(points), tenant_(tenant), scratch_(scratch) {
  const std::uint64_t ef = index.ef_search;
  const std::uint64_t reserve = std::min(kMaxVisitedReserve, std::max<std::uint64_t>(ef, 1) * 16);
  scratch.reset(index.nodes.largest_id().value_or(0), reserve);
  if (!index.entry_point) return;  // callers route such stores to the exact scan
  const ScoredId start = descend(query_, measured(query_, *index.entry_point, points),
                                 index.max_level, 1, index, points, tenant);
  if (!points.lookup(start.id)) return;

  // The start pair is taken without a tenant test, even with ef 0 and even
  // when its id lies above the visited range.
  scratch.candidates.push(start, index.nodes.find(start.id));
  scratch.results.push_back(start);
  scratch.unsorted_worst = start.distance;
  scratch.visited.mark(start.id);
  phase_ = Phase::Take;
}

// A walk on its own goes through the phases of each expansion in turn and
// scores its lanes with its one query.
void GraphWalk::finish() {
  for (;;) {
    switch (phase_) {
      case Phase::Take:
        take(true);
        break;
      case Phase::Mark:
        mark();
        break;
      case Phase::Check:
        check(true);
        break;
      case Phase::Score:
        score_lanes();
        phase_ = Phase::Admit;
        break;
      case Phase::Admit:
        admit(true);
        break;
      case Phase::Done:
        return;
    }
  }
}

// Every admitted candidate is expanded in turn. A walk on its own looked up
// its node, and requested its lists, when it admitted it, and requests the
// lists of the one after again; walks run together requested its table
// entry then and look it up now, as other walks' work hid the wait.
void GraphWalk::take(bool alone) {
  if (scratch_.candidates.empty()) {
    end();
    return;
  }
  const std::uint64_t current = scratch_.candidates.take(node_).id;
  if (!alone) node_ = index_.nodes.find(current);
  if (alone && !scratch_.candidates.empty()) {
    if (const HNSWNode* upcoming = scratch_.candidates.next_node()) {
      upcoming->neighbors.prefetch();
    }
  }
  worst_ = worst_of(scratch_);
  if (node_ == nullptr) return;  // nothing to expand: take the next one
  node_->neighbors.prefetch();
  phase_ = Phase::Mark;
}

// Marked before the point and tenant checks: never examined twice. A
// neighbour scored ahead already passed those checks and has its distance.
void GraphWalk::mark() {
  GraphScratch& scratch = scratch_;
  scratch.fresh.clear();
  const bool any_ahead = !scratch.ahead.empty();
  for (const std::uint64_t id : node_->neighbors[0]) {
    if (!scratch.visited.mark(id)) continue;
    if (any_ahead) {
      if (const ScoreCache::Entry* early = scratch.ahead.find(id)) {
        scratch.fresh.push_back({id, early->point, early->distance, true});
        continue;
      }
    }
    scratch.fresh.push_back({id, nullptr, 0.0f, false});
    points_.prefetch(id);
  }
  phase_ = scratch.fresh.empty() ? Phase::Take : Phase::Check;
}

void GraphWalk::check(bool alone) {
  GraphScratch& scratch = scratch_;
  scratch.lanes.clear();
  std::size_t kept = 0;
  for (FreshNeighbor& neighbor : scratch.fresh) {
    if (!neighbor.scored) {
      const auto found = points_.find(neighbor.id);
      if (found == points_.end()) continue;
      if (tenant_ && !matches_tenant(found->second, *tenant_)) continue;
      prefetch_vector(found->second, query_.vector().size());
      neighbor.point = &found->second;
    }
    scratch.fresh[kept++] = neighbor;
  }
  scratch.fresh.resize(kept);
  for (FreshNeighbor& neighbor : scratch.fresh) {
    if (!neighbor.scored) scratch.lanes.push_back({neighbor.point, &neighbor.distance});
  }
  if (scratch.lanes.empty()) {
    phase_ = kept == 0 ? Phase::Take : Phase::Admit;
    return;
  }
  if (alone) score_ahead();
  phase_ = Phase::Score;
}

// Fills the lanes left in this expansion's last kernel call with
// neighbours of the candidates that come next (the first positions of C),
// in list order: those not visited, not scored yet, that pass the checks.
// A candidate's note holds how far its list has been gone through.
void GraphWalk::score_ahead() {
  constexpr std::size_t kPositions = 15;  // the first four levels of the heap
  constexpr std::uint32_t kDone = ~std::uint32_t{0};
  GraphScratch& scratch = scratch_;
  CandidateQueue& pending = scratch.candidates;
  const std::size_t wanted = (scratch.lanes.size() + kLaneCount - 1) / kLaneCount * kLaneCount;
  const std::size_t positions = std::min(kPositions, pending.size());
  for (std::size_t p = 0; p < positions && scratch.lanes.size() < wanted; ++p) {
    std::uint32_t& note = pending.note_at(p);
    if (note == kDone) continue;
    const HNSWNode* node = pending.node_at(p);
    if (node == nullptr) {
      note = kDone;
      continue;
    }
    const std::span<const std::uint64_t> list = node->neighbors[0];
    std::size_t at = note;
    for (; at < list.size() && scratch.lanes.size() < wanted; ++at) {
      if (scratch.ahead.full()) return;
      const std::uint64_t id = list[at];
      if (id == ScoreCache::kNone || !scratch.visited.markable(id) || scratch.ahead.find(id)) {
        continue;
      }
      const auto found = points_.find(id);
      if (found == points_.end()) continue;
      if (tenant_ && !matches_tenant(found->second, *tenant_)) continue;
      ScoreCache::Entry* entry = scratch.ahead.add(id, &found->second);
      scratch.lanes.push_back({entry->point, &entry->distance});
    }
    note = at == list.size() ? kDone : static_cast<std::uint32_t>(at);
  }
}

// Kernel calls of up to kLaneCount lanes, in lane order.
void GraphWalk::score_lanes() {
  const std::span<const PendingScore> lanes = scratch_.lanes;
  for (std::size_t first = 0; first < lanes.size(); first += kLaneCount) {
    const std::size_t count = std::min(kLaneCount, lanes.size() - first);
    const Point* points[kLaneCount];
    float distances[kLaneCount];
    for (std::size_t l = 0; l < count; ++l) points[l] = lanes[first + l].point;
    query_.cosine_distances_to(points, count, distances);
    for (std::size_t l = 0; l < count; ++l) *lanes[first + l].distance = distances[l];
  }
}

// The scored neighbours are admitted one by one in list order: the marks
// and checks did not depend on any distance, and `worst_` stays fixed for
// the whole node.
void GraphWalk::admit(bool alone) {
  const std::uint64_t ef = index_.ef_search;
  GraphScratch& scratch = scratch_;
  for (const FreshNeighbor& neighbor : scratch.fresh) {
    const float d = neighbor.distance;
    if (!(worst_ > d) && scratch.results.size() >= ef) continue;
    // Every admitted candidate is expanded in time: its node is needed (a
    // walk on its own looks it up now and requests its lists).
    const HNSWNode* node = nullptr;
    if (alone) {
      node = index_.nodes.find(neighbor.id);
      if (node != nullptr) node->neighbors.prefetch();
    } else {
      index_.nodes.prefetch(neighbor.id);
    }
    scratch.candidates.push({d, neighbor.id}, node);
    scratch.results.push_back({d, neighbor.id});
    if (!scratch.results_sorted) {
      scratch.unsorted_worst = running_maximum(scratch.unsorted_worst, d);
    }
    if (scratch.results.size() > ef) {
      if (scratch.results_sorted) {
        insert_last_sorted(scratch.results);
      } else {
        sort_ascending(scratch.results);
        scratch.results_sorted = true;
      }
      scratch.results.pop_back();  // among ties for the largest, the latest added
    }
  }
  phase_ = Phase::Take;
}

void GraphWalk::end() {
  if (!scratch_.results_sorted && scratch_.results.size() >= 2) {
    sort_ascending(scratch_.results);
  }
  phase_ = Phase::Done;
}

namespace {

// A neighbour of one of the walks waiting for its cosine distance.
struct JointLane {
  const PreparedQuery* query = nullptr;
  const Point* point = nullptr;
  float* distance = nullptr;
};

// Writes each lane's distance into it. Lanes all for one query share its
// values; otherwise each lane reads its own query.
void score_joint_lanes(std::span<JointLane> batch) {
  const std::size_t count = batch.size();
  const PreparedQuery* queries[kLaneCount] = {};
  const Point* points[kLaneCount] = {};
  for (std::size_t l = 0; l < count; ++l) {
    queries[l] = batch[l].query;
    points[l] = batch[l].point;
  }
  float distances[kLaneCount];
  const bool one_query = std::all_of(queries, queries + count,
                                     [&](const PreparedQuery* q) { return q == queries[0]; });
  if (one_query) {
    queries[0]->cosine_distances_to(points, count, distances);
  } else {
    cosine_distances_between(queries, points, count, distances);
  }
  for (std::size_t l = 0; l < count; ++l) *batch[l].distance = distances[l];
}

}  // namespace

// One round: every walk that is not done goes through the phases of one
// expansion, each phase for all walks before the next phase, so a walk's
// requested memory has the other walks' work to arrive in. A walk that has
// nothing to expand in this round waits for the next.
void run_together(std::span<GraphWalk> walks) {
  if (walks.size() == 1) {
    walks.front().finish();
    return;
  }
  constexpr bool alone = false;
  for (;;) {
    bool running = false;
    for (GraphWalk& walk : walks) {
      if (walk.phase_ == GraphWalk::Phase::Take) walk.take(alone);
      running = running || !walk.done();
    }
    if (!running) return;
    for (GraphWalk& walk : walks) {
      if (walk.phase_ == GraphWalk::Phase::Mark) walk.mark();
    }
    for (GraphWalk& walk : walks) {
      if (walk.phase_ == GraphWalk::Phase::Check) walk.check(alone);
    }
    LaneBatch<JointLane, decltype(&score_joint_lanes)> scorer(&score_joint_lanes);
    for (GraphWalk& walk : walks) {
      if (walk.phase_ != GraphWalk::Phase::Score) continue;
      for (const PendingScore& lane : walk.scratch_.lanes) {
        scorer.add(JointLane{&walk.query_, lane.point, lane.distance});
      }
      walk.phase_ = GraphWalk::Phase::Admit;
    }
    scorer.flush();
    for (GraphWalk& walk : walks) {
      if (walk.phase_ == GraphWalk::Phase::Admit) walk.admit(alone);
    }
  }
}

}  // namespace tavrik
