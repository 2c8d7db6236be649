// A query prepared for scoring many stored points.
//
// Cosine needs the squared norms of both vectors. The query's is the same
// against every point, so it is computed once here; a stored point's comes
// from its cache (squared_norm_of). The scores are exactly those of
// cosine_distance, cosine_similarity, dot_product and euclidean_distance
// for the same two vectors, bit for bit: only repeated work is skipped, and
// several points are summed side by side, each in its own lane.
#pragma once

#include <cmath>
#include <cstddef>
#include <span>

#include "core/distance/distance.h"
#include "core/distance/lane_kernels.h"
#include "core/vector/point.h"

namespace tavrik {

class PreparedQuery {
 public:
  explicit PreparedQuery(std::span<const float> query)
      : vector_(query),
        squared_norm_(tavrik::squared_norm(query)),
        norm_(std::sqrt(squared_norm_)) {}

  std::span<const float> vector() const { return vector_; }
  float squared_norm() const { return squared_norm_; }
  float norm() const { return norm_; }

  // cosine_distance(query, point.vector).
  float cosine_distance_to(const Point& point) const;

  // out[l] = cosine_distance_to(*points[l]) for l < count <= kLaneCount.
  void cosine_distances_to(const Point* const* points, std::size_t count, float* out) const;

  // out[l] = cosine_similarity(query, points[l]->vector) for l < count <=
  // kLaneCount.
  void cosine_similarities_to(const Point* const* points, std::size_t count,
                              CosineResult* out) const;

 private:
  std::span<const float> vector_;
  float squared_norm_;
  float norm_;  // sqrt(squared_norm_): the same number for every point
};

// out[l] = queries[l]->cosine_distance_to(*points[l]) for l < count <=
// kLaneCount: pairs of different queries and points scored side by side,
// one lane each, with the same bits as scoring each pair alone.
void cosine_distances_between(const PreparedQuery* const* queries, const Point* const* points,
                              std::size_t count, float* out);

}  // namespace tavrik
