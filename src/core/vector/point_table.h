// The point table: point key -> point.
//
// Each point also has an id of its own, which equals its key for every
// point that comes in through upsert. A loaded snapshot may hold points
// whose id differs from their key; those ids are kept apart, so that a
// point costs no id of its own and saving again writes them back unchanged.
// Iteration order and pointer validity are those of FlatIdMap.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/hashing/distinct_ids.h"
#include "core/hashing/flat_id_map.h"
#include "core/vector/point.h"

namespace tavrik {

class PointTable {
 public:
  using Map = FlatIdMap<Point>;
  using value_type = Map::value_type;
  using const_iterator = Map::const_iterator;

  const Point* lookup(std::uint64_t key) const { return map_.lookup(key); }
  Point* lookup(std::uint64_t key) { return map_.lookup(key); }
  const_iterator find(std::uint64_t key) const { return map_.find(key); }
  // A hint: starts fetching what lookup(key) reads first.
  void prefetch(std::uint64_t key) const { map_.prefetch(key); }

  // Stores `point` under `key`, with the id `id`, replacing any point there;
  // returns the stored point.
  Point& put(std::uint64_t key, std::uint64_t id, Point point);
  // The same, for a point whose id is its key.
  Point& put(std::uint64_t key, Point point) { return put(key, key, std::move(point)); }

  // The id of the point stored under `key` (which must be present).
  std::uint64_t id_of(std::uint64_t key) const { return ids_.id_of(key); }

  // Makes room for `count` points without growing.
  void reserve(std::size_t count) { map_.reserve(count); }

  std::size_t size() const { return map_.size(); }
  bool empty() const { return map_.empty(); }

  const_iterator begin() const { return map_.begin(); }
  const_iterator end() const { return map_.end(); }

 private:
  Map map_;
  DistinctIds ids_;
};

}  // namespace tavrik
