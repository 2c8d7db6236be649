// Distances a graph walk computed ahead of need, by neighbour id.
//
// A walk without an early stop expands every candidate it admits, so the
// distance of a pending candidate's neighbour that is not visited yet is
// asked for later: by that candidate's expansion, or by an earlier one that
// reaches the same id first. The walk scores such neighbours early, in the
// lanes of kernel calls it makes anyway, and keeps them here until their
// turn. A distance depends only on the query and the point, so taking it
// from here gives exactly what scoring at that moment gives.
//
// A fixed table (linear probing, at most half full), allocated on the first
// add, that never moves its entries: a pointer to an entry stays valid
// until the next reset. Entries are only added; once full() the walk stops
// scoring ahead. The all-ones id marks empty slots and is never stored.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "core/hashing/mixing.h"

namespace tavrik {

struct Point;

class ScoreCache {
 public:
  struct Entry {
    std::uint64_t id;
    const Point* point;  // the neighbour's point, which passed the walk's checks
    float distance;      // written when its lane is scored
  };

  static constexpr std::size_t kSlots = 1024;
  static constexpr std::size_t kMaxEntries = kSlots / 2;
  static constexpr std::uint64_t kNone = ~std::uint64_t{0};

  // Empties the cache, touching only the slots that were used.
  void reset() {
    for (const std::uint16_t s : used_) slots_[s].id = kNone;
    used_.clear();
  }

  bool empty() const { return used_.empty(); }
  bool full() const { return used_.size() >= kMaxEntries; }

  // The entry of `id`, or nullptr (always for kNone).
  const Entry* find(std::uint64_t id) const {
    if (id == kNone || !slots_) return nullptr;
    for (std::size_t s = slot_of(id);; s = (s + 1) & (kSlots - 1)) {
      if (slots_[s].id == id) return &slots_[s];
      if (slots_[s].id == kNone) return nullptr;
    }
  }

  // Adds `id` (absent, not kNone; the cache not full) and returns its entry.
  Entry* add(std::uint64_t id, const Point* point) {
    if (!slots_) {
      slots_ = std::make_unique<Entry[]>(kSlots);
      for (std::size_t s = 0; s < kSlots; ++s) slots_[s].id = kNone;
    }
    std::size_t s = slot_of(id);
    while (slots_[s].id != kNone) s = (s + 1) & (kSlots - 1);
    slots_[s] = {id, point, 0.0f};
    used_.push_back(static_cast<std::uint16_t>(s));
    return &slots_[s];
  }

 private:
  static_assert(kSlots == 1024, "slot_of yields 10 bits");
  static std::size_t slot_of(std::uint64_t id) {
    return fibonacci_slot(id, 54);
  }

  std::unique_ptr<Entry[]> slots_;
  std::vector<std::uint16_t> used_;
};

}  // namespace tavrik
