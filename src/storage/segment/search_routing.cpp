// Segment::search, batch_search and search_group: route queries to the
// exact scan or the graph.
//
// Below kGraphSearchThreshold points (counting every point, whatever the
// tenant), or while the graph has no entry point, the exact scan answers.
// Otherwise the graph walk yields at most ef_search candidates by cosine
// distance; each is re-checked against the tenant and re-scored with the
// requested metric, in candidate order, stopping at `limit`, then ranked.
#include <algorithm>
#include <array>
#include <functional>
#include <mutex>

#include "core/distance/distance.h"
#include "core/distance/ranking.h"
#include "index/exact/exact_knn.h"
#include "index/hnsw/graph_scratch.h"
#include "index/hnsw/graph_walk.h"
#include "index/hnsw/scored_id.h"
#include "storage/segment/segment.h"

namespace tavrik {
namespace {

// How many graph walks one group interleaves at most.
constexpr std::size_t kInterleavedWalks = 16;

// The score of one graph candidate under `metric`. Vectors of another
// length than the query get fixed scores instead of being dropped: 0 for
// the dot product, the largest finite f32 for the euclidean distance; the
// cosine score comes from the walk's own distance.
float rescore(const ScoredId& candidate, const Point& point, std::span<const float> query,
              Metric metric) {
  switch (metric) {
    case Metric::Cosine:
      return 1.0f - candidate.distance;
    case Metric::DotProduct:
      return point.vector.size() == query.size() ? dot_product(query, point.vector) : 0.0f;
    case Metric::Euclidean:
      return point.vector.size() == query.size() ? euclidean_distance(query, point.vector)
                                                 : kUncomparableDistance;
  }
  return 0.0f;
}

// The graph's candidates as results: each re-checked against the tenant and
// re-scored with `metric`, in candidate order, stopping at `limit`, then
// ranked.
std::vector<ScoredPoint> rescored(std::span<const ScoredId> candidates,
                                  std::span<const float> query, std::uint64_t limit,
                                  Metric metric, const PointTable& points,
                                  std::optional<std::string_view> tenant) {
  std::vector<ScoredPoint> results;
  if (limit == 0) return results;
  results.reserve(static_cast<std::size_t>(
      std::min<std::uint64_t>(limit, candidates.size())));
  for (const ScoredId& candidate : candidates) {
    const auto found = points.find(candidate.id);
    if (found == points.end()) continue;
    const Point& point = found->second;
    if (tenant && !matches_tenant(point, *tenant)) continue;
    results.push_back({points.id_of(candidate.id), rescore(candidate, point, query, metric)});
    if (results.size() >= limit) break;
  }
  rank_by_metric(results, metric);
  return results;
}

// Each thread (a worker of batch_search, or a caller of search) keeps its
// own scratches for graph walks (a group of walks finishes before the next
// starts), and the order its last exact scan read the scan blocks in.
struct ThreadScratch {
  std::array<GraphScratch, kInterleavedWalks> walks;
  BlockOrder last_scan = BlockOrder::Backward;

  // The other order from the last scan's, on this thread: a thread that scans
  // one store again and again (as a loop of searches or a worker of
  // batch_search does) finds the blocks it read last in its core's cache.
  BlockOrder next_scan() {
    last_scan = last_scan == BlockOrder::Forward ? BlockOrder::Backward : BlockOrder::Forward;
    return last_scan;
  }
};

ThreadScratch& thread_scratch() {
  thread_local ThreadScratch scratch;
  return scratch;
}

}  // namespace

std::vector<ScoredPoint> Segment::search(std::span<const float> query, std::uint64_t limit,
                                         Metric metric,
                                         std::optional<std::string_view> tenant) const {
  std::vector<ScoredPoint> results;
  search_group({&query, 1}, limit, metric, tenant, {&results, 1});
  return results;
}

std::vector<std::vector<ScoredPoint>> Segment::batch_search(
    std::span<const std::vector<float>> queries, std::uint64_t limit, Metric metric,
    std::optional<std::string_view> tenant, std::size_t workers,
    const ParallelFor& parallel_for) const {
  std::vector<std::vector<ScoredPoint>> results(queries.size());
  const std::vector<std::span<const float>> views(queries.begin(), queries.end());
  // Up to kInterleavedWalks queries a group, fewer when that leaves a
  // worker idle.
  workers = std::max<std::size_t>(workers, 1);
  const std::size_t per_worker = (queries.size() + workers - 1) / workers;
  const std::size_t group = std::clamp<std::size_t>(per_worker, 1, kInterleavedWalks);
  parallel_for((queries.size() + group - 1) / group, [&](std::size_t g) {
    const std::size_t first = g * group;
    const std::size_t count = std::min(group, queries.size() - first);
    search_group(std::span(views).subspan(first, count), limit, metric, tenant,
                 std::span(results).subspan(first, count));
  });
  return results;
}

void Segment::search_group(std::span<const std::span<const float>> queries, std::uint64_t limit,
                           Metric metric, std::optional<std::string_view> tenant,
                           std::span<std::vector<ScoredPoint>> out) const {
  std::shared_lock points_guard(points_lock_);
  std::shared_lock index_guard(index_lock_);
  if (points_.size() < kGraphSearchThreshold || !index_.entry_point) {
    // The scan blocks when they hold the table's points at the query's
    // length, else the table itself.
    const bool blocks_hold_table =
        scan_blocks_.active() && scan_blocks_.size() == points_.size() && !points_.empty();
    for (std::size_t i = 0; i < queries.size(); ++i) {
      out[i] = blocks_hold_table && queries[i].size() == scan_blocks_.length()
                   ? search_exact_knn(queries[i], limit, metric, scan_blocks_,
                                      thread_scratch().next_scan(), points_, tenant)
                   : search_exact_knn(queries[i], limit, metric, points_, tenant);
    }
    return;
  }
  if (limit == 0) {
    for (std::vector<ScoredPoint>& results : out.first(queries.size())) results.clear();
    return;
  }
  auto& scratches = thread_scratch().walks;
  for (std::size_t first = 0; first < queries.size(); first += kInterleavedWalks) {
    const std::size_t count = std::min(kInterleavedWalks, queries.size() - first);
    std::vector<GraphWalk> walks;
    walks.reserve(count);
    for (std::size_t i = 0; i < count; ++i) {
      walks.emplace_back(queries[first + i], index_, points_, tenant, scratches[i]);
    }
    run_together(walks);
    for (std::size_t i = 0; i < count; ++i) {
      out[first + i] = rescored(walks[i].candidates(), queries[first + i], limit, metric,
                                points_, tenant);
    }
  }
}

}  // namespace tavrik
