// Segment: the points of one store and the graph over them.
//
// Two reader-writer locks guard the two tables. Every operation that needs
// both takes the points lock first and the index lock second, and releases
// them in reverse order, so no two operations can wait on each other in a
// cycle:
//   upsert, load's swap          both for writing
//   search, save                 both for reading
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <shared_mutex>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/distance/metric.h"
#include "core/distance/scored_point.h"
#include "core/vector/point_table.h"
#include "core/vector/vector_arena.h"
#include "index/exact/scan_blocks.h"
#include "index/hnsw/hnsw_index.h"
#include "storage/snapshot/snapshot_status.h"

namespace tavrik {

// Stores at or above this many points are searched through the graph.
inline constexpr std::size_t kGraphSearchThreshold = 500;

class Segment {
 public:
  Segment() = default;
  Segment(const Segment&) = delete;
  Segment& operator=(const Segment&) = delete;

  // Stores the point under `id`, replacing any point with that id whole
  // (old vector and payload are discarded, never merged), then links it into
  // the graph. Both write locks are held throughout.
  void upsert(std::uint64_t id, Point point);

  // The `limit` best points for the query. Below kGraphSearchThreshold points
  // (or without a graph entry point) an exact scan; otherwise the graph walk,
  // its candidates re-scored with `metric`. Never fails.
  std::vector<ScoredPoint> search(std::span<const float> query, std::uint64_t limit,
                                  Metric metric,
                                  std::optional<std::string_view> tenant) const;

  // Runs body(i) exactly once for every i in [0, count), on any threads,
  // returning when every call is done.
  using ParallelFor =
      std::function<void(std::size_t count, const std::function<void(std::size_t)>& body)>;

  // search(queries[i], limit, metric, tenant) for every query, in order.
  // The queries are split into groups for `parallel_for`, as many as keep
  // `workers` threads busy: on the graph path the walks of one group run
  // interleaved, which hides much of each one's waiting on memory, and the
  // results are the same as one search at a time.
  std::vector<std::vector<ScoredPoint>> batch_search(
      std::span<const std::vector<float>> queries, std::uint64_t limit, Metric metric,
      std::optional<std::string_view> tenant, std::size_t workers,
      const ParallelFor& parallel_for) const;

  // Writes the whole state to `path` as one snapshot.
  SnapshotStatus save_to_disk(const std::string& path) const;

  // Replaces the whole state with the snapshot in `path`. On failure the
  // segment is exactly as it was.
  SnapshotStatus load_from_disk(const std::string& path);

  // Runs `reader(points, index)` under both read locks (tests and tools).
  template <class Reader>
  auto read(Reader&& reader) const {
    std::shared_lock points_guard(points_lock_);
    std::shared_lock index_guard(index_lock_);
    return reader(points_, index_);
  }

 private:
  // out[i] = search(queries[i], limit, metric, tenant) for every query
  // (out holds at least as many lists), under one hold of the read locks,
  // the graph walks of the group interleaved.
  void search_group(std::span<const std::span<const float>> queries, std::uint64_t limit,
                    Metric metric, std::optional<std::string_view> tenant,
                    std::span<std::vector<ScoredPoint>> out) const;

  mutable std::shared_mutex points_lock_;
  // The points' vectors; guarded by points_lock_, and declared before the
  // table so that it outlives the arrays it lends.
  VectorArena vectors_;
  PointTable points_;
  // The table's vectors again, for the exact scan of a small store; guarded
  // by points_lock_ and put every point the table stores.
  ScanBlocks scan_blocks_;
  mutable std::shared_mutex index_lock_;
  HNSWIndex index_;
};

}  // namespace tavrik
