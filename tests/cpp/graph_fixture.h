// Small hand-built graphs for the walk and insertion tests: a point table
// and an index filled field by field.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "core/vector/point.h"
#include "index/hnsw/hnsw_index.h"
#include "index/hnsw/insert.h"

namespace tavrik::testing_graph {

struct LayerLinks {
  std::size_t layer;
  std::vector<std::uint64_t> ids;
};

// A point with the given vector, and a payload naming `tenant` if given.
inline Point make_point(std::uint64_t id, std::vector<float> vector,
                        std::optional<std::string> tenant = std::nullopt) {
  Point point;
  point.id = id;
  point.vector = std::move(vector);
  if (tenant) {
    point.payload.emplace();
    point.payload->emplace(std::string(kTenantKey), Keyword{*tenant});
  }
  return point;
}

struct Graph {
  PointTable points;
  HNSWIndex index;

  void add_point(std::uint64_t id, std::vector<float> vector,
                 std::optional<std::string> tenant = std::nullopt) {
    points.insert_or_assign(id, make_point(id, std::move(vector), std::move(tenant)));
  }

  void add_node(std::uint64_t id, std::initializer_list<LayerLinks> links = {}) {
    HNSWNode node;
    node.id = id;
    for (const LayerLinks& l : links) node.neighbors.assign(l.layer, l.ids);
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

}  // namespace tavrik::testing_graph
