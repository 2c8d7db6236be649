#include "storage/segment/segment.h"

#include <mutex>
#include <utility>
#include <vector>

#include "index/hnsw/insert.h"

namespace tavrik {

void Segment::upsert(Point point) {
  const std::uint64_t id = point.id;
  cache_squared_norm(point);  // before the locks: they are held no longer than needed

  std::unique_lock points_guard(points_lock_);
  // The floats move into the arena beside the table (nothing has changed if
  // that fails); a replaced point's block is kept there for reuse.
  vectors_.adopt(point.vector);
  if (Point* replaced = points_.lookup(id)) vectors_.give_back(replaced->vector);
  const auto stored = points_.insert_or_assign(id, std::move(point)).first;
  scan_blocks_.put(id, stored->second);
  {
    std::unique_lock index_guard(index_lock_);  // points first, index second
    // The walk reads the stored vector itself: the table does not change
    // while the index is written, so it stays in place, and the floats are
    // those the caller passed.
    insert(index_, id, stored->second.vector, points_);
  }  // index released before points
}

}  // namespace tavrik
