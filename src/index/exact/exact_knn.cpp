#include "index/exact/exact_knn.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <span>

#include "core/distance/block_kernels.h"
#include "core/distance/distance.h"
#include "core/distance/lane_batch.h"
#include "core/distance/lane_kernels.h"
#include "core/distance/ranking.h"
#include "core/query/prepared_query.h"

namespace tavrik {
namespace {

// Scores points of the query's length, appending those that can be scored
// to `candidates` in the order they come:
//   Euclidean   euclidean_distance
//   Cosine      cosine_similarity, left out when it fails (zero norm)
//   DotProduct  dot_product
void score_scan_lanes(const PreparedQuery& query, Metric metric,
                      std::span<const PointTable::value_type*> batch, const PointTable& points,
                      std::vector<ScoredPoint>& candidates) {
  const std::size_t count = batch.size();
  const auto id = [&](std::size_t l) { return points.id_of(batch[l]->first); };
  if (metric == Metric::Cosine) {
    const Point* lanes[kLaneCount] = {};
    for (std::size_t l = 0; l < count; ++l) lanes[l] = &batch[l]->second;
    CosineResult results[kLaneCount];
    query.cosine_similarities_to(lanes, count, results);
    for (std::size_t l = 0; l < count; ++l) {
      if (results[l].error == CosineError::None) {
        candidates.push_back(ScoredPoint{id(l), results[l].similarity});
      }
    }
    return;
  }
  const float* vectors[kLaneCount] = {};
  for (std::size_t l = 0; l < count; ++l) vectors[l] = batch[l]->second.vector.data();
  float scores[kLaneCount];
  if (metric == Metric::Euclidean) {
    euclidean_distance_lanes(query.vector(), vectors, count, scores);
  } else {
    dot_product_lanes(query.vector(), vectors, count, scores);
  }
  for (std::size_t l = 0; l < count; ++l) candidates.push_back(ScoredPoint{id(l), scores[l]});
}

// True when the slot's point passes the tenant test (always without one).
bool slot_matches(const ScanBlocks& blocks, std::size_t slot, const PointTable& points,
                  std::optional<std::string_view> tenant) {
  if (!tenant) return true;
  const Point* point = points.lookup(blocks.id(slot));
  return point != nullptr && matches_tenant(*point, *tenant);
}

}  // namespace

std::vector<ScoredPoint> search_exact_knn(std::span<const float> query, std::uint64_t limit,
                                          Metric metric, const ScanBlocks& blocks,
                                          BlockOrder order, const PointTable& points,
                                          std::optional<std::string_view> tenant) {
  const std::size_t count = blocks.size();
  // cosine_similarity from the dot product and the two norms: a zero norm
  // on either side fails (an exact comparison, so NaN norms go on), so a
  // query of zero norm fails against every point and nothing is scanned.
  const float query_norm = metric == Metric::Cosine ? std::sqrt(squared_norm(query)) : 0.0f;
  if (metric == Metric::Cosine && query_norm == 0.0f) return {};
  float scores[ScanBlocks::kMaxPoints];
  if (metric == Metric::Euclidean) {
    euclidean_distance_blocks(query, blocks.blocks(), blocks.block_count(), order, scores);
  } else {
    dot_product_blocks(query, blocks.blocks(), blocks.block_count(), order, scores);
  }
  const float* norms = blocks.norms();
  float quotients[ScanBlocks::kMaxPoints];
  if (metric == Metric::Cosine) {
    // The others take dot / (query norm * point norm).
    for (std::size_t slot = 0; slot < count; ++slot) {
      quotients[slot] = scores[slot] / (query_norm * norms[slot]);
    }
  }
  if (ranks_top_slots(limit)) {
    // Ranked straight from the scores; a slot whose point has a zero norm
    // (cosine) or another tenant is left out.
    std::uint8_t excluded[ScanBlocks::kMaxPoints];
    std::uint8_t any_excluded = 0;
    if (metric == Metric::Cosine) {
      for (std::size_t slot = 0; slot < count; ++slot) {  // no branches: several at a time
        excluded[slot] = norms[slot] == 0.0f ? 1 : 0;
        any_excluded |= excluded[slot];
      }
    } else if (tenant) {
      std::fill(excluded, excluded + count, std::uint8_t{0});
    }
    if (tenant) {
      for (std::size_t slot = 0; slot < count; ++slot) {
        if (!slot_matches(blocks, slot, points, tenant)) excluded[slot] = any_excluded = 1;
      }
    }
    return rank_top_slots({metric == Metric::Cosine ? quotients : scores, count}, blocks.ids(),
                          any_excluded ? std::span<const std::uint8_t>(excluded, count)
                                       : std::span<const std::uint8_t>(),
                          metric, static_cast<std::size_t>(limit));
  }
  std::vector<ScoredPoint> candidates;
  candidates.reserve(count);
  if (metric == Metric::Cosine) {
    for (std::size_t slot = 0; slot < count; ++slot) {
      if (norms[slot] == 0.0f || !slot_matches(blocks, slot, points, tenant)) continue;
      candidates.push_back(ScoredPoint{blocks.id(slot), quotients[slot]});
    }
  } else {
    for (std::size_t slot = 0; slot < count; ++slot) {
      if (!slot_matches(blocks, slot, points, tenant)) continue;
      candidates.push_back(ScoredPoint{blocks.id(slot), scores[slot]});
    }
  }
  rank_top_by_metric(candidates, metric, limit);
  return candidates;
}

std::vector<ScoredPoint> search_exact_knn(std::span<const float> query, std::uint64_t limit,
                                          Metric metric, const PointTable& points,
                                          std::optional<std::string_view> tenant) {
  const PreparedQuery prepared(query);
  std::vector<ScoredPoint> candidates;
  candidates.reserve(points.size());
  // Points of another length are never scored under any metric, so leaving
  // them out of the lane groups changes nothing, and table order is kept.
  auto score = [&](std::span<const PointTable::value_type*> batch) {
    score_scan_lanes(prepared, metric, batch, points, candidates);
  };
  LaneBatch<const PointTable::value_type*, decltype(score)> group(score);
  for (const auto& entry : points) {
    const Point& point = entry.second;
    if (tenant && !matches_tenant(point, *tenant)) continue;
    // A length mismatch fails every metric (for Cosine, before its norms).
    if (point.vector.size() != query.size()) continue;
    group.add(&entry);
  }
  group.flush();
  // The first `limit` of the stable ranking (a limit beyond size_t is
  // compared in 64 bits and keeps everything).
  rank_top_by_metric(candidates, metric, limit);
  return candidates;
}

}  // namespace tavrik
