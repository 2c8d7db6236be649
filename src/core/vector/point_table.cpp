#include "core/vector/point_table.h"

#include <utility>

namespace tavrik {

Point& PointTable::put(std::uint64_t key, std::uint64_t id, Point point) {
  Point& stored = map_.insert_or_assign(key, std::move(point)).first->second;
  ids_.set(key, id);
  return stored;
}

}  // namespace tavrik
