// Final ordering of search results.
//
// A stable sort by score: ascending for Euclidean, descending for the two
// similarities; equal scores keep their incoming order. NaN scores rank
// after every other score (stably among themselves), which keeps the
// comparison a strict weak ordering; on lists without NaN this is exactly
// the plain stable sort by score.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
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

// True when rank_top_slots takes `limit`: from 1 to kInsertionLimit.
bool ranks_top_slots(std::uint64_t limit);

// What rank_top_by_metric(records, metric, limit) leaves, for the records
// (ids[slot], scores[slot]) of every slot in order, less those where
// `excluded` (when not empty) is nonzero; without making those records:
// the scores are ranked by their keys and only the kept ones become
// records. `limit` must pass ranks_top_slots; the spans are of one length.
std::vector<ScoredPoint> rank_top_slots(std::span<const float> scores,
                                        std::span<const std::uint64_t> ids,
                                        std::span<const std::uint8_t> excluded, Metric metric,
                                        std::size_t limit);

}  // namespace tavrik
