#include "index/hnsw/graph_walk.h"
#include "index/hnsw/search_layer.h"

namespace tavrik {

std::span<const ScoredId> search_graph(std::span<const float> query_vector,
                                       const HNSWIndex& index, const PointTable& points,
                                       std::optional<std::string_view> tenant,
                                       GraphScratch& frontier) {
  GraphWalk walk(query_vector, index, points, tenant, frontier);
  walk.finish();
  return walk.candidates();
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
