#include "core/query/prepared_query.h"

namespace tavrik {

float PreparedQuery::cosine_distance_to(const Point& point) const {
  if (point.vector.size() != vector_.size()) return kUncomparableDistance;
  return cosine_distance_with_squared_norms(dot_product(vector_, point.vector), squared_norm_,
                                            squared_norm_of(point));
}

namespace {

// The lane part of cosine_similarity_with_squared_norms for up to
// kLaneCount points: those of the query's length share the lanes
// (lane_of[l] is point l's lane), the others fail the length test before
// any sum (lane_of[l] is kMismatch). Each lane's squared point norm and
// dot / (query norm * sqrt(squared point norm)) are left for the caller to
// turn into results.
struct LaneQuotients {
  static constexpr std::size_t kMismatch = kLaneCount;
  std::size_t lane_of[kLaneCount];
  float squared_norms[kLaneCount];
  float quotients[kLaneCount];

  LaneQuotients(std::span<const float> query, float query_norm, const Point* const* points,
                std::size_t count) {
    const float* lanes[kLaneCount] = {};
    std::size_t used = 0;
    for (std::size_t l = 0; l < count; ++l) {
      if (points[l]->vector.size() == query.size()) {
        lane_of[l] = used;
        squared_norms[used] = squared_norm_of(*points[l]);
        lanes[used++] = points[l]->vector.data();
      } else {
        lane_of[l] = kMismatch;
      }
    }
    float dots[kLaneCount];
    dot_product_lanes(query, lanes, used, dots);
    float query_norms[kLaneCount];
    for (std::size_t l = 0; l < used; ++l) query_norms[l] = query_norm;
    cosine_quotient_lanes(dots, query_norms, squared_norms, used, quotients);
  }
};

}  // namespace

void PreparedQuery::cosine_similarities_to(const Point* const* points, std::size_t count,
                                           CosineResult* out) const {
  // A zero norm on either side fails (an exact comparison, so NaN squared norms go
  // on), the others take the quotient.
  const LaneQuotients scored(vector_, norm_, points, count);
  for (std::size_t l = 0; l < count; ++l) {
    const std::size_t lane = scored.lane_of[l];
    if (lane == LaneQuotients::kMismatch) {
      out[l] = CosineResult{0.0f, CosineError::DimensionMismatch};
    } else if (squared_norm_ == 0.0f || scored.squared_norms[lane] == 0.0f) {
      out[l] = CosineResult{0.0f, CosineError::ZeroMagnitude};
    } else {
      out[l] = CosineResult{scored.quotients[lane], CosineError::None};
    }
  }
}

void PreparedQuery::cosine_distances_to(const Point* const* points, std::size_t count,
                                        float* out) const {
  // cosine_similarities_to with each failure turned into the uncomparable
  // distance at once, with no result records in between.
  const LaneQuotients scored(vector_, norm_, points, count);
  for (std::size_t l = 0; l < count; ++l) {
    const std::size_t lane = scored.lane_of[l];
    const bool fails = lane == LaneQuotients::kMismatch || squared_norm_ == 0.0f ||
                       scored.squared_norms[lane] == 0.0f;
    out[l] = fails ? kUncomparableDistance : 1.0f - scored.quotients[lane];
  }
}

void cosine_distances_between(const PreparedQuery* const* queries, const Point* const* points,
                              std::size_t count, float* out) {
  // Pairs whose point has its query's length share one kernel call when
  // their queries have the length of the first such pair (in a batch nearly
  // all do); any other comparable pair is scored on its own.
  constexpr std::size_t kMismatch = kLaneCount;
  constexpr std::size_t kAlone = kLaneCount + 1;
  const float* query_rows[kLaneCount] = {};
  const float* lanes[kLaneCount] = {};
  float query_norms[kLaneCount];
  float squared_norms[kLaneCount];
  std::size_t lane_of[kLaneCount];
  std::size_t used = 0;
  std::size_t length = 0;
  for (std::size_t l = 0; l < count; ++l) {
    const PreparedQuery& query = *queries[l];
    const Point& point = *points[l];
    if (point.vector.size() != query.vector().size()) {
      lane_of[l] = kMismatch;
      continue;
    }
    if (used == 0) length = query.vector().size();
    if (query.vector().size() != length) {
      lane_of[l] = kAlone;
      continue;
    }
    lane_of[l] = used;
    query_rows[used] = query.vector().data();
    lanes[used] = point.vector.data();
    query_norms[used] = query.norm();
    squared_norms[used] = squared_norm_of(point);
    ++used;
  }
  float dots[kLaneCount];
  dot_product_pair_lanes(query_rows, length, lanes, used, dots);
  float quotients[kLaneCount];
  cosine_quotient_lanes(dots, query_norms, squared_norms, used, quotients);
  for (std::size_t l = 0; l < count; ++l) {
    const std::size_t lane = lane_of[l];
    if (lane == kMismatch) {
      out[l] = kUncomparableDistance;
    } else if (lane == kAlone) {
      out[l] = queries[l]->cosine_distance_to(*points[l]);
    } else if (queries[l]->squared_norm() == 0.0f || squared_norms[lane] == 0.0f) {
      out[l] = kUncomparableDistance;  // a zero magnitude, as cosine_distance says
    } else {
      out[l] = 1.0f - quotients[lane];
    }
  }
}

}  // namespace tavrik
