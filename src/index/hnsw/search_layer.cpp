#include "index/hnsw/search_layer.h"

#include <cstddef>
#include <span>

#include "core/distance/distance.h"
#include "core/distance/lane_batch.h"
#include "core/distance/lane_kernels.h"

namespace tavrik {
namespace {

// A listed neighbour waiting for its distance.
struct Neighbor {
  std::uint64_t id = 0;
  const Point* point = nullptr;
};

}  // namespace

ScoredId measured(const PreparedQuery& query, std::uint64_t id, const PointTable& points) {
  const auto found = points.find(id);
  return {found == points.end() ? kUncomparableDistance : query.cosine_distance_to(found->second),
          id};
}

ScoredId search_layer(const PreparedQuery& query, ScoredId entry, std::uint64_t layer,
                      const HNSWIndex& index, const PointTable& points,
                      std::optional<std::string_view> tenant) {
  std::uint64_t current = entry.id;
  float best = entry.distance;  // no tenant test for the entry
  if (index.nodes.empty() || layer >= MAX_LAYERS) return entry;

  for (;;) {
    const HNSWNode* node = index.nodes.find(current);
    if (node == nullptr) return {best, current};
    const auto& neighbors = node->neighbors[layer];
    if (neighbors.empty() || points.empty()) return {best, current};

    bool moved = false;
    // The neighbours that pass are scored kLaneCount at a time, then tested
    // in list order: scores do not depend on each other, so this is the same
    // as scoring each one just before its test.
    auto closer = [&](std::span<Neighbor> batch) {
      const Point* lanes[kLaneCount] = {};
      for (std::size_t l = 0; l < batch.size(); ++l) lanes[l] = batch[l].point;
      float distances[kLaneCount];
      query.cosine_distances_to(lanes, batch.size(), distances);
      for (std::size_t l = 0; l < batch.size(); ++l) {
        // Strictly closer only: ties keep the first listed, and NaN or the
        // uncomparable distance never lowers best.
        if (best > distances[l]) {
          best = distances[l];
          current = batch[l].id;
          moved = true;
        }
      }
    };
    LaneBatch<Neighbor, decltype(closer)> scorer(closer);
    for (const std::uint64_t id : neighbors) {
      const auto found = points.find(id);
      if (found == points.end()) continue;
      if (tenant && !matches_tenant(found->second, *tenant)) continue;
      scorer.add(Neighbor{id, &found->second});
    }
    scorer.flush();
    if (!moved) return {best, current};
  }
}

}  // namespace tavrik
