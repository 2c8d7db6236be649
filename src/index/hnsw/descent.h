// The greedy descent through the upper layers of the graph.
//
// Walks search_layer from `entry` on every layer from `top_layer` down to
// `bottom_layer` inclusive, each walk starting where the previous one
// stopped, and returns where the last one stops, with its distance
// (`entry` when top_layer is below bottom_layer). Each stop's distance is
// carried into the next layer's walk, so a stop is not scored again.
// Layers above 15 hold no lists and would return their entry unchanged, so
// the descent starts at min(top_layer, 15): a loaded max_level near 2^64
// costs nothing.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

#include "core/query/prepared_query.h"
#include "core/vector/point_table.h"
#include "index/hnsw/hnsw_index.h"
#include "index/hnsw/scored_id.h"

namespace tavrik {

ScoredId descend(const PreparedQuery& query, ScoredId entry, std::uint64_t top_layer,
                 std::uint64_t bottom_layer, const HNSWIndex& index, const PointTable& points,
                 std::optional<std::string_view> tenant);

}  // namespace tavrik
