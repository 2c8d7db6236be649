#include "index/hnsw/search_layer.h"

#include "core/distance/distance.h"

namespace tavrik {
namespace {

float distance_to_point(std::span<const float> query, std::uint64_t id,
                        const PointTable& points) {
  const auto found = points.find(id);
  return found == points.end() ? kUncomparableDistance
                               : cosine_distance(query, found->second.vector);
}

}  // namespace

std::uint64_t search_layer(std::span<const float> query, std::uint64_t entry,
                           std::uint64_t layer, const HNSWIndex& index,
                           const PointTable& points, std::optional<std::string_view> tenant) {
  std::uint64_t current = entry;
  float best = distance_to_point(query, entry, points);  // no tenant test for the entry
  if (index.nodes.empty() || layer >= MAX_LAYERS) return current;

  for (;;) {
    const HNSWNode* node = index.nodes.find(current);
    if (node == nullptr) return current;
    const std::vector<std::uint64_t>& neighbors = node->neighbors[layer];
    if (neighbors.empty() || points.empty()) return current;

    bool moved = false;
    for (const std::uint64_t id : neighbors) {
      const auto found = points.find(id);
      if (found == points.end()) continue;
      if (tenant && !matches_tenant(found->second, *tenant)) continue;
      const float d = cosine_distance(query, found->second.vector);
      // Strictly closer only: ties keep the first listed, and NaN or the
      // uncomparable distance never lowers best.
      if (best > d) {
        best = d;
        current = id;
        moved = true;
      }
    }
    if (!moved) return current;
  }
}

}  // namespace tavrik
