// The records of the layered proximity graph.
//
// The graph stores ids only; every distance is measured against the vector
// of the point with the same id in the segment's point table. Links are
// directed and kept in the order they were added; nothing removes or
// reorders a link. A listed id need not have a point or a node of its own
// (a loaded snapshot may lack them): walks skip such ids.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

#include "core/hashing/distinct_ids.h"
#include "core/hashing/flat_id_map.h"
#include "index/hnsw/neighbor_lists.h"

namespace tavrik {

struct HNSWNode {
  // neighbors[k]: the node's links on layer k; empty on layers it doesn't reach.
  NeighborLists neighbors;
};

// Node key -> node, remembering the largest key ever stored (nodes are only
// added or replaced, never removed, so that bound only grows). Each node
// also has an id of its own, which equals its key for every node made by
// insertion; a loaded snapshot may hold nodes whose id differs, and those
// ids are kept apart, so that saving again writes them back unchanged.
class NodeTable {
 public:
  using Map = FlatIdMap<HNSWNode>;

  const HNSWNode* find(std::uint64_t key) const { return map_.lookup(key); }
  HNSWNode* find(std::uint64_t key) { return map_.lookup(key); }
  // A hint: starts fetching what find(key) reads first.
  void prefetch(std::uint64_t key) const { map_.prefetch(key); }

  // Stores `node` under `key`, with the id `id`, replacing any node there.
  void put(std::uint64_t key, std::uint64_t id, HNSWNode node);
  // The same, for a node whose id is its key.
  void put(std::uint64_t key, HNSWNode node) { put(key, key, std::move(node)); }

  // The id of the node stored under `key` (which must be present).
  std::uint64_t id_of(std::uint64_t key) const { return ids_.id_of(key); }

  // Makes room for `count` nodes without growing.
  void reserve(std::size_t count) { map_.reserve(count); }

  std::size_t size() const { return map_.size(); }
  bool empty() const { return map_.empty(); }
  // The largest key stored; absent while the table is empty.
  std::optional<std::uint64_t> largest_id() const { return largest_id_; }

  Map::const_iterator begin() const { return map_.begin(); }
  Map::const_iterator end() const { return map_.end(); }

 private:
  Map map_;
  DistinctIds ids_;
  std::optional<std::uint64_t> largest_id_;
};

struct HNSWIndex {
  // Cap on a list's length when a back link is added, and the base of the
  // level distribution.
  std::uint64_t m = 16;
  // Stored and persisted; insertion is a greedy walk and does not read it.
  std::uint64_t ef_construction = 64;
  // Width of the layer-0 search at query time; bounds the graph's results.
  std::uint64_t ef_search = 32;
  // Where every walk starts; absent until the first node arrives.
  std::optional<std::uint64_t> entry_point;
  // Highest layer in use; never decreases.
  std::uint64_t max_level = 0;
  NodeTable nodes;
};

}  // namespace tavrik
