#include "index/hnsw/descent.h"

#include <algorithm>

#include "index/hnsw/search_layer.h"

namespace tavrik {

ScoredId descend(const PreparedQuery& query, ScoredId entry, std::uint64_t top_layer,
                 std::uint64_t bottom_layer, const HNSWIndex& index, const PointTable& points,
                 std::optional<std::string_view> tenant) {
  const std::uint64_t top = std::min<std::uint64_t>(top_layer, MAX_LAYERS - 1);
  if (top < bottom_layer) return entry;
  for (std::uint64_t layer = top;; --layer) {
    entry = search_layer(query, entry, layer, index, points, tenant);
    if (layer == bottom_layer) return entry;
  }
}

}  // namespace tavrik
