// The greedy descent through the upper layers of the graph.
//
// Walks search_layer from `entry` on every layer from `top_layer` down to
// `bottom_layer` inclusive, each walk starting where the previous one
// stopped, and returns where the last one stops (`entry` when top_layer is
// below bottom_layer). Layers above 15 hold no lists and would return their
// entry unchanged, so the descent starts at min(top_layer, 15): a loaded
// max_level near 2^64 costs nothing.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

#include "core/query/prepared_query.h"
#include "core/vector/point.h"
#include "index/hnsw/hnsw_index.h"

namespace tavrik {

std::uint64_t descend(const PreparedQuery& query, std::uint64_t entry, std::uint64_t top_layer,
                      std::uint64_t bottom_layer, const HNSWIndex& index,
                      const PointTable& points, std::optional<std::string_view> tenant);

}  // namespace tavrik
