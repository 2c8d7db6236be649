#include "core/vector/point_table.h"

#include <utility>

namespace tavrik {

Point& PointTable::put(std::uint64_t key, std::uint64_t id, Point point) {
  Point& stored = map_.insert_or_assign(key, std::move(point)).first->second;
  if (id != key) {
    other_ids_.insert_or_assign(key, id);
  } else if (!other_ids_.empty()) {
    other_ids_.erase(key);
  }
  return stored;
}

}  // namespace tavrik
