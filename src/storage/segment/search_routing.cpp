#include <mutex>

#include "storage/segment/segment.h"

namespace tavrik {

std::vector<ScoredPoint> Segment::search(std::span<const float>, std::uint64_t, Metric,
                                         std::optional<std::string_view>) const {
  std::shared_lock points_guard(points_lock_);
  std::shared_lock index_guard(index_lock_);
  return {};
}

}  // namespace tavrik
