#include "storage/segment/segment.h"

#include <mutex>
#include <utility>
#include <vector>

#include "index/hnsw/insert.h"

namespace tavrik {

void Segment::upsert(std::uint64_t id, Point point) {
  cache_squared_norm(point);  // before the locks: they are held no longer than needed

  std::unique_lock points_guard(points_lock_);
  // The floats move into the arena beside the table (nothing has changed if
  // that fails); a replaced point's block is kept there for reuse.
  vectors_.adopt(point.vector);
  if (Point* replaced = points_.lookup(id)) vectors_.give_back(replaced->vector);
  const Point& stored = points_.put(id, std::move(point));
  scan_blocks_.put(id, id, stored);
  {
    std::unique_lock index_guard(index_lock_);  // points first, index second
    // The walk reads the stored vector itself: the table does not change
    // while the index is written, so it stays in place, and the floats are
    // those the caller passed.
    insert(index_, id, stored.vector, points_);
  }  // index released before points
}

}  // namespace tavrik
