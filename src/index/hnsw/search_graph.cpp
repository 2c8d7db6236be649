#include <algorithm>
#include <utility>

#include "core/distance/distance.h"
#include "core/distance/prepared_query.h"
#include "index/hnsw/candidate_order.h"
#include "index/hnsw/descent.h"
#include "index/hnsw/graph_scratch.h"
#include "index/hnsw/neighbor_scorer.h"
#include "index/hnsw/search_layer.h"
#include "index/hnsw/visited_ids.h"

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

// Evaluates the layer-0 neighbours of one expanded node. `worst` is W's
// largest distance as it was when the node was taken from C. Neighbours are
// marked and checked in list order, scored kLaneCount at a time, and then
// admitted one by one in list order: the marks and checks do not depend on
// any distance, and `worst` stays fixed for the whole node.
void expand(const HNSWNode& node, float worst, const PreparedQuery& query,
            const NodeTable& nodes, const PointTable& points,
            std::optional<std::string_view> tenant, std::uint64_t ef, GraphScratch& frontier) {
  NeighborScorer scorer(query, [&](std::uint64_t id, float d) {
    if (!(worst > d) && frontier.results.size() >= ef) return;
    frontier.candidates.push({d, id});
    nodes.prefetch(id);  // a hint: most admitted candidates are expanded soon
    frontier.results.push_back({d, id});
    if (frontier.results.size() > ef) {
      if (frontier.results_sorted) {
        insert_last_sorted(frontier.results);
      } else {
        sort_ascending(frontier.results);
        frontier.results_sorted = true;
      }
      frontier.results.pop_back();  // among ties for the largest, the latest added
    }
  });
  const std::span<const std::uint64_t> neighbors = node.neighbors[0];
  // Hints only: the table slots of the whole list start loading at once.
  for (const std::uint64_t id : neighbors) points.prefetch(id);
  for (const std::uint64_t id : neighbors) {
    // Marked before the point and tenant checks: never examined twice.
    if (!frontier.visited.mark(id)) continue;
    const auto found = points.find(id);
    if (found == points.end()) continue;
    if (tenant && !matches_tenant(found->second, *tenant)) continue;
    prefetch_vector(found->second, query.vector().size());
    scorer.add(id, found->second);
  }
  scorer.flush();
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

std::span<const ScoredId> search_graph(std::span<const float> query_vector,
                                       const HNSWIndex& index, const PointTable& points,
                                       std::optional<std::string_view> tenant,
                                       GraphScratch& frontier) {
  if (!index.entry_point) return {};  // callers route such stores to the exact scan
  const PreparedQuery query(query_vector);
  const std::uint64_t entry = descend(query, *index.entry_point, index.max_level, 1, index,
                                      points, tenant);
  const auto start = points.find(entry);
  if (start == points.end()) return {};

  const std::uint64_t ef = index.ef_search;
  const std::uint64_t reserve = std::min(kMaxVisitedReserve, std::max<std::uint64_t>(ef, 1) * 16);
  frontier.reset(index.nodes.largest_id().value_or(0), reserve);

  // The start pair is taken without a tenant test, even with ef 0 and even
  // when its id lies above the visited range.
  const float d0 = query.cosine_distance_to(start->second);
  frontier.candidates.push({d0, entry});
  frontier.results.push_back({d0, entry});
  frontier.visited.mark(entry);

  // Every admitted candidate is expanded in turn, so while one node is
  // expanded the next one's lists can start loading (its table entry was
  // requested when it was admitted).
  while (!frontier.candidates.empty()) {
    const std::uint64_t current = frontier.candidates.take().id;
    const HNSWNode* node = index.nodes.find(current);
    if (!frontier.candidates.empty()) {
      if (const HNSWNode* upcoming = index.nodes.find(frontier.candidates.next().id)) {
        upcoming->neighbors.prefetch();
      }
    }
    const float worst = worst_of(frontier);
    if (node == nullptr || node->neighbors[0].empty()) continue;
    expand(*node, worst, query, index.nodes, points, tenant, ef, frontier);
  }

  if (!frontier.results_sorted && frontier.results.size() >= 2) sort_ascending(frontier.results);
  return frontier.results;
}

std::vector<ScoredId> search_graph(std::span<const float> query_vector, const HNSWIndex& index,
                                   const PointTable& points,
                                   std::optional<std::string_view> tenant) {
  GraphScratch scratch;
  const std::span<const ScoredId> found = search_graph(query_vector, index, points, tenant,
                                                       scratch);
  return {found.begin(), found.end()};
}

}  // namespace tavrik
