#include "index/hnsw/visited_ids.h"

#include <algorithm>
#include <bit>

namespace tavrik {
namespace {

std::size_t slots_for(std::size_t expected_marks) {
  return std::bit_ceil(std::max<std::size_t>(16, 2 * expected_marks));
}

}  // namespace

VisitedIds::VisitedIds(std::uint64_t largest_id, std::size_t expected_marks)
    : largest_id_(largest_id) {
  reset(largest_id, expected_marks, 0);
}

void VisitedIds::clear_bits() {
  // Few touched words: clear just those; many: the whole range at once.
  if (touched_.size() * 8 < bits_.size()) {
    for (const std::uint32_t word : touched_) bits_[word] = 0;
  } else {
    std::fill(bits_.begin(), bits_.end(), 0);
  }
  touched_.clear();
}

void VisitedIds::reset(std::uint64_t largest_id, std::size_t expected_marks,
                       std::size_t keep_slots) {
  clear_bits();
  largest_id_ = largest_id;
  marked_ = 0;
  empty_marker_marked_ = false;
  bitmap_ = largest_id < kMaxBitmapIds;
  if (bitmap_) {
    const std::size_t words = static_cast<std::size_t>(largest_id >> 6) + 1;
    if (bits_.size() < words) bits_.resize(words, 0);
    return;
  }
  const std::size_t wanted = slots_for(expected_marks);
  if (slots_.size() < wanted || slots_.size() > std::max(wanted, keep_slots)) {
    std::vector<std::uint64_t>(wanted, kEmpty).swap(slots_);
    shift_ = static_cast<unsigned>(64 - std::countr_zero(slots_.size()));
  } else {
    std::fill(slots_.begin(), slots_.end(), kEmpty);
  }
}

bool VisitedIds::mark_empty_marker() {
  if (empty_marker_marked_) return false;
  empty_marker_marked_ = true;
  return true;
}

void VisitedIds::grow() {
  std::vector<std::uint64_t> old(slots_.size() * 2, kEmpty);
  old.swap(slots_);
  shift_ = static_cast<unsigned>(64 - std::countr_zero(slots_.size()));
  const std::size_t mask = slots_.size() - 1;
  for (const std::uint64_t id : old) {
    if (id == kEmpty) continue;
    std::size_t slot = slot_of(id);
    while (slots_[slot] != kEmpty) slot = (slot + 1) & mask;
    slots_[slot] = id;
  }
}

}  // namespace tavrik
