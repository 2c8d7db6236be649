// Exact k-nearest-neighbour search: score every point, rank, keep `limit`.
//
// Visits the table once in its iteration order. With a tenant, points that do
// not match it are skipped. Scoring per metric:
//   Euclidean   skip on length mismatch, else euclidean_distance
//   Cosine      skip when cosine_similarity fails (mismatch or zero norm)
//   DotProduct  skip on length mismatch, else dot_product
// Then the first min(limit, count) of the stable ranking by metric
// (rank_top_by_metric). Never fails. The caller holds the table for reading.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "core/distance/block_kernels.h"
#include "core/distance/metric.h"
#include "core/distance/scored_point.h"
#include "core/vector/point_table.h"
#include "index/exact/scan_blocks.h"

namespace tavrik {

std::vector<ScoredPoint> search_exact_knn(std::span<const float> query, std::uint64_t limit,
                                          Metric metric, const PointTable& points,
                                          std::optional<std::string_view> tenant);

// The same search read from `blocks`, which must be active and hold exactly
// the points of `points`, every one of the query's length. The scores are
// the same bits; the candidates come in slot order (the order the points
// were first stored) instead of table order, so that equal scores keep that
// order. `points` is read only for the tenant test. The blocks are read in
// `order` (see BlockOrder), which changes nothing in the results.
std::vector<ScoredPoint> search_exact_knn(std::span<const float> query, std::uint64_t limit,
                                          Metric metric, const ScanBlocks& blocks,
                                          BlockOrder order, const PointTable& points,
                                          std::optional<std::string_view> tenant);

}  // namespace tavrik
