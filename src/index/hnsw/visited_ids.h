// The ids a query-time search has already evaluated.
//
// Ids from 0 up to `largest_id` (the largest node id of the index) can each
// be marked once; ids above it are outside the range and can never be
// marked, so the search skips them. Ids are arbitrary 64-bit values, so the
// marks live in a set rather than in one flag per possible id: an
// open-addressing table of ids (linear probing, kept at most half full),
// with the one id that serves as the empty-slot marker tracked apart.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace tavrik {

class VisitedIds {
 public:
  // `expected_marks` only sizes the set up front.
  VisitedIds(std::uint64_t largest_id, std::size_t expected_marks);

  // Clears every mark and takes a new range, as a fresh set would start.
  // The slots are kept for reuse unless there are more than `keep_slots`
  // of them (or fewer than `expected_marks` needs): then the set is sized
  // afresh, so reuse never holds more than that cap.
  void reset(std::uint64_t largest_id, std::size_t expected_marks, std::size_t keep_slots);

  bool in_range(std::uint64_t id) const { return id <= largest_id_; }

  // Marks `id`; true when it lies in range and was not marked before.
  bool mark(std::uint64_t id) {
    if (!in_range(id)) return false;
    if (id == kEmpty) return mark_empty_marker();
    const std::size_t mask = slots_.size() - 1;
    std::size_t slot = slot_of(id);
    for (;;) {
      if (slots_[slot] == id) return false;
      if (slots_[slot] == kEmpty) break;
      slot = (slot + 1) & mask;
    }
    slots_[slot] = id;
    if (++marked_ * 2 > slots_.size()) grow();
    return true;
  }

 private:
  static constexpr std::uint64_t kEmpty = ~std::uint64_t{0};

  std::size_t slot_of(std::uint64_t id) const {
    // Fibonacci hashing: the high bits of a multiplication spread runs of ids.
    return static_cast<std::size_t>((id * 0x9E3779B97F4A7C15ULL) >> shift_);
  }
  bool mark_empty_marker();
  void grow();

  std::uint64_t largest_id_;
  std::vector<std::uint64_t> slots_;  // a power of two of them
  unsigned shift_ = 0;                // 64 - log2(slots_.size())
  std::size_t marked_ = 0;
  bool empty_marker_marked_ = false;
};

}  // namespace tavrik
