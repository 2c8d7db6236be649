// Final ordering of search results.
//
// A stable sort by score: ascending for Euclidean, descending for the two
// similarities; equal scores keep their incoming order. NaN scores rank
// after every other score (stably among themselves), which keeps the
// comparison a strict weak ordering; on lists without NaN this is exactly
// the plain stable sort by score.
#pragma once

#include <vector>

#include "core/distance/metric.h"
#include "core/vector/scored_point.h"

namespace tavrik {

void rank_by_metric(std::vector<ScoredPoint>& results, Metric metric);

}  // namespace tavrik
