#include "index/hnsw/graph_walk.h"

#include <algorithm>

#include "core/distance/distance.h"
#include "index/hnsw/candidate_order.h"
#include "index/hnsw/descent.h"

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
// taken as they come), so it is read directly.
float worst_of(const GraphScratch& frontier) {
  if (frontier.results_sorted && !frontier.results.empty()) {
    return frontier.results.back().distance;
  }
  return worst_distance(frontier.results);
}

}  // namespace

GraphWalk::GraphWalk(std::span<const float> query, const HNSWIndex& index,
                     const PointTable& points, std::optional<std::string_view> tenant,
                     GraphScratch& frontier)
    : query_(query), index_(index), points_(points), tenant_(tenant), frontier_(frontier) {
  const std::uint64_t ef = index.ef_search;
  const std::uint64_t reserve = std::min(kMaxVisitedReserve, std::max<std::uint64_t>(ef, 1) * 16);
  frontier.reset(index.nodes.largest_id().value_or(0), reserve);
  if (!index.entry_point) return;  // callers route such stores to the exact scan
  const std::uint64_t entry = descend(query_, *index.entry_point, index.max_level, 1, index,
                                      points, tenant);
  const auto start = points.find(entry);
  if (start == points.end()) return;

  // The start pair is taken without a tenant test, even with ef 0 and even
  // when its id lies above the visited range.
  const float d0 = query_.cosine_distance_to(start->second);
  frontier.candidates.push({d0, entry});
  frontier.results.push_back({d0, entry});
  frontier.visited.mark(entry);
  phase_ = Phase::Take;
}

void GraphWalk::finish() { run_together({this, 1}); }

// Every admitted candidate is expanded in turn, so the closest one left is
// the next to expand: its lists start loading now (its table entry was
// requested when it was admitted). A walk on its own has no other walks'
// work to wait behind, so it also starts loading the lists of the one after.
void GraphWalk::take(bool alone) {
  if (frontier_.candidates.empty()) {
    end();
    return;
  }
  const std::uint64_t current = frontier_.candidates.take().id;
  node_ = index_.nodes.find(current);
  if (alone && !frontier_.candidates.empty()) {
    if (const HNSWNode* upcoming = index_.nodes.find(frontier_.candidates.next().id)) {
      upcoming->neighbors.prefetch();
    }
  }
  worst_ = worst_of(frontier_);
  if (node_ == nullptr) return;  // nothing to expand: take the next one
  node_->neighbors.prefetch();
  phase_ = Phase::Mark;
}

// Marked before the point and tenant checks: never examined twice.
void GraphWalk::mark() {
  frontier_.fresh.clear();
  for (const std::uint64_t id : node_->neighbors[0]) {
    if (!frontier_.visited.mark(id)) continue;
    frontier_.fresh.push_back({id, nullptr, 0.0f});
    points_.prefetch(id);
  }
  phase_ = frontier_.fresh.empty() ? Phase::Take : Phase::Check;
}

void GraphWalk::check() {
  std::size_t kept = 0;
  for (const FreshNeighbor& neighbor : frontier_.fresh) {
    const auto found = points_.find(neighbor.id);
    if (found == points_.end()) continue;
    if (tenant_ && !matches_tenant(found->second, *tenant_)) continue;
    prefetch_vector(found->second, query_.vector().size());
    frontier_.fresh[kept++] = {neighbor.id, &found->second, 0.0f};
  }
  frontier_.fresh.resize(kept);
  phase_ = kept == 0 ? Phase::Take : Phase::Score;
}

// The scored neighbours are admitted one by one in list order: the marks
// and checks did not depend on any distance, and `worst_` stays fixed for
// the whole node.
void GraphWalk::admit() {
  const std::uint64_t ef = index_.ef_search;
  GraphScratch& frontier = frontier_;
  for (const FreshNeighbor& neighbor : frontier.fresh) {
    const float d = neighbor.distance;
    if (!(worst_ > d) && frontier.results.size() >= ef) continue;
    frontier.candidates.push({d, neighbor.id});
    index_.nodes.prefetch(neighbor.id);  // a hint: every admitted candidate is expanded in time
    frontier.results.push_back({d, neighbor.id});
    if (frontier.results.size() > ef) {
      if (frontier.results_sorted) {
        insert_last_sorted(frontier.results);
      } else {
        sort_ascending(frontier.results);
        frontier.results_sorted = true;
      }
      frontier.results.pop_back();  // among ties for the largest, the latest added
    }
  }
  phase_ = Phase::Take;
}

void GraphWalk::end() {
  if (!frontier_.results_sorted && frontier_.results.size() >= 2) {
    sort_ascending(frontier_.results);
  }
  phase_ = Phase::Done;
}

namespace {

// Scores neighbours of any of the walks kLaneCount at a time, writing each
// one's cosine distance into it. Lanes all for one query share its values;
// otherwise each lane reads its own query.
class JointScorer {
 public:
  void add(const PreparedQuery& query, FreshNeighbor& neighbor) {
    queries_[count_] = &query;
    points_[count_] = neighbor.point;
    targets_[count_] = &neighbor;
    if (++count_ == kLaneCount) flush();
  }

  void flush() {
    if (count_ == 0) return;
    float distances[kLaneCount];
    const bool one_query = std::all_of(queries_, queries_ + count_,
                                       [&](const PreparedQuery* q) { return q == queries_[0]; });
    if (one_query) {
      queries_[0]->cosine_distances_to(points_, count_, distances);
    } else {
      cosine_distances_between(queries_, points_, count_, distances);
    }
    for (std::size_t l = 0; l < count_; ++l) targets_[l]->distance = distances[l];
    count_ = 0;
  }

 private:
  const PreparedQuery* queries_[kLaneCount];
  const Point* points_[kLaneCount];
  FreshNeighbor* targets_[kLaneCount];
  std::size_t count_ = 0;
};

}  // namespace

// One round: every walk that is not done goes through the phases of one
// expansion, each phase for all walks before the next phase, so a walk's
// requested memory has the other walks' work to arrive in. A walk that has
// nothing to expand in this round waits for the next.
void run_together(std::span<GraphWalk> walks) {
  const bool alone = walks.size() == 1;
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
      if (walk.phase_ == GraphWalk::Phase::Check) walk.check();
    }
    JointScorer scorer;
    for (GraphWalk& walk : walks) {
      if (walk.phase_ != GraphWalk::Phase::Score) continue;
      for (FreshNeighbor& neighbor : walk.frontier_.fresh) scorer.add(walk.query_, neighbor);
    }
    scorer.flush();
    for (GraphWalk& walk : walks) {
      if (walk.phase_ == GraphWalk::Phase::Score) walk.admit();
    }
  }
}

}  // namespace tavrik
