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
  // The rest of cosine_similarity_with_norms, lane by lane: a zero norm on
  // either side fails (an exact comparison, so NaN norms go on), the others
  // take the quotient.
  float norms[kLaneCount];
  for (std::size_t l = 0; l < count; ++l) {
    if (lane_of[l] != kLaneCount) norms[lane_of[l]] = squared_norm_of(*points[l]);
  }
  float quotients[kLaneCount];
  cosine_quotient_lanes(dots, root_, norms, used, quotients);
  for (std::size_t l = 0; l < count; ++l) {
    const std::size_t lane = lane_of[l];
    if (lane == kLaneCount) {
      out[l] = CosineResult{0.0f, CosineError::DimensionMismatch};
    } else if (squared_norm_ == 0.0f || norms[lane] == 0.0f) {
      out[l] = CosineResult{0.0f, CosineError::ZeroMagnitude};
    } else {
      out[l] = CosineResult{quotients[lane], CosineError::None};
    }
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
