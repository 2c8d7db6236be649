#include "core/distance/prepared_query.h"

namespace tavrik {

float PreparedQuery::cosine_distance_to(const Point& point) const {
  if (point.vector.size() != vector_.size()) return kUncomparableDistance;
  return cosine_distance_with_norms(dot_product(vector_, point.vector), squared_norm_,
                                    squared_norm_of(point));
}

void PreparedQuery::cosine_similarities_to(const Point* const* points, std::size_t count,
                                           CosineResult* out) const {
  // Points of the query's length share the lanes; the others fail the
  // length test before any sum, as in cosine_similarity.
  const float* lanes[kLaneCount] = {};
  std::size_t lane_of[kLaneCount] = {};
  std::size_t used = 0;
  for (std::size_t l = 0; l < count; ++l) {
    if (points[l]->vector.size() == vector_.size()) {
      lane_of[l] = used;
      lanes[used++] = points[l]->vector.data();
    } else {
      lane_of[l] = kLaneCount;
    }
  }
  float dots[kLaneCount];
  dot_product_lanes(vector_, lanes, used, dots);
  for (std::size_t l = 0; l < count; ++l) {
    out[l] = lane_of[l] == kLaneCount
                 ? CosineResult{0.0f, CosineError::DimensionMismatch}
                 : cosine_similarity_with_norms(dots[lane_of[l]], squared_norm_,
                                                squared_norm_of(*points[l]));
  }
}

void PreparedQuery::cosine_distances_to(const Point* const* points, std::size_t count,
                                        float* out) const {
  CosineResult results[kLaneCount];
  cosine_similarities_to(points, count, results);
  for (std::size_t l = 0; l < count; ++l) {
    out[l] = results[l].error != CosineError::None ? kUncomparableDistance
                                                   : 1.0f - results[l].similarity;
  }
}

}  // namespace tavrik
