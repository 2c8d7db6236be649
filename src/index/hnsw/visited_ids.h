// The ids a query-time search has already evaluated.
//
// Ids from 0 up to `largest_id` (the largest node id of the index) can each
// be marked once; ids above it are outside the range and can never be
// marked, so the search skips them. Ids are arbitrary 64-bit values, but
// they are usually small dense numbers, so the marks take one of two forms:
//  - while the range holds at most kMaxBitmapIds ids, one bit per id of the
//    range; a reset clears only the words that were marked, so a search
//    pays for the ids it touched, not for the range;
//  - otherwise a set: an open-addressing table of ids (linear probing, kept
//    at most half full), with the one id that serves as the empty-slot
//    marker tracked apart.
// Which form holds the marks never changes which ids count as marked.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/hashing/mixing.h"

namespace tavrik {

class VisitedIds {
 public:
  // Ranges up to this many ids are kept as bits: 128 KiB at most, what the
  // set may keep between searches too.
  static constexpr std::uint64_t kMaxBitmapIds = std::uint64_t{1} << 20;

  // `expected_marks` only sizes the set up front.
  VisitedIds(std::uint64_t largest_id, std::size_t expected_marks);

  // Clears every mark and takes a new range, as a fresh set would start.
  // The set's slots are kept for reuse unless there are more than
  // `keep_slots` of them (or fewer than `expected_marks` needs): then the
  // set is sized afresh, so reuse never holds more than that cap. The bits
  // are kept up to kMaxBitmapIds.
  void reset(std::uint64_t largest_id, std::size_t expected_marks, std::size_t keep_slots);

  bool in_range(std::uint64_t id) const { return id <= largest_id_; }

  // Marks `id`; true when it lies in range and was not marked before.
  bool mark(std::uint64_t id) {
    if (!in_range(id)) return false;
    if (bitmap_) {
      std::uint64_t& word = bits_[id >> 6];
      const std::uint64_t bit = std::uint64_t{1} << (id & 63);
      if (word & bit) return false;
      if (word == 0) touched_.push_back(static_cast<std::uint32_t>(id >> 6));
      word |= bit;
      return true;
    }
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

  // True when mark(id) would return true now; marks nothing.
  bool markable(std::uint64_t id) const {
    if (!in_range(id)) return false;
    if (bitmap_) return (bits_[id >> 6] >> (id & 63) & 1) == 0;
    if (id == kEmpty) return !empty_marker_marked_;
    const std::size_t mask = slots_.size() - 1;
    for (std::size_t slot = slot_of(id);; slot = (slot + 1) & mask) {
      if (slots_[slot] == id) return false;
      if (slots_[slot] == kEmpty) return true;
    }
  }

 private:
  static constexpr std::uint64_t kEmpty = ~std::uint64_t{0};

  std::size_t slot_of(std::uint64_t id) const {
    return fibonacci_slot(id, shift_);
  }
  bool mark_empty_marker();
  void grow();
  void clear_bits();

  std::uint64_t largest_id_;
  bool bitmap_ = false;
  std::vector<std::uint64_t> bits_;       // one bit per id of the range, in bitmap form
  std::vector<std::uint32_t> touched_;    // the words of bits_ that are not zero
  std::vector<std::uint64_t> slots_;  // a power of two of them
  unsigned shift_ = 0;                // 64 - log2(slots_.size())
  std::size_t marked_ = 0;
  bool empty_marker_marked_ = false;
};

}  // namespace tavrik
