#include "index/hnsw/insert.h"

#include <algorithm>
#include <utility>

#include "core/fault.h"
#include "index/hnsw/descent.h"
#include "index/hnsw/level_draw.h"
#include "index/hnsw/search_layer.h"

namespace tavrik {
namespace {

// Links the new node to `found` on `layer`, and `found` back to the new
// node while its list there holds fewer than m ids. During a re-insertion
// `found` may be the id itself: the back link then goes into the old node,
// which is replaced at the end.
void link(HNSWIndex& index, std::uint64_t id, HNSWNode& fresh, std::uint64_t found,
          std::uint64_t layer) {
  if (HNSWNode* other = index.nodes.find(found)) {
    if (other->neighbors[layer].size() < index.m) other->neighbors.push_back(layer, id);
  }
  fresh.neighbors.push_back(layer, found);
}

}  // namespace

void insert_at_level(HNSWIndex& index, std::uint64_t id, std::span<const float> query,
                     const PointTable& points, std::uint64_t level) {
  if (level >= MAX_LAYERS) internal_fault("graph insertion asked for a level above 15");

  HNSWNode fresh;
  if (!index.entry_point) {
    index.entry_point = id;
    index.max_level = level;
    index.nodes.put(id, std::move(fresh));
    return;
  }

  const PreparedQuery prepared(query);
  const std::uint64_t old_max_level = index.max_level;
  ScoredId found = descend(prepared, measured(prepared, *index.entry_point, points),
                           old_max_level, level + 1, index, points, std::nullopt);
  // One link per layer from min(level, max_level) down to 0, each walk
  // starting where the one above stopped.
  for (std::uint64_t layer = std::min(level, old_max_level);; --layer) {
    found = search_layer(prepared, found, layer, index, points, std::nullopt);
    link(index, id, fresh, found.id, layer);
    if (layer == 0) break;
  }

  if (level > old_max_level) {
    index.max_level = level;
    index.entry_point = id;
  }
  index.nodes.put(id, std::move(fresh));
}

void insert(HNSWIndex& index, std::uint64_t id, std::span<const float> query,
            const PointTable& points) {
  insert_at_level(index, id, query, points, draw_level(index.m));
}

}  // namespace tavrik
