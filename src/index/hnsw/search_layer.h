// Greedy walks over the graph.
//
// Both walks measure closeness by cosine_distance only, whatever metric the
// caller will rank by, and read vectors from the point table. The caller
// holds the point table and the index for reading.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "core/distance/prepared_query.h"
#include "core/vector/point.h"
#include "index/hnsw/hnsw_index.h"

namespace tavrik {

// Greedy walk inside one layer from `entry`: repeatedly moves to the listed
// neighbour strictly closer than the current node (first listed wins ties),
// and returns where it stops. Neighbours without a point, or failing the
// tenant test, are skipped; the entry itself is not tenant-tested. Layers
// above 15 return the entry unchanged.
std::uint64_t search_layer(std::span<const float> query, std::uint64_t entry,
                           std::uint64_t layer, const HNSWIndex& index,
                           const PointTable& points, std::optional<std::string_view> tenant);

// The same walk for a query whose squared norm is already known.
std::uint64_t search_layer(const PreparedQuery& query, std::uint64_t entry, std::uint64_t layer,
                           const HNSWIndex& index, const PointTable& points,
                           std::optional<std::string_view> tenant);

// A candidate of the query-time search.
struct ScoredId {
  float distance;
  std::uint64_t id;
};

class GraphScratch;

// Query-time search: descent from entry_point through the upper layers, then
// a best-first search of layer 0 keeping at most ef_search results, returned
// sorted by ascending distance (stable). Precondition: entry_point present.
std::vector<ScoredId> search_graph(std::span<const float> query, const HNSWIndex& index,
                                   const PointTable& points,
                                   std::optional<std::string_view> tenant);

// The same search, working in `scratch` (cleared first) instead of fresh
// storage: the returned list lives in `scratch` and is valid until its next
// use.
std::span<const ScoredId> search_graph(std::span<const float> query, const HNSWIndex& index,
                                       const PointTable& points,
                                       std::optional<std::string_view> tenant,
                                       GraphScratch& scratch);

}  // namespace tavrik
