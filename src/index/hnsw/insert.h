// Linking a point into the graph.
//
// One link per layer from min(level, max_level) down to 0, to the single
// node the greedy walk reaches on that layer; a back link from that node only
// while its list on that layer holds fewer than `m` ids. A level above
// max_level makes the new node the entry point. A node already stored under
// the id is replaced last, its outgoing links dropped.
//
// Preconditions: the caller holds the index exclusively, and `points` already
// holds `id` with exactly this vector.
#pragma once

#include <cstdint>
#include <span>

#include "core/vector/point_table.h"
#include "index/hnsw/hnsw_index.h"

namespace tavrik {

// Inserts with a level drawn by draw_level(index.m).
void insert(HNSWIndex& index, std::uint64_t id, std::span<const float> query,
            const PointTable& points);

// Inserts at the given level (0..15); the seam tests use to build known graphs.
void insert_at_level(HNSWIndex& index, std::uint64_t id, std::span<const float> query,
                     const PointTable& points, std::uint64_t level);

}  // namespace tavrik
