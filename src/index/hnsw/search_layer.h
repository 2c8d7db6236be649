// The greedy walk inside one layer.
//
// It measures closeness by cosine_distance only, whatever metric the
// caller will rank by, and reads vectors from the point table. The caller
// holds the point table and the index for reading.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "core/query/prepared_query.h"
#include "core/vector/point_table.h"
#include "index/hnsw/hnsw_index.h"
#include "index/hnsw/scored_id.h"

namespace tavrik {

// `id` with its cosine distance to the query: kUncomparableDistance when
// the id has no point. Where every walk through the layers starts.
ScoredId measured(const PreparedQuery& query, std::uint64_t id, const PointTable& points);

// Greedy walk inside one layer from `entry` (an id with its distance, as
// measured() gives it): repeatedly moves to the listed neighbour strictly
// closer than the current node (first listed wins ties), and returns where
// it stops, with that node's distance. Neighbours without a point, or
// failing the tenant test, are skipped; the entry itself is not
// tenant-tested. Layers above 15 return the entry unchanged.
ScoredId search_layer(const PreparedQuery& query, ScoredId entry, std::uint64_t layer,
                      const HNSWIndex& index, const PointTable& points,
                      std::optional<std::string_view> tenant);

}  // namespace tavrik
