// Scoring a neighbour list in lane groups.
//
// A walk hands the neighbours it accepts, in list order, to add(); they are
// scored kLaneCount at a time by cosine distance in one lane-kernel call,
// and `on_scored(id, distance)` is then called for each, still in list
// order. Because the scores do not depend on each other, this is the same
// as scoring each neighbour just before its test. flush() scores what is
// left; call it once after the last add().
#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>

#include "core/distance/lane_kernels.h"
#include "core/query/prepared_query.h"
#include "core/vector/point.h"

namespace tavrik {

template <class OnScored>
class NeighborScorer {
 public:
  NeighborScorer(const PreparedQuery& query, OnScored on_scored)
      : query_(query), on_scored_(std::move(on_scored)) {}

  void add(std::uint64_t id, const Point& point) {
    points_[count_] = &point;
    ids_[count_] = id;
    if (++count_ == kLaneCount) flush();
  }

  void flush() {
    if (count_ == 0) return;
    float distances[kLaneCount];
    query_.cosine_distances_to(points_, count_, distances);
    const std::size_t count = count_;
    count_ = 0;
    for (std::size_t l = 0; l < count; ++l) on_scored_(ids_[l], distances[l]);
  }

 private:
  const PreparedQuery& query_;
  OnScored on_scored_;
  const Point* points_[kLaneCount];
  std::uint64_t ids_[kLaneCount];
  std::size_t count_ = 0;
};

}  // namespace tavrik
