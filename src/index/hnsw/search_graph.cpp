#include <algorithm>
#include <utility>

#include "core/distance/distance.h"
#include "core/distance/lane_kernels.h"
#include "core/distance/prepared_query.h"
#include "index/hnsw/candidate_order.h"
#include "index/hnsw/descent.h"
#include "index/hnsw/search_layer.h"
#include "index/hnsw/visited_ids.h"

namespace tavrik {
namespace {

// Only sizes the visited set up front; a loaded ef_search may be huge.
constexpr std::uint64_t kMaxVisitedReserve = 4096;

struct Frontier {
  CandidateQueue candidates;         // C: still to expand
  std::vector<ScoredId> results;     // W: best found, at most ef after trimming
};

// Evaluates the layer-0 neighbours of one expanded node. `worst` is W's
// largest distance as it was when the node was taken from C. Neighbours are
// marked and checked in list order, scored kLaneCount at a time, and then
// admitted one by one in list order: the marks and checks do not depend on
// any distance, and `worst` stays fixed for the whole node.
void expand(const HNSWNode& node, float worst, const PreparedQuery& query,
            const PointTable& points, std::optional<std::string_view> tenant, std::uint64_t ef,
            VisitedIds& visited, Frontier& frontier) {
  const Point* group[kLaneCount];
  std::uint64_t group_ids[kLaneCount];
  std::size_t count = 0;
  auto admit_group = [&] {
    float distances[kLaneCount];
    query.cosine_distances_to(group, count, distances);
    for (std::size_t l = 0; l < count; ++l) {
      const float d = distances[l];
      if (!(worst > d) && frontier.results.size() >= ef) continue;
      frontier.candidates.push({d, group_ids[l]});
      frontier.results.push_back({d, group_ids[l]});
      if (frontier.results.size() > ef) {
        sort_ascending(frontier.results);
        frontier.results.pop_back();  // among ties for the largest, the latest added
      }
    }
    count = 0;
  };
  for (const std::uint64_t id : node.neighbors[0]) {
    // Marked before the point and tenant checks: never examined twice.
    if (!visited.mark(id)) continue;
    const auto found = points.find(id);
    if (found == points.end()) continue;
    if (tenant && !matches_tenant(found->second, *tenant)) continue;
    group[count] = &found->second;
    group_ids[count] = id;
    if (++count == kLaneCount) admit_group();
  }
  if (count > 0) admit_group();
}

}  // namespace

std::vector<ScoredId> search_graph(std::span<const float> query_vector, const HNSWIndex& index,
                                   const PointTable& points,
                                   std::optional<std::string_view> tenant) {
  if (!index.entry_point) return {};  // callers route such stores to the exact scan
  const PreparedQuery query(query_vector);
  const std::uint64_t entry = descend(query, *index.entry_point, index.max_level, 1, index,
                                      points, tenant);
  const auto start = points.find(entry);
  if (start == points.end()) return {};

  const std::uint64_t ef = index.ef_search;
  const std::uint64_t reserve = std::min(kMaxVisitedReserve, std::max<std::uint64_t>(ef, 1) * 16);
  VisitedIds visited(index.nodes.largest_id().value_or(0), reserve);

  // The start pair is taken without a tenant test, even with ef 0 and even
  // when its id lies above the visited range.
  const float d0 = query.cosine_distance_to(start->second);
  Frontier frontier;
  frontier.candidates.push({d0, entry});
  frontier.results.push_back({d0, entry});
  visited.mark(entry);

  while (!frontier.candidates.empty()) {
    const std::uint64_t current = frontier.candidates.take().id;
    const float worst = worst_distance(frontier.results);
    const HNSWNode* node = index.nodes.find(current);
    if (node == nullptr || node->neighbors[0].empty()) continue;
    expand(*node, worst, query, points, tenant, ef, visited, frontier);
  }

  if (frontier.results.size() >= 2) sort_ascending(frontier.results);
  return std::move(frontier.results);
}

}  // namespace tavrik
