// Final ordering of search results.
//
// A stable sort by score: ascending for Euclidean, descending for the two
// similarities; equal scores keep their incoming order. NaN scores rank
// after every other score (stably among themselves), which keeps the
// comparison a strict weak ordering; on lists without NaN this is exactly
// the plain stable sort by score.
#pragma once

#include <cstdint>
#include <vector>

#include "core/distance/metric.h"
#include "core/distance/scored_point.h"

namespace tavrik {

void rank_by_metric(std::vector<ScoredPoint>& results, Metric metric);

// Leaves in `results` exactly the first min(limit, size) records that
// rank_by_metric would put first, in the same order, without ordering the
// rest: short limits keep a sorted prefix that takes each record after every
// kept record that ranks before it or equally (the stable order), longer
// ones sort everything.
void rank_top_by_metric(std::vector<ScoredPoint>& results, Metric metric, std::uint64_t limit);

}  // namespace tavrik
