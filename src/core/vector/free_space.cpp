#include "core/vector/free_space.h"

#include <functional>
#include <iterator>

namespace tavrik {

std::byte* FreeSpace::take(std::size_t bytes) {
  const auto fit = by_size_.lower_bound({bytes, nullptr});
  if (fit == by_size_.end()) return nullptr;
  const auto [length, begin] = *fit;
  erase(by_start_.find(begin));
  if (length > bytes) insert(begin + bytes, length - bytes);
  return begin;
}

FreeSpace::Range FreeSpace::add(std::byte* block, std::size_t bytes, const std::byte* lower,
                                const std::byte* upper) {
  const std::less<const std::byte*> before;
  auto next = by_start_.lower_bound(block);
  if (next != by_start_.end() && next->first == block + bytes && before(block + bytes, upper)) {
    bytes += next->second;
    next = std::next(next);
    erase(std::prev(next));
  }
  if (next != by_start_.begin()) {
    const auto previous = std::prev(next);
    if (previous->first + previous->second == block && !before(previous->first, lower)) {
      block = previous->first;
      bytes += previous->second;
      erase(previous);
    }
  }
  insert(block, bytes);
  return {block, bytes};
}

void FreeSpace::remove(const Range& range) { erase(by_start_.find(range.begin)); }

void FreeSpace::insert(std::byte* begin, std::size_t bytes) {
  by_start_.emplace(begin, bytes);
  by_size_.emplace(bytes, begin);
}

void FreeSpace::erase(std::map<std::byte*, std::size_t>::iterator range) {
  by_size_.erase({range->second, range->first});
  by_start_.erase(range);
}

}  // namespace tavrik
