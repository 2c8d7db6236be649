#include "index/hnsw/visited_ids.h"

#include <algorithm>
#include <bit>

namespace tavrik {

VisitedIds::VisitedIds(std::uint64_t largest_id, std::size_t expected_marks)
    : largest_id_(largest_id),
      slots_(std::bit_ceil(std::max<std::size_t>(16, 2 * expected_marks)), kEmpty) {}

std::size_t VisitedIds::slot_of(std::uint64_t id) const {
  // Fibonacci hashing: the high bits of a multiplication spread runs of ids.
  const std::uint64_t mixed = id * 0x9E3779B97F4A7C15ULL;
  return static_cast<std::size_t>(mixed >> (64 - std::countr_zero(slots_.size()))) &
         (slots_.size() - 1);
}

void VisitedIds::grow() {
  std::vector<std::uint64_t> old(slots_.size() * 2, kEmpty);
  old.swap(slots_);
  for (const std::uint64_t id : old) {
    if (id == kEmpty) continue;
    std::size_t slot = slot_of(id);
    while (slots_[slot] != kEmpty) slot = (slot + 1) & (slots_.size() - 1);
    slots_[slot] = id;
  }
}

bool VisitedIds::mark(std::uint64_t id) {
  if (!in_range(id)) return false;
  if (id == kEmpty) {
    if (empty_marker_marked_) return false;
    empty_marker_marked_ = true;
    return true;
  }
  std::size_t slot = slot_of(id);
  for (;;) {
    if (slots_[slot] == id) return false;
    if (slots_[slot] == kEmpty) break;
    slot = (slot + 1) & (slots_.size() - 1);
  }
  slots_[slot] = id;
  if (++marked_ * 2 > slots_.size()) grow();
  return true;
}

}  // namespace tavrik
