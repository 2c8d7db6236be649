// The free byte ranges of a VectorArena's chunks.
//
// A block given back becomes a free range and merges with the free ranges
// right before and after it, as long as they lie in the same chunk (the
// caller gives the chunk's bounds). A block is taken from the smallest free
// range that holds it, from the range's start; the rest of the range stays
// free. So space given back serves vectors of any length, and a run of
// freed neighbours becomes one range again instead of many small ones:
// what is kept for reuse stays in proportion to what is live.
//
// Ranges are addressed by their first byte and compared as addresses. Not
// thread-safe: the arena's owner uses it.
#pragma once

#include <cstddef>
#include <map>
#include <set>
#include <utility>

namespace tavrik {

class FreeSpace {
 public:
  struct Range {
    std::byte* begin;
    std::size_t bytes;
  };

  // `bytes` from the start of the smallest free range of at least that
  // size, or nullptr when there is none.
  std::byte* take(std::size_t bytes);

  // Makes [block, block + bytes) free, merged with free neighbours that lie
  // within [lower, upper); returns the range it is now part of.
  Range add(std::byte* block, std::size_t bytes, const std::byte* lower, const std::byte* upper);

  // Takes a whole range that add returned out of the free space.
  void remove(const Range& range);

 private:
  void insert(std::byte* begin, std::size_t bytes);
  void erase(std::map<std::byte*, std::size_t>::iterator range);

  std::map<std::byte*, std::size_t> by_start_;         // start -> length
  std::set<std::pair<std::size_t, std::byte*>> by_size_;  // (length, start)
};

}  // namespace tavrik
