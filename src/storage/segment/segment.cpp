#include "storage/segment/segment.h"

#include <mutex>
#include <utility>
#include <vector>

#include "index/hnsw/insert.h"

namespace tavrik {

void Segment::upsert(Point point) {
  // The graph walk reads this copy; the vector itself moves into the table.
  const std::vector<float> query = point.vector;
  const std::uint64_t id = point.id;
  cache_squared_norm(point);  // before the locks: they are held no longer than needed

  std::unique_lock points_guard(points_lock_);
  points_.insert_or_assign(id, std::move(point));
  {
    std::unique_lock index_guard(index_lock_);  // points first, index second
    insert(index_, id, query, points_);
  }  // index released before points
}

}  // namespace tavrik
