// The ids a query-time search has already evaluated.
//
// Ids from 0 up to `largest_id` (the largest node id of the index) can each
// be marked once; ids above it are outside the range and can never be
// marked, so the search skips them. Ids are arbitrary 64-bit values, so the
// marks live in a hash set rather than in one flag per possible id.
#pragma once

#include <cstddef>
#include <cstdint>
#include <unordered_set>

namespace tavrik {

class VisitedIds {
 public:
  // `expected_marks` only sizes the set up front.
  VisitedIds(std::uint64_t largest_id, std::size_t expected_marks);

  bool in_range(std::uint64_t id) const { return id <= largest_id_; }

  // Marks `id`; true when it lies in range and was not marked before.
  bool mark(std::uint64_t id);

 private:
  std::uint64_t largest_id_;
  std::unordered_set<std::uint64_t> marked_;
};

}  // namespace tavrik
