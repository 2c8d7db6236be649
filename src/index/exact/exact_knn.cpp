#include "index/exact/exact_knn.h"

#include <optional>

#include "core/distance/distance.h"
#include "core/distance/ranking.h"

namespace tavrik {
namespace {

// The point's score under `metric`, or nothing when it cannot be scored
// (length mismatch under every metric, zero magnitude under Cosine).
std::optional<float> exact_score(std::span<const float> query, std::span<const float> stored,
                                 Metric metric) {
  switch (metric) {
    case Metric::Euclidean:
      if (stored.size() != query.size()) return std::nullopt;
      return euclidean_distance(query, stored);
    case Metric::DotProduct:
      if (stored.size() != query.size()) return std::nullopt;
      return dot_product(query, stored);
    case Metric::Cosine: {
      const CosineResult result = cosine_similarity(query, stored);
      if (result.error != CosineError::None) return std::nullopt;
      return result.similarity;
    }
  }
  return std::nullopt;
}

}  // namespace

std::vector<ScoredPoint> search_exact_knn(std::span<const float> query, std::uint64_t limit,
                                          Metric metric, const PointTable& points,
                                          std::optional<std::string_view> tenant) {
  std::vector<ScoredPoint> candidates;
  for (const auto& [key, point] : points) {
    if (tenant && !matches_tenant(point, *tenant)) continue;
    const std::optional<float> score = exact_score(query, point.vector, metric);
    if (score) candidates.push_back(ScoredPoint{point.id, *score});
  }
  rank_by_metric(candidates, metric);
  // Compare in 64 bits: a limit beyond size_t must not wrap to a small count.
  if (limit < candidates.size()) candidates.resize(static_cast<std::size_t>(limit));
  return candidates;
}

}  // namespace tavrik
