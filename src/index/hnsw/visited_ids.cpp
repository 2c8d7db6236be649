#include "index/hnsw/visited_ids.h"

namespace tavrik {

VisitedIds::VisitedIds(std::uint64_t largest_id, std::size_t expected_marks)
    : largest_id_(largest_id) {
  marked_.reserve(expected_marks);
}

bool VisitedIds::mark(std::uint64_t id) {
  if (!in_range(id)) return false;
  return marked_.insert(id).second;
}

}  // namespace tavrik
