// Small hand-built graphs for the walk and insertion tests: a point table
// and an index filled field by field.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <optional>
#include <span>
#include <string_view>
#include <string>
#include <utility>
#include <vector>

#include "core/vector/point_table.h"
#include "index/hnsw/graph_scratch.h"
#include "index/hnsw/graph_walk.h"
#include "index/hnsw/hnsw_index.h"
#include "index/hnsw/insert.h"
#include "index/hnsw/scored_id.h"
#include "index/hnsw/search_layer.h"

namespace tavrik::testing_graph {

struct LayerLinks {
  std::size_t layer;
  std::vector<std::uint64_t> ids;
};

// A point with the given vector, and a payload naming `tenant` if given.
inline Point make_point(std::vector<float> vector,
                        std::optional<std::string> tenant = std::nullopt) {
  Point point;
  point.vector = std::move(vector);
  if (tenant) {
    point.payload.emplace();
    point.payload->emplace(std::string(kTenantKey), Keyword{*tenant});
  }
  return point;
}

// Replaces the list of `layer` with `ids`, keeping the other lists.
inline void set_layer(NeighborLists& lists, std::size_t layer,
                      std::span<const std::uint64_t> ids) {
  std::size_t counts[MAX_LAYERS] = {};
  std::vector<std::uint64_t> all;
  for (std::size_t k = 0; k < MAX_LAYERS; ++k) {
    const std::span<const std::uint64_t> list = k == layer ? ids : lists[k];
    counts[k] = list.size();
    all.insert(all.end(), list.begin(), list.end());
  }
  lists.assign_all(counts, all);
}

struct Graph {
  PointTable points;
  HNSWIndex index;

  void add_point(std::uint64_t id, std::vector<float> vector,
                 std::optional<std::string> tenant = std::nullopt) {
    points.put(id, make_point(std::move(vector), std::move(tenant)));
  }

  void add_node(std::uint64_t id, std::initializer_list<LayerLinks> links = {}) {
    HNSWNode node;
    for (const LayerLinks& l : links) set_layer(node.neighbors, l.layer, l.ids);
    index.nodes.put(id, std::move(node));
  }

  // A point with a node, linked by hand.
  void add(std::uint64_t id, std::vector<float> vector,
           std::initializer_list<LayerLinks> links = {}) {
    add_point(id, std::move(vector));
    add_node(id, links);
  }

  // Stores the point, then links it in as an upsert would.
  void insert(std::uint64_t id, std::vector<float> vector, std::uint64_t level) {
    add_point(id, vector);
    insert_at_level(index, id, vector, points, level);
  }

  const HNSWNode& node(std::uint64_t id) const { return *index.nodes.find(id); }
  std::vector<std::uint64_t> list(std::uint64_t id, std::size_t layer) const {
    const auto ids = node(id).neighbors[layer];
    return {ids.begin(), ids.end()};
  }
};

// The whole query-time search of one query (descent, then layer 0), run to
// its end in `scratch`: the returned list lives there until its next use.
inline std::span<const ScoredId> search_graph(std::span<const float> query,
                                              const HNSWIndex& index, const PointTable& points,
                                              std::optional<std::string_view> tenant,
                                              GraphScratch& scratch) {
  GraphWalk walk(query, index, points, tenant, scratch);
  walk.finish();
  return walk.candidates();
}

// The same search in fresh storage, its result copied out.
inline std::vector<ScoredId> search_graph(std::span<const float> query, const HNSWIndex& index,
                                          const PointTable& points,
                                          std::optional<std::string_view> tenant) {
  GraphScratch scratch;
  const std::span<const ScoredId> found = search_graph(query, index, points, tenant, scratch);
  return {found.begin(), found.end()};
}

// One layer's greedy walk for a plain query vector.
inline std::uint64_t search_layer(std::span<const float> query, std::uint64_t entry,
                                  std::uint64_t layer, const HNSWIndex& index,
                                  const PointTable& points,
                                  std::optional<std::string_view> tenant) {
  const PreparedQuery prepared(query);
  return tavrik::search_layer(prepared, measured(prepared, entry, points), layer, index, points,
                              tenant)
      .id;
}

}  // namespace tavrik::testing_graph
