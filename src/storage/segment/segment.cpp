#include "storage/segment/segment.h"

#include <mutex>
#include <utility>

namespace tavrik {

void Segment::upsert(Point point) {
  std::unique_lock points_guard(points_lock_);
  const std::uint64_t id = point.id;
  points_.insert_or_assign(id, std::move(point));
  std::unique_lock index_guard(index_lock_);
  // Graph linking lands with the graph insertion.
}

}  // namespace tavrik
