#include "index/hnsw/search_layer.h"

#include <cstddef>

#include "core/distance/distance.h"
#include "index/hnsw/neighbor_scorer.h"

namespace tavrik {
namespace {

float distance_to_point(const PreparedQuery& query, std::uint64_t id, const PointTable& points) {
  const auto found = points.find(id);
  return found == points.end() ? kUncomparableDistance
                               : query.cosine_distance_to(found->second);
}

}  // namespace

std::uint64_t search_layer(const PreparedQuery& query, std::uint64_t entry, std::uint64_t layer,
                           const HNSWIndex& index, const PointTable& points,
                           std::optional<std::string_view> tenant) {
  std::uint64_t current = entry;
  float best = distance_to_point(query, entry, points);  // no tenant test for the entry
  if (index.nodes.empty() || layer >= MAX_LAYERS) return current;

  for (;;) {
    const HNSWNode* node = index.nodes.find(current);
    if (node == nullptr) return current;
    const auto& neighbors = node->neighbors[layer];
    if (neighbors.empty() || points.empty()) return current;

    bool moved = false;
    NeighborScorer scorer(query, [&](std::uint64_t id, float distance) {
      // Strictly closer only: ties keep the first listed, and NaN or the
      // uncomparable distance never lowers best.
      if (best > distance) {
        best = distance;
        current = id;
        moved = true;
      }
    });
    for (const std::uint64_t id : neighbors) {
      const auto found = points.find(id);
      if (found == points.end()) continue;
      if (tenant && !matches_tenant(found->second, *tenant)) continue;
      scorer.add(id, found->second);
    }
    scorer.flush();
    if (!moved) return current;
  }
}

}  // namespace tavrik
